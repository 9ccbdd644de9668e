// BorrowTable: the state behind a registry record installed by this module,
// and the four operations placed in that record.
#pragma once

#include "numpy/borrow_record.hpp"
#include "numpy/region_key.hpp"

#include <cstdint>
#include <unordered_map>

namespace undarix::numpy {

// Owner address -> region -> count: n > 0 shared borrows, -1 one exclusive
// borrow.  Zero counts and empty region maps are never kept.
struct BorrowTable {
    using RegionMap = std::unordered_map<RegionKey, std::int64_t, RegionKeyHash>;
    std::unordered_map<std::uintptr_t, RegionMap> owners;
};

// A record for `table` with version 1 and this module's four operations.
BorrowApiRecord make_borrow_record(BorrowTable* table) noexcept;

}  // namespace undarix::numpy
