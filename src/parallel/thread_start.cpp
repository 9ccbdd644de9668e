#include "parallel/thread_start.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstddef>

namespace undarix::parallel {
namespace {

constexpr std::size_t kStackBytes = 128 * 1024;

std::size_t stack_bytes() noexcept {
    const long minimum = sysconf(_SC_THREAD_STACK_MIN);
    return minimum > 0 && static_cast<std::size_t>(minimum) > kStackBytes ? static_cast<std::size_t>(minimum)
                                                                          : kStackBytes;
}

}  // namespace

bool start_thread(void* (*body)(void*), void* argument) noexcept {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    // Where the size is refused, the default one still serves.
    pthread_attr_setstacksize(&attributes, stack_bytes());
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // The new thread inherits the mask in force when it is created.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    const bool blocked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
    pthread_t thread;
    const bool started = blocked && pthread_create(&thread, &attributes, body, argument) == 0;
    if (blocked) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace undarix::parallel
