#include "frame/function_entries.hpp"

#include "frame/function_wrappers.hpp"
#include "frame/guarded_entry.hpp"

namespace undarix {
namespace {

// The module object is not used by any wrapper.  Not noexcept: see
// guarded_entry.
PyObject* enter(Wrapper wrapper, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_entry([&] { return wrapper(args, static_cast<std::size_t>(nargs), kwnames); });
}

}  // namespace

extern "C" {

PyObject* harmonic_oscillator_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(harmonic_oscillator_wrapper, args, nargs, kwnames);
}

PyObject* pseudo_square_wave_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(pseudo_square_wave_wrapper, args, nargs, kwnames);
}

PyObject* fourier_square_wave_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(fourier_square_wave_wrapper, args, nargs, kwnames);
}

PyObject* pseudo_cycloid_wave_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(pseudo_cycloid_wave_wrapper, args, nargs, kwnames);
}

PyObject* transient_impulse_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(transient_impulse_wrapper, args, nargs, kwnames);
}

}  // extern "C"

}  // namespace undarix
