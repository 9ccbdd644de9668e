#include "numpy/region_key.hpp"

#include "numpy/numpy_api.hpp"

#include <cstdlib>

namespace undarix::numpy {
namespace {

std::uintptr_t magnitude(std::intptr_t value) noexcept {
    // Through unsigned arithmetic so that the most negative value is defined.
    const auto bits = static_cast<std::uintptr_t>(value);
    return value < 0 ? std::uintptr_t{0} - bits : bits;
}

// gcd(0, x) = |x|, on magnitudes.
std::uintptr_t gcd(std::uintptr_t a, std::uintptr_t b) noexcept {
    while (b != 0) {
        const std::uintptr_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

}  // namespace

std::uintptr_t memory_owner(PyObject* array) {
    PyObject* current = array;
    while (PyObject* base = as_array(current)->base) {
        if (!is_array(base)) {
            return reinterpret_cast<std::uintptr_t>(base);
        }
        current = base;
    }
    return reinterpret_cast<std::uintptr_t>(current);
}

RegionKey region_key(PyObject* array) {
    const ArrayObject* fields = as_array(array);
    const auto data = reinterpret_cast<std::uintptr_t>(fields->data);
    RegionKey key{data, data, data, 1};
    const int nd = fields->nd;
    if (nd <= 0) {
        return key;
    }
    bool empty = false;
    for (int axis = 0; axis < nd; ++axis) {
        empty = empty || fields->dimensions[axis] == 0;
    }
    if (!empty) {
        // Wrapping unsigned arithmetic: offsets of real arrays never overflow,
        // and a corrupt shape must not be undefined behaviour.
        std::uintptr_t upper = 0;
        std::uintptr_t lower = 0;
        for (int axis = 0; axis < nd; ++axis) {
            const auto extent = static_cast<std::uintptr_t>(fields->dimensions[axis] - 1);
            const std::intptr_t stride = fields->strides[axis];
            const std::uintptr_t offset = extent * magnitude(stride);
            if (stride >= 0) {
                upper += offset;
            } else {
                lower -= offset;
            }
        }
        upper += static_cast<std::uintptr_t>(descr_elsize(fields->descr));
        key.start = data + lower;
        key.end = data + upper;
    }
    if (nd == 1) {
        key.stride_gcd = fields->strides[0];
    } else {
        std::uintptr_t folded = magnitude(fields->strides[0]);
        for (int axis = 1; axis < nd; ++axis) {
            folded = gcd(folded, magnitude(fields->strides[axis]));
        }
        key.stride_gcd = static_cast<std::intptr_t>(folded);
    }
    return key;
}

bool regions_conflict(const RegionKey& added, const RegionKey& stored) noexcept {
    if (stored.start >= added.end || added.start >= stored.end) {
        return false;
    }
    const std::uintptr_t distance = added.data > stored.data ? added.data - stored.data : stored.data - added.data;
    const std::uintptr_t step = gcd(magnitude(added.stride_gcd), magnitude(stored.stride_gcd));
    // Two views whose strides are all zero touch only their first element:
    // they conflict exactly when they start at the same address.
    if (step == 0) {
        return distance == 0;
    }
    return distance % step == 0;
}

}  // namespace undarix::numpy
