// The separate stack, one per thread, on which the lock is taken back where
// CPython may end the thread there.
#include "frame/separate_stack.hpp"

#if defined(UNDARIX_SEPARATE_STACK)
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#endif

namespace undarix {

#if defined(UNDARIX_SEPARATE_STACK)
namespace {

// Room for PyEval_RestoreThread, a signal handler's C frames and the
// unwinder that may end the thread there (glibc loads libgcc_s for it).
constexpr std::size_t kLockStackBytes = 128 * 1024;

// One thread's separate stack: a private mapping whose lowest page is
// inaccessible, so that an overflow faults at once instead of writing over
// whatever lies below.  Created on first need and unmapped at thread exit.
// No process-wide list, and so no mutex that a fork could inherit locked.
class SeparateStack {
public:
    SeparateStack() = default;
    SeparateStack(const SeparateStack&) = delete;
    SeparateStack& operator=(const SeparateStack&) = delete;

    ~SeparateStack() {
        // A thread ended while asking for the lock was ended on this stack,
        // but glibc has jumped back to the thread's own stack before it runs
        // thread-local destructors; the address test is there so that a stack
        // still in use is never unmapped whatever path got here.
        if (mapping_ == nullptr || holds(reinterpret_cast<std::uintptr_t>(&mapping_))) {
            return;
        }
        const unsigned char marker = 0;
        if (holds(reinterpret_cast<std::uintptr_t>(&marker))) {
            return;
        }
        munmap(mapping_, mapping_bytes_);
    }

    bool prepare() noexcept {
        if (mapping_ != nullptr) {
            return true;
        }
        const long page = sysconf(_SC_PAGESIZE);
        if (page <= 0) {
            return false;
        }
        const std::size_t guard = static_cast<std::size_t>(page);
        const std::size_t usable = (kLockStackBytes + guard - 1) / guard * guard;
        void* mapping = mmap(nullptr, guard + usable, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (mapping == MAP_FAILED) {
            return false;
        }
        // Stacks grow down: the guard is the lowest page.
        if (mprotect(mapping, guard, PROT_NONE) != 0) {
            munmap(mapping, guard + usable);
            return false;
        }
        mapping_ = mapping;
        mapping_bytes_ = guard + usable;
        usable_ = static_cast<unsigned char*>(mapping) + guard;
        usable_bytes_ = usable;
        return true;
    }

    unsigned char* usable() const noexcept { return usable_; }
    std::size_t usable_bytes() const noexcept { return usable_bytes_; }

private:
    bool holds(std::uintptr_t address) const noexcept {
        const auto begin = reinterpret_cast<std::uintptr_t>(mapping_);
        return address >= begin && address < begin + mapping_bytes_;
    }

    void* mapping_ = nullptr;
    std::size_t mapping_bytes_ = 0;
    unsigned char* usable_ = nullptr;
    std::size_t usable_bytes_ = 0;
};

thread_local SeparateStack this_threads_stack;
thread_local PyThreadState* state_to_restore = nullptr;

// Runs on the separate stack.  It owns nothing and has no handler, so it
// has no entry in the exception tables: an unwinding that starts below it
// meets the end of this stack, where glibc ends the thread.
void separate_stack_body() { PyEval_RestoreThread(state_to_restore); }

// False when the separate stack cannot be set up; the caller then asks for
// the lock on its own stack.
bool restore_on_separate_stack(PyThreadState* state) {
    if (!this_threads_stack.prepare()) {
        return false;
    }
    ucontext_t caller;
    ucontext_t separate;
    if (getcontext(&separate) != 0) {
        return false;
    }
    separate.uc_stack.ss_sp = this_threads_stack.usable();
    separate.uc_stack.ss_size = this_threads_stack.usable_bytes();
    separate.uc_link = &caller;  // where the body returns to
    makecontext(&separate, separate_stack_body, 0);
    state_to_restore = state;
    return swapcontext(&caller, &separate) == 0;
}

}  // namespace
#endif

// Maps this thread's separate stack if it has none yet; false when there is
// no separate stack for this CPython and platform, or the mapping failed.
// The stack is unmapped when the thread exits.
bool prepare_separate_stack() noexcept {
#if defined(UNDARIX_SEPARATE_STACK)
    return this_threads_stack.prepare();
#else
    return false;
#endif
}

// PyEval_RestoreThread(state), made safe for the way CPython 3.8 to 3.13 end
// a thread that asks for the lock while the interpreter finalises:
// pthread_exit, which on glibc unwinds the thread's stack with a forced
// unwinding (whatever C++ runtime the module was built with: glibc loads
// libgcc_s for it), and that unwinding would run through this module's C++
// frames.  A thread that may be ended so (any but Python's main thread) asks
// for the lock on a small stack of its own, mapped with a guard page below
// it, where that unwinding finds no C++ frame and ends the thread as if it
// had never entered the module.  That stack exists only where the unwinding
// can happen: CPython before 3.14 (which hangs the thread instead) on glibc;
// elsewhere this is PyEval_RestoreThread.  (No thread is parked instead: the
// finalising thread itself may be inside a call, from a __del__, and must go
// on.)  `main_thread` is on_main_thread(), asked while the lock was held.
void take_back_lock(PyThreadState* state, bool main_thread) {
#if defined(UNDARIX_SEPARATE_STACK)
    if (!main_thread && restore_on_separate_stack(state)) {
        return;
    }
#endif
    (void)main_thread;
    PyEval_RestoreThread(state);
}

}  // namespace undarix
