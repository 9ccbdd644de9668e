#include "kernels/working_buffer.hpp"

#include "frame/internal_failure.hpp"

#include <cstdint>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace undarix::kernels {
namespace {

constexpr std::size_t kMaxBytes = (std::size_t{1} << 63) - 8;

// Large buffers are backed by transparent huge pages where the system offers
// them on request, as NumPy does for its own arrays: touching fresh memory
// one 4 KiB page at a time costs more than evaluating the cheaper formulas.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;

double* allocate_doubles(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kHugePageThreshold) {
        // Exactly `bytes`, so the buffer never holds more memory than its n
        // doubles: only the whole huge pages inside it are advised.
        void* values = nullptr;
        if (posix_memalign(&values, kHugePage, bytes) == 0) {
            (void)madvise(values, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);  // advice only
            return static_cast<double*>(values);
        }
        return nullptr;
    }
#endif
    // malloc's alignment covers double.
    return static_cast<double*>(std::malloc(bytes));
}

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
    double* values = allocate_doubles(bytes);
    if (values == nullptr) {
        return new_failure(memory_error_type,
                           message_argument("memory allocation of " + std::to_string(bytes) + " bytes failed"));
    }
    return WorkingBuffer(values);
}

}  // namespace undarix::kernels
