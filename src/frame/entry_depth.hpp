// The per-thread count of the module's entries running on this thread.  An
// entry starts by applying the reference releases queued while no thread
// could perform them.  Whether a release may happen at once is not read from
// this count but asked of CPython (frame/interpreter_lock.hpp).
#pragma once

namespace undarix {

// Counts one entry for its lifetime.
class EntryDepth {
public:
    EntryDepth() noexcept;  // counts the entry, then applies queued releases
    ~EntryDepth();
    EntryDepth(const EntryDepth&) = delete;
    EntryDepth& operator=(const EntryDepth&) = delete;
};

// The number of entries running on this thread.
int entry_depth() noexcept;

}  // namespace undarix
