// BorrowTable: the state behind a registry record installed by this module.
//
// Owner address -> regions -> count: n > 0 is n shared borrows of exactly
// that region, -1 one exclusive borrow.  Zero counts and owners without
// regions are never kept.
//
// Owners live in an open-addressing hash table and each owner's regions in a
// short list (nearly always one entry: the conflict test has to visit every
// region of the owner anyway).  Emptied region lists keep their storage for
// the next owner, so a borrow taken and given back on every call allocates
// nothing once the table has warmed up.
#pragma once

#include "numpy/borrow_record.hpp"
#include "numpy/region_key.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace undarix::numpy {

class BorrowTable {
public:
    // Return kBorrowGranted or kAlreadyBorrowed; may throw std::bad_alloc,
    // in which case the table is unchanged.
    std::int32_t acquire_shared(std::uintptr_t owner, const RegionKey& key);
    std::int32_t acquire_exclusive(std::uintptr_t owner, const RegionKey& key);
    // Releasing a borrow that is not held changes nothing.
    void release_shared(std::uintptr_t owner, const RegionKey& key) noexcept;
    void release_exclusive(std::uintptr_t owner, const RegionKey& key) noexcept;

    // Number of owners with at least one borrow.
    std::size_t owner_count() const noexcept { return used_; }

private:
    struct Region {
        RegionKey key;
        std::int64_t count;
    };
    using RegionList = std::vector<Region>;
    struct OwnerSlot {
        std::uintptr_t owner = 0;  // 0: empty (no object lives at address 0)
        RegionList regions;
    };

    std::int32_t acquire(std::uintptr_t owner, const RegionKey& key, std::int64_t count);
    std::size_t home(std::uintptr_t owner) const noexcept;
    OwnerSlot* find(std::uintptr_t owner) noexcept;
    void insert(std::uintptr_t owner, RegionList regions);
    void grow();
    void erase(OwnerSlot& slot) noexcept;
    static Region* find_region(OwnerSlot& slot, const RegionKey& key) noexcept;
    void forget(OwnerSlot& slot, Region& region) noexcept;

    std::vector<OwnerSlot> slots_;  // size 0 or a power of two
    std::size_t used_ = 0;
    std::vector<RegionList> spare_lists_;
};

// A record for `table` with version 1 and this module's four operations.
BorrowApiRecord make_borrow_record(BorrowTable* table) noexcept;

}  // namespace undarix::numpy
