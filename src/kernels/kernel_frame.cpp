#include "kernels/kernel_frame.hpp"

#include "frame/internal_failure.hpp"
#include "numpy/numpy_api.hpp"

#include <cstring>

namespace undarix::kernels {

Expected<OwnedRef> make_result_array(const WorkingBuffer& buffer, std::size_t n) {
    PyObject* descr = numpy::float64_descr();
    numpy::npy_intp dimensions[1] = {static_cast<numpy::npy_intp>(n)};
    Py_INCREF(descr);  // consumed by the creation, whatever its outcome
    OwnedRef result = OwnedRef::steal(
        numpy::new_from_descr(numpy::array_type(), descr, 1, dimensions, nullptr, nullptr, 0, nullptr));
    if (!result) {
        unexpected_api_failure();
    }
    if (n > 0) {
        std::memcpy(numpy::as_array(result.get())->data, buffer.data(), n * sizeof(double));
    }
    return result;
}

}  // namespace undarix::kernels
