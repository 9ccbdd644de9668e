// Preloaded into a Python process by tests/test_thread_settings.py: counts
// the calls of getpid and sched_getaffinity that any library makes through
// the dynamic linker, and passes each on to the C library.  The counts are
// read through ctypes.
#include <dlfcn.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<unsigned long> getpid_calls{0};
std::atomic<unsigned long> affinity_calls{0};

template <class Function>
Function next_definition(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

pid_t getpid() noexcept {
    static const auto real = next_definition<pid_t (*)()>("getpid");
    getpid_calls.fetch_add(1, std::memory_order_relaxed);
    return real();
}

int sched_getaffinity(pid_t pid, size_t size, cpu_set_t* set) noexcept {
    static const auto real = next_definition<int (*)(pid_t, size_t, cpu_set_t*)>("sched_getaffinity");
    affinity_calls.fetch_add(1, std::memory_order_relaxed);
    return real(pid, size, set);
}

__attribute__((visibility("default"))) unsigned long counted_getpid_calls() {
    return getpid_calls.load(std::memory_order_relaxed);
}

__attribute__((visibility("default"))) unsigned long counted_affinity_calls() {
    return affinity_calls.load(std::memory_order_relaxed);
}

}
