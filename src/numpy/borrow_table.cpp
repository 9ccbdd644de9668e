#include "numpy/borrow_table.hpp"

#include "numpy/numpy_layout.hpp"

#include <limits>
#include <utility>

namespace undarix::numpy {
namespace {

constexpr std::int64_t kMaxShared = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kExclusive = -1;
constexpr std::size_t kMinSlots = 8;
constexpr std::size_t kMaxSpareLists = 16;

}  // namespace

std::size_t BorrowTable::home(std::uintptr_t owner) const noexcept {
    // Fibonacci hashing: object addresses differ mostly in their middle bits.
    const std::uint64_t mixed = static_cast<std::uint64_t>(owner) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(mixed >> 32) & (slots_.size() - 1);
}

BorrowTable::OwnerSlot* BorrowTable::find(std::uintptr_t owner) noexcept {
    if (used_ == 0) {
        return nullptr;
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(owner);; i = (i + 1) & mask) {
        if (slots_[i].owner == owner) {
            return &slots_[i];
        }
        if (slots_[i].owner == 0) {
            return nullptr;
        }
    }
}

void BorrowTable::grow() {
    std::vector<OwnerSlot> old(slots_.empty() ? kMinSlots : slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (OwnerSlot& slot : old) {
        if (slot.owner != 0) {
            std::size_t i = home(slot.owner);
            while (slots_[i].owner != 0) {
                i = (i + 1) & mask;
            }
            slots_[i] = std::move(slot);
        }
    }
}

void BorrowTable::insert(std::uintptr_t owner, RegionList regions) {
    if ((used_ + 1) * 2 > slots_.size()) {
        grow();
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = home(owner);
    while (slots_[i].owner != 0) {
        i = (i + 1) & mask;
    }
    slots_[i].owner = owner;
    slots_[i].regions = std::move(regions);
    ++used_;
}

// Backward-shift deletion keeps every probe chain unbroken without
// tombstones.
void BorrowTable::erase(OwnerSlot& slot) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = static_cast<std::size_t>(&slot - slots_.data());
    slot.regions.clear();
    if (spare_lists_.size() < kMaxSpareLists && slot.regions.capacity() > 0) {
        try {
            spare_lists_.push_back(std::move(slot.regions));
        } catch (...) {
            // Only a cache: dropping the list is fine.
        }
    }
    slot.regions = RegionList();
    slot.owner = 0;
    --used_;
    for (std::size_t j = (hole + 1) & mask; slots_[j].owner != 0; j = (j + 1) & mask) {
        const std::size_t wanted = home(slots_[j].owner);
        const bool reachable_from_hole =
            hole <= j ? (wanted <= hole || wanted > j) : (wanted <= hole && wanted > j);
        if (reachable_from_hole) {
            slots_[hole] = std::move(slots_[j]);
            slots_[j].owner = 0;
            slots_[j].regions = RegionList();
            hole = j;
        }
    }
}

BorrowTable::Region* BorrowTable::find_region(OwnerSlot& slot, const RegionKey& key) noexcept {
    for (Region& region : slot.regions) {
        if (region.key == key) {
            return &region;
        }
    }
    return nullptr;
}

void BorrowTable::forget(OwnerSlot& slot, Region& region) noexcept {
    if (slot.regions.size() > 1) {
        region = slot.regions.back();
        slot.regions.pop_back();
    } else {
        erase(slot);
    }
}

std::int32_t BorrowTable::acquire(std::uintptr_t owner, const RegionKey& key, std::int64_t count) {
    OwnerSlot* slot = find(owner);
    if (slot == nullptr) {
        RegionList regions;
        if (!spare_lists_.empty()) {
            regions = std::move(spare_lists_.back());
            spare_lists_.pop_back();
        }
        regions.push_back(Region{key, count});
        insert(owner, std::move(regions));
        return kBorrowGranted;
    }
    Region* same = find_region(*slot, key);
    // A stored zero would be a broken invariant; it is treated as no borrow.
    if (same != nullptr && same->count != 0) {
        if (count == kExclusive || same->count < 0 || same->count == kMaxShared) {
            return kAlreadyBorrowed;
        }
        ++same->count;
        return kBorrowGranted;
    }
    for (const Region& stored : slot->regions) {
        // Shared borrows only collide with exclusive ones.
        const bool blocking = count == kExclusive ? stored.count != 0 : stored.count < 0;
        if (blocking && regions_conflict(key, stored.key)) {
            return kAlreadyBorrowed;
        }
    }
    if (same != nullptr) {
        same->count = count;
    } else {
        slot->regions.push_back(Region{key, count});
    }
    return kBorrowGranted;
}

std::int32_t BorrowTable::acquire_shared(std::uintptr_t owner, const RegionKey& key) {
    return acquire(owner, key, 1);
}

std::int32_t BorrowTable::acquire_exclusive(std::uintptr_t owner, const RegionKey& key) {
    return acquire(owner, key, kExclusive);
}

void BorrowTable::release_shared(std::uintptr_t owner, const RegionKey& key) noexcept {
    OwnerSlot* slot = find(owner);
    Region* region = slot != nullptr ? find_region(*slot, key) : nullptr;
    if (region == nullptr || region->count <= 0) {
        return;
    }
    if (--region->count == 0) {
        forget(*slot, *region);
    }
}

void BorrowTable::release_exclusive(std::uintptr_t owner, const RegionKey& key) noexcept {
    OwnerSlot* slot = find(owner);
    Region* region = slot != nullptr ? find_region(*slot, key) : nullptr;
    if (region == nullptr || region->count != kExclusive) {
        return;
    }
    forget(*slot, *region);
}

// Other extension modules call these through the record: they report only
// through their return codes and let nothing escape.  When the owner cannot
// be computed (NumPy unreachable) or memory runs out, the borrow is refused.
extern "C" {

static std::int32_t registry_acquire_shared(void* state, PyObject* array) {
    try {
        return static_cast<BorrowTable*>(state)->acquire_shared(memory_owner(array), region_key(array));
    } catch (...) {
        return kAlreadyBorrowed;
    }
}

static std::int32_t registry_acquire_exclusive(void* state, PyObject* array) {
    try {
        if ((as_array(array)->flags & kWriteable) == 0) {
            return kNotWriteable;
        }
        return static_cast<BorrowTable*>(state)->acquire_exclusive(memory_owner(array), region_key(array));
    } catch (...) {
        return kAlreadyBorrowed;
    }
}

static void registry_release_shared(void* state, PyObject* array) {
    try {
        static_cast<BorrowTable*>(state)->release_shared(memory_owner(array), region_key(array));
    } catch (...) {
    }
}

static void registry_release_exclusive(void* state, PyObject* array) {
    try {
        static_cast<BorrowTable*>(state)->release_exclusive(memory_owner(array), region_key(array));
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
