#include "parallel/this_process.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace undarix::parallel {
namespace {

// 0 until first asked.
std::atomic<pid_t> remembered_id{0};

// Runs in the child, on the only thread there, before fork() returns;
// getpid is async-signal-safe, as a fork handler must be.
void remember_in_child() noexcept { remembered_id.store(getpid(), std::memory_order_relaxed); }

// Registered as the library is loaded, before any id can be remembered.
const bool handler_registered = pthread_atfork(nullptr, nullptr, remember_in_child) == 0;

}  // namespace

pid_t this_process_id() noexcept {
    pid_t id = remembered_id.load(std::memory_order_relaxed);
    if (id != 0) {
        return id;
    }
    id = getpid();
    if (!handler_registered) {
        return id;
    }
    // Only from 0: a child's handler that ran meanwhile (a fork from a
    // signal handler on this very thread) has written the right id.
    pid_t unset = 0;
    if (!remembered_id.compare_exchange_strong(unset, id, std::memory_order_relaxed)) {
        return unset;
    }
    return id;
}

}  // namespace undarix::parallel
