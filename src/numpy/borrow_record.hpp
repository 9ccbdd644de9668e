// BorrowApiRecord: the 48-byte record behind the process-wide borrow registry
// capsule.  It is a binary interface shared with other extension modules, so
// its layout is fixed byte for byte.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <cstdint>

namespace undarix::numpy {

extern "C" {
typedef std::int32_t BorrowAcquireFunction(void* state, PyObject* array);
typedef void BorrowReleaseFunction(void* state, PyObject* array);
}

struct BorrowApiRecord {
    std::uint64_t version;
    void* state;
    BorrowAcquireFunction* acquire_shared;
    BorrowAcquireFunction* acquire_exclusive;
    BorrowReleaseFunction* release_shared;
    BorrowReleaseFunction* release_exclusive;
};

static_assert(sizeof(BorrowApiRecord) == 48);
static_assert(offsetof(BorrowApiRecord, version) == 0);
static_assert(offsetof(BorrowApiRecord, state) == 8);
static_assert(offsetof(BorrowApiRecord, acquire_shared) == 16);
static_assert(offsetof(BorrowApiRecord, acquire_exclusive) == 24);
static_assert(offsetof(BorrowApiRecord, release_shared) == 32);
static_assert(offsetof(BorrowApiRecord, release_exclusive) == 40);

constexpr std::int32_t kBorrowGranted = 0;
constexpr std::int32_t kAlreadyBorrowed = -1;
constexpr std::int32_t kNotWriteable = -2;

constexpr char kBorrowCapsuleName[] = "_RUST_NUMPY_BORROW_CHECKING_API";

}  // namespace undarix::numpy
