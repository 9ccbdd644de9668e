// The evaluation frame shared by the five kernels: borrow the time array,
// evaluate a formula at every element into a working buffer, then create the
// result array and copy the values in.
#pragma once

#include "frame/expected.hpp"
#include "kernels/readonly_array_view.hpp"
#include "kernels/working_buffer.hpp"

#include <cstddef>

namespace undarix::kernels {

// A new plain float64 ndarray holding the buffer's n values.
Expected<OwnedRef> make_result_array(const WorkingBuffer& buffer, std::size_t n);

// Formula: double(double t), the waveform with the call's parameters bound.
// Returns a new reference to the result array.  The borrow and the buffer are
// released on every way out, failures included.
template <class Formula>
Expected<OwnedRef> evaluate(PyObject* time, const Formula& formula) {
    const ReadonlyArrayView view(time);
    const std::size_t n = view.size();
    Expected<WorkingBuffer> buffer = WorkingBuffer::allocate(n);
    if (!buffer) {
        return buffer.take_failure();
    }
    double* out = buffer.value().data();
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = formula(view[i]);
    }
    return make_result_array(buffer.value(), n);
}

}  // namespace undarix::kernels
