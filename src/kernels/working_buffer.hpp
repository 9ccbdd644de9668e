// WorkingBuffer: the n doubles a kernel evaluates into before the result
// array exists.
#pragma once

#include "frame/expected.hpp"

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace undarix::kernels {

class WorkingBuffer {
public:
    // No allocation for n = 0.  MemoryError when the allocation fails;
    // InternalFailure "capacity overflow" when n doubles exceed the
    // allocator's limit.
    static Expected<WorkingBuffer> allocate(std::size_t n);

    double* data() noexcept { return values_.get(); }
    const double* data() const noexcept { return values_.get(); }

private:
    struct Free {
        void operator()(double* values) const noexcept { std::free(values); }
    };
    explicit WorkingBuffer(double* values) : values_(values) {}
    std::unique_ptr<double[], Free> values_;
};

}  // namespace undarix::kernels
