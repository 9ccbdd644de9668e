// Which memory an array view can reach, as the borrow registry compares it.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <cstdint>

namespace undarix::numpy {

struct RegionKey {
    std::uintptr_t start;       // lowest reachable byte
    std::uintptr_t end;         // one past the highest reachable byte
    std::uintptr_t data;        // the array's data pointer
    std::intptr_t stride_gcd;   // signed for one dimension, else non-negative

    bool operator==(const RegionKey& other) const noexcept {
        return start == other.start && end == other.end && data == other.data && stride_gcd == other.stride_gcd;
    }
};

// Address of the object that owns the array's memory: the end of its chain of
// array bases.  May raise InternalFailure if NumPy's table cannot be loaded.
std::uintptr_t memory_owner(PyObject* array);

RegionKey region_key(PyObject* array);

// Whether two views of one owner may reach an element at the same address.
bool regions_conflict(const RegionKey& added, const RegionKey& stored) noexcept;

}  // namespace undarix::numpy
