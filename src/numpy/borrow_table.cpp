#include "numpy/borrow_table.hpp"

#include "numpy/numpy_layout.hpp"

#include <limits>

namespace undarix::numpy {
namespace {

constexpr std::int64_t kMaxShared = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kExclusive = -1;

using RegionMap = BorrowTable::RegionMap;

// Other extension modules call these through the record: they report only
// through their return codes and let nothing escape.  A failure to compute
// the owner (NumPy unreachable) or to allocate refuses the borrow.

std::int32_t acquire_shared_in(BorrowTable& table, PyObject* array) {
    const std::uintptr_t owner = memory_owner(array);
    const RegionKey key = region_key(array);
    auto found_owner = table.owners.find(owner);
    if (found_owner == table.owners.end()) {
        RegionMap regions(1);
        regions.emplace(key, 1);
        table.owners.emplace(owner, std::move(regions));
        return kBorrowGranted;
    }
    RegionMap& regions = found_owner->second;
    auto found = regions.find(key);
    if (found != regions.end() && found->second != 0) {
        if (found->second < 0 || found->second == kMaxShared) {
            return kAlreadyBorrowed;
        }
        ++found->second;
        return kBorrowGranted;
    }
    for (const auto& [stored, count] : regions) {
        if (count < 0 && regions_conflict(key, stored)) {
            return kAlreadyBorrowed;
        }
    }
    // A stored zero would be a broken invariant; it is treated as no borrow.
    regions[key] = 1;
    return kBorrowGranted;
}

std::int32_t acquire_exclusive_in(BorrowTable& table, PyObject* array) {
    if ((as_array(array)->flags & kWriteable) == 0) {
        return kNotWriteable;
    }
    const std::uintptr_t owner = memory_owner(array);
    const RegionKey key = region_key(array);
    auto found_owner = table.owners.find(owner);
    if (found_owner == table.owners.end()) {
        RegionMap regions(1);
        regions.emplace(key, kExclusive);
        table.owners.emplace(owner, std::move(regions));
        return kBorrowGranted;
    }
    RegionMap& regions = found_owner->second;
    auto found = regions.find(key);
    if (found != regions.end() && found->second != 0) {
        return kAlreadyBorrowed;
    }
    for (const auto& [stored, count] : regions) {
        if (count != 0 && regions_conflict(key, stored)) {
            return kAlreadyBorrowed;
        }
    }
    regions[key] = kExclusive;
    return kBorrowGranted;
}

// Removes the region, and the owner with it when it was the last region.
void forget_region(BorrowTable& table, std::unordered_map<std::uintptr_t, RegionMap>::iterator owner,
                   RegionMap::iterator region) {
    if (owner->second.size() > 1) {
        owner->second.erase(region);
    } else {
        table.owners.erase(owner);
    }
}

// Releasing a borrow that is not held (a broken protocol on the caller's
// side) changes nothing, so it can never drop someone else's borrow.
void release_shared_in(BorrowTable& table, PyObject* array) {
    const std::uintptr_t owner = memory_owner(array);
    const RegionKey key = region_key(array);
    auto found_owner = table.owners.find(owner);
    if (found_owner == table.owners.end()) {
        return;
    }
    auto found = found_owner->second.find(key);
    if (found == found_owner->second.end() || found->second <= 0) {
        return;
    }
    if (--found->second == 0) {
        forget_region(table, found_owner, found);
    }
}

void release_exclusive_in(BorrowTable& table, PyObject* array) {
    const std::uintptr_t owner = memory_owner(array);
    const RegionKey key = region_key(array);
    auto found_owner = table.owners.find(owner);
    if (found_owner == table.owners.end()) {
        return;
    }
    auto found = found_owner->second.find(key);
    if (found == found_owner->second.end() || found->second != kExclusive) {
        return;
    }
    forget_region(table, found_owner, found);
}

}  // namespace

extern "C" {

static std::int32_t registry_acquire_shared(void* state, PyObject* array) {
    try {
        return acquire_shared_in(*static_cast<BorrowTable*>(state), array);
    } catch (...) {
        return kAlreadyBorrowed;
    }
}

static std::int32_t registry_acquire_exclusive(void* state, PyObject* array) {
    try {
        return acquire_exclusive_in(*static_cast<BorrowTable*>(state), array);
    } catch (...) {
        return kAlreadyBorrowed;
    }
}

static void registry_release_shared(void* state, PyObject* array) {
    try {
        release_shared_in(*static_cast<BorrowTable*>(state), array);
    } catch (...) {
    }
}

static void registry_release_exclusive(void* state, PyObject* array) {
    try {
        release_exclusive_in(*static_cast<BorrowTable*>(state), array);
    } catch (...) {
    }
}

}  // extern "C"

BorrowApiRecord make_borrow_record(BorrowTable* table) noexcept {
    return BorrowApiRecord{1,
                           table,
                           registry_acquire_shared,
                           registry_acquire_exclusive,
                           registry_release_shared,
                           registry_release_exclusive};
}

}  // namespace undarix::numpy
