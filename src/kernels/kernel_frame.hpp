// The evaluation frame shared by the five kernels: borrow the time array,
// evaluate a formula at every element into a working buffer, then create the
// result array and copy the values in.
#pragma once

#include "frame/expected.hpp"
#include "kernels/interpreter_lock.hpp"
#include "kernels/readonly_array_view.hpp"
#include "kernels/working_buffer.hpp"

#include <cstddef>
#include <cstdint>

namespace undarix::kernels {

// A new plain float64 ndarray holding the buffer's n values.
Expected<OwnedRef> make_result_array(const WorkingBuffer& buffer, std::size_t n);

// Formula: double(double t), the waveform with the call's parameters bound;
// it must not touch Python objects or throw.  `work_per_element` is its cost
// relative to the cheapest formula.  Returns a new reference to the result
// array.  The borrow and the buffer are released on every way out, failures
// included.
template <class Formula>
Expected<OwnedRef> evaluate(PyObject* time, const Formula& formula, std::uint64_t work_per_element = 1) {
    ReadonlyArrayView view(time);
    const std::size_t n = view.size();
    Expected<WorkingBuffer> buffer = WorkingBuffer::allocate(n);
    if (!buffer) {
        return buffer.take_failure();
    }
    double* out = buffer.value().data();
    const bool long_running = n >= kReleaseLockWork || n * work_per_element >= kReleaseLockWork;
    if (!long_running) {
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = formula(view[i]);
        }
    } else {
        // Other threads run while the lock is released and may resize the
        // array or change its dtype in place.  So the times are copied first
        // and the borrow given back, both with the lock held: the loop then
        // reads only memory this call owns.
        view.copy_to(out);
        view.release();
        const InterpreterLockReleased unlocked;
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = formula(out[i]);
        }
    }
    return make_result_array(buffer.value(), n);
}

}  // namespace undarix::kernels
