#include "frame/pending_releases.hpp"

#include "frame/lock_ownership.hpp"
#include "frame/owned_ref.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace undarix {
namespace {

struct PendingReleases {
    std::mutex mutex;
    std::vector<PyObject*> queue;
};
std::atomic<bool> releases_pending{false};

// Never destroyed, so a release during process exit still finds it.
PendingReleases& pending_releases() {
    static PendingReleases* pending = new PendingReleases();
    return *pending;
}

}  // namespace

void defer_release(PyObject* object) noexcept {
    PendingReleases& pending = pending_releases();
    std::lock_guard<std::mutex> lock(pending.mutex);
    try {
        pending.queue.push_back(object);
    } catch (const std::bad_alloc&) {
        return;
    }
    releases_pending.store(true, std::memory_order_release);
}

void apply_pending_releases() noexcept {
    if (!releases_pending.load(std::memory_order_acquire) || !this_thread_holds_interpreter_lock()) {
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
        decrement_locked(object);
    }
}

void release_reference(PyObject* object) noexcept {
    if (object == nullptr) {
        return;
    }
    if (this_thread_holds_interpreter_lock()) {
        decrement_locked(object);
        return;
    }
    defer_release(object);
}

}  // namespace undarix
