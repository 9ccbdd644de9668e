#include "frame/entry_depth.hpp"

#include "frame/pending_releases.hpp"

namespace undarix {
namespace {

// Trivially destructible, so valid for the whole life of the thread,
// including while its other thread-local storage is torn down.
thread_local int lock_holding_entries = 0;

}  // namespace

bool thread_holds_interpreter_lock() noexcept { return lock_holding_entries > 0; }

EntryDepth::EntryDepth() noexcept {
    ++lock_holding_entries;
    apply_pending_releases();
}

EntryDepth::~EntryDepth() { --lock_holding_entries; }

LockHoldingSuspended::LockHoldingSuspended() noexcept : saved_(lock_holding_entries) { lock_holding_entries = 0; }

void LockHoldingSuspended::resume() noexcept { lock_holding_entries = saved_; }

void LockHoldingSuspended::suspend() noexcept {
    saved_ = lock_holding_entries;
    lock_holding_entries = 0;
}

}  // namespace undarix
