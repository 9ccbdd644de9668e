#include "frame/entry_depth.hpp"

#include "frame/pending_releases.hpp"

namespace undarix {
namespace {

// Trivially destructible, so valid for the whole life of the thread,
// including while its other thread-local storage is torn down.
thread_local int entries_on_this_thread = 0;

}  // namespace

int entry_depth() noexcept { return entries_on_this_thread; }

EntryDepth::EntryDepth() noexcept {
    ++entries_on_this_thread;
    apply_pending_releases();
}

EntryDepth::~EntryDepth() { --entries_on_this_thread; }

}  // namespace undarix
