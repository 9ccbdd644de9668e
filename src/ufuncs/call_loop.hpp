// The ArrayMethod side of a ufunc loop (NumPy 2): the getter that NumPy
// calls once per ufunc call, with the interpreter lock held, and the
// auxiliary data it hands back, which carries that call's state to each of
// its loop calls and is freed when the call ends.
#pragma once

#include "numpy/numpy_layout.hpp"
#include "ufuncs/loop_driver.hpp"
#include "ufuncs/ufunc_api.hpp"

namespace undarix::ufuncs {

// The state of the call whose auxiliary data NumPy handed a strided loop.
CallState& call_state(numpy::AuxDataHead* auxdata) noexcept;

// What the getter of `loop` does: a new call state in new auxiliary data,
// the loop, and its flags (none: it needs no Python API, and may raise
// floating-point flags, which NumPy then checks).  -1 with MemoryError set
// when the data cannot be allocated.
int begin_call_loop(StridedLoop loop, StridedLoop* out_loop, numpy::AuxDataHead** out_auxdata, int* flags) noexcept;

template <StridedLoop Loop>
int get_call_loop(void*, int, int, const npy_intp*, StridedLoop* out_loop, numpy::AuxDataHead** out_auxdata,
                  int* flags) {
    return begin_call_loop(Loop, out_loop, out_auxdata, flags);
}

// The ArrayMethod of the strided loop `Loop`.
template <StridedLoop Loop>
constexpr ArrayMethodLoop method_loop() {
    return {get_call_loop<Loop>, Loop};
}

}  // namespace undarix::ufuncs
