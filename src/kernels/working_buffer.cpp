#include "kernels/working_buffer.hpp"

#include "frame/internal_failure.hpp"

#include <cstdint>
#include <string>

namespace undarix::kernels {
namespace {

constexpr std::size_t kMaxBytes = (std::size_t{1} << 63) - 8;

PyObject* memory_error_type() {
    if (PyExc_MemoryError == nullptr) {
        unexpected_api_failure();
    }
    return PyExc_MemoryError;
}

}  // namespace

Expected<WorkingBuffer> WorkingBuffer::allocate(std::size_t n) {
    if (n == 0) {
        return WorkingBuffer(nullptr);
    }
    if (n > kMaxBytes / sizeof(double)) {
        raise_internal("capacity overflow");
    }
    const std::size_t bytes = n * sizeof(double);
    // malloc's alignment covers double.
    auto* values = static_cast<double*>(std::malloc(bytes));
    if (values == nullptr) {
        return new_failure(memory_error_type,
                           message_argument("memory allocation of " + std::to_string(bytes) + " bytes failed"));
    }
    return WorkingBuffer(values);
}

}  // namespace undarix::kernels
