// The per-thread count of the module's entries that are running on this
// thread with the interpreter lock held.  release_reference() reads it to
// decide whether a reference may be released at once.
#pragma once

namespace undarix {

// True while this thread is inside an entry and holds the interpreter lock;
// false outside entries and while an entry has given the lock up.
bool thread_holds_interpreter_lock() noexcept;

// Counts one entry for its lifetime.
class EntryDepth {
public:
    EntryDepth() noexcept;  // counts the entry, then applies queued releases
    ~EntryDepth();
    EntryDepth(const EntryDepth&) = delete;
    EntryDepth& operator=(const EntryDepth&) = delete;
};

// Held by an entry for as long as it runs without the interpreter lock: the
// count reads zero from construction (before the lock is given up) until
// resume() (after it has been taken back), so that a release requested
// meanwhile is queued instead of touching a reference count unlocked.  The
// destructor restores nothing: if the thread is ended while it asks for the
// lock back, the count stays zero and the unwinding queues what it releases.
class LockHoldingSuspended {
public:
    LockHoldingSuspended() noexcept;
    ~LockHoldingSuspended() = default;
    LockHoldingSuspended(const LockHoldingSuspended&) = delete;
    LockHoldingSuspended& operator=(const LockHoldingSuspended&) = delete;

    void resume() noexcept;   // the lock is held again
    void suspend() noexcept;  // and about to be given up again

private:
    int saved_;
};

}  // namespace undarix
