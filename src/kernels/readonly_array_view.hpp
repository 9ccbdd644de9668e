// ReadonlyArrayView: a kernel's read access to the `time` array, holding a
// shared borrow in the process-wide registry for as long as it lives.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <cstring>

namespace undarix::kernels {

class ReadonlyArrayView {
public:
    // Takes the shared borrow and checks that the memory is contiguous;
    // raises InternalFailure (AlreadyBorrowed, NotContiguousError) otherwise.
    explicit ReadonlyArrayView(PyObject* array);
    ~ReadonlyArrayView();  // gives the borrow back
    ReadonlyArrayView(const ReadonlyArrayView&) = delete;
    ReadonlyArrayView& operator=(const ReadonlyArrayView&) = delete;

    std::size_t size() const noexcept { return size_; }

    // Element i, read without assuming 8-byte alignment of the data.
    double operator[](std::size_t i) const noexcept {
        double value;
        std::memcpy(&value, data_ + i * sizeof(double), sizeof(double));
        return value;
    }

private:
    PyObject* array_;
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace undarix::kernels
