// ReadonlyArrayView: a kernel's read access to the `time` array, holding a
// shared borrow in the process-wide registry until it is released.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <cstring>

namespace undarix::kernels {

class ReadonlyArrayView {
public:
    // Takes the shared borrow, then checks that the memory is contiguous and
    // still one-dimensional float64; raises InternalFailure (AlreadyBorrowed,
    // NotContiguousError, changed array) otherwise.
    explicit ReadonlyArrayView(PyObject* array);
    ~ReadonlyArrayView() { release(); }
    ReadonlyArrayView(const ReadonlyArrayView&) = delete;
    ReadonlyArrayView& operator=(const ReadonlyArrayView&) = delete;

    std::size_t size() const noexcept { return size_; }

    // Element i, read without assuming 8-byte alignment of the data.
    double operator[](std::size_t i) const noexcept {
        double value;
        std::memcpy(&value, data_ + i * sizeof(double), sizeof(double));
        return value;
    }

    // Copies all elements to `out` (n doubles).
    void copy_to(double* out) const noexcept {
        if (size_ > 0) {
            std::memcpy(out, data_, size_ * sizeof(double));
        }
    }

    // Gives the borrow back; the view must not be read afterwards.
    void release() noexcept;

private:
    PyObject* array_;
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    bool borrowed_ = false;
};

}  // namespace undarix::kernels
