#include "kernels/interpreter_lock.hpp"

#include <cstdlib>
#include <mutex>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif
#if defined(__linux__) && defined(__GLIBC__)
#include <ucontext.h>
#define UNDARIX_SEPARATE_STACK 1
#endif

namespace undarix::kernels {
namespace {

#if defined(UNDARIX_SEPARATE_STACK)

// Room for PyEval_RestoreThread, a signal handler's C frames and the
// unwinder that may end the thread there.
constexpr std::size_t kLockStackBytes = 128 * 1024;

// A separate stack, linked into a process-wide list while in use: one on
// which a thread was ended stays listed, so it is still reachable (not a
// leak) when the process exits a moment later.
struct SeparateStack {
    SeparateStack* previous;
    SeparateStack* next;
    alignas(16) unsigned char bytes[kLockStackBytes];
};

std::mutex stacks_in_use_mutex;
SeparateStack* stacks_in_use = nullptr;

SeparateStack* new_separate_stack() {
    auto* stack = static_cast<SeparateStack*>(std::malloc(sizeof(SeparateStack)));
    if (stack == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(stacks_in_use_mutex);
    stack->previous = nullptr;
    stack->next = stacks_in_use;
    if (stacks_in_use != nullptr) {
        stacks_in_use->previous = stack;
    }
    stacks_in_use = stack;
    return stack;
}

void free_separate_stack(SeparateStack* stack) {
    {
        std::lock_guard<std::mutex> lock(stacks_in_use_mutex);
        if (stack->previous != nullptr) {
            stack->previous->next = stack->next;
        } else {
            stacks_in_use = stack->next;
        }
        if (stack->next != nullptr) {
            stack->next->previous = stack->previous;
        }
    }
    std::free(stack);
}

thread_local PyThreadState* state_to_restore = nullptr;

// Runs on the separate stack.  It owns nothing and has no handler, so it
// has no entry in the exception tables: an unwinding that starts below it
// meets the end of this stack, where glibc ends the thread.
void separate_stack_body() { PyEval_RestoreThread(state_to_restore); }

// False when the separate stack cannot be set up; the caller then asks for
// the lock on its own stack.
bool restore_on_separate_stack(PyThreadState* state) {
    SeparateStack* stack = new_separate_stack();
    if (stack == nullptr) {
        return false;
    }
    ucontext_t caller;
    ucontext_t separate;
    if (getcontext(&separate) != 0) {
        free_separate_stack(stack);
        return false;
    }
    separate.uc_stack.ss_sp = stack->bytes;
    separate.uc_stack.ss_size = sizeof(stack->bytes);
    separate.uc_link = &caller;  // where the body returns to
    makecontext(&separate, separate_stack_body, 0);
    state_to_restore = state;
    const int switched = swapcontext(&caller, &separate);
    free_separate_stack(stack);
    return switched == 0;
}

#endif

}  // namespace

bool on_main_thread() noexcept {
#if defined(__linux__)
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
#else
    return true;
#endif
}

void take_back_lock(PyThreadState* state) {
#if defined(UNDARIX_SEPARATE_STACK)
    if (!on_main_thread() && restore_on_separate_stack(state)) {
        return;
    }
#endif
    PyEval_RestoreThread(state);
}

}  // namespace undarix::kernels
