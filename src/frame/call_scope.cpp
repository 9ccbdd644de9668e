#include "frame/call_scope.hpp"

#include "frame/internal_failure.hpp"

#include <atomic>
#include <mutex>
#include <new>

namespace undarix {
namespace {

// Trivially destructible thread-locals: valid for the whole life of the
// thread, including while its other thread-local storage is torn down.
thread_local int lock_depth = 0;
thread_local CallScope* current_scope = nullptr;

// Releases requested by a thread outside any entry, applied by the next
// entry on any thread.  Never destroyed, so a release during process exit
// still finds it.
struct PendingReleases {
    std::mutex mutex;
    std::vector<PyObject*> queue;
};
std::atomic<bool> releases_pending{false};

PendingReleases& pending_releases() {
    static PendingReleases* pending = new PendingReleases();
    return *pending;
}

void apply_pending_releases() noexcept {
    if (!releases_pending.load(std::memory_order_acquire)) {
        return;
    }
    std::vector<PyObject*> batch;
    {
        PendingReleases& pending = pending_releases();
        std::lock_guard<std::mutex> lock(pending.mutex);
        batch.swap(pending.queue);
        releases_pending.store(false, std::memory_order_release);
    }
    for (PyObject* object : batch) {
        Py_DECREF(object);
    }
}

}  // namespace

void release_reference(PyObject* object) noexcept {
    if (object == nullptr) {
        return;
    }
    if (lock_depth > 0) {
        Py_DECREF(object);
        return;
    }
    PendingReleases& pending = pending_releases();
    std::lock_guard<std::mutex> lock(pending.mutex);
    try {
        pending.queue.push_back(object);
    } catch (const std::bad_alloc&) {
        // Keeping the object alive is the only safe choice left.
        return;
    }
    releases_pending.store(true, std::memory_order_release);
}

EntryDepth::EntryDepth() noexcept {
    ++lock_depth;
    apply_pending_releases();
}

EntryDepth::~EntryDepth() { --lock_depth; }

CallScope::CallScope() noexcept : enclosing_(current_scope) { current_scope = this; }

CallScope::~CallScope() { close(); }

void CallScope::close() noexcept {
    if (!open_) {
        return;
    }
    open_ = false;
    current_scope = enclosing_;
    for (std::size_t i = 0; i < inline_count_; ++i) {
        release_reference(inline_[i]);
    }
    for (PyObject* object : overflow_) {
        release_reference(object);
    }
    inline_count_ = 0;
    overflow_.clear();
}

void CallScope::push(OwnedRef reference) {
    if (inline_count_ < kInline) {
        inline_[inline_count_++] = reference.release();
        return;
    }
    try {
        overflow_.push_back(reference.get());
    } catch (const std::bad_alloc&) {
        raise_internal("could not record a temporary reference: out of memory");
    }
    reference.release();
}

PyObject* hold_in_scope(OwnedRef reference) {
    if (current_scope == nullptr) {
        raise_internal("no call scope is open on this thread");
    }
    PyObject* borrowed = reference.get();
    current_scope->push(std::move(reference));
    return borrowed;
}

}  // namespace undarix
