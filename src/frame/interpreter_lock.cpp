#include "frame/interpreter_lock.hpp"

#include "frame/error_indicator.hpp"
#include "frame/owned_ref.hpp"
#include "parallel/this_process.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/types.h>
#include <unistd.h>
#define UNDARIX_HAS_GETPID 1
#endif
// CPython 3.8 to 3.13 end a thread that asks for the interpreter lock while
// the interpreter finalises with pthread_exit, which glibc carries out as a
// forced unwinding of the thread's stack; from 3.14 CPython hangs such a
// thread instead (gh-87135), which unwinds nothing.  So the separate stack
// exists only for CPython before 3.14 on glibc; other C libraries end the
// thread without unwinding through the module's frames.
#if PY_VERSION_HEX < 0x030E0000
#define UNDARIX_THREADS_ENDED_AT_EXIT 1
#endif
#if defined(UNDARIX_THREADS_ENDED_AT_EXIT) && defined(__linux__) && defined(__GLIBC__)
#include <sys/mman.h>
#include <ucontext.h>
#define UNDARIX_SEPARATE_STACK 1
#endif

namespace undarix {
namespace {

// ---- Who holds the lock -------------------------------------------------------

// The thread state the interpreter runs now (borrowed; null when no thread
// holds the lock), read without CPython's own "must not be null" check.
PyThreadState* running_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// ---- Python's main thread ---------------------------------------------------

// Its identity, as PyThread_get_thread_ident() numbers threads, read once per
// process (and again in a forked child, whose main thread is the one that
// forked).  Read and written with the interpreter lock held.
unsigned long main_thread_ident = 0;
bool main_thread_known = false;
#if defined(UNDARIX_HAS_GETPID)
pid_t main_thread_read_in = 0;
#endif

// The interpreter's record of its main thread: _thread._get_main_thread_ident()
// where it exists (3.13 on), else threading.main_thread().ident (the thread
// that imported threading, which NumPy imports at its own import, so in
// practice the thread that started the interpreter).  Not the OS rule "thread
// id equals process id": an embedding program may run the interpreter on any
// thread.  Clears the errors it meets; the caller has none pending.
bool read_main_thread_ident_cleanly(unsigned long& ident) {
    OwnedRef value;
    OwnedRef thread_module = OwnedRef::steal(PyImport_ImportModule("_thread"));
    if (thread_module && PyObject_HasAttrString(thread_module.get(), "_get_main_thread_ident")) {
        value = OwnedRef::steal(PyObject_CallMethod(thread_module.get(), "_get_main_thread_ident", nullptr));
    } else {
        PyErr_Clear();
        OwnedRef threading = OwnedRef::steal(PyImport_ImportModule("threading"));
        OwnedRef main_thread =
            threading ? OwnedRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : OwnedRef();
        value = main_thread ? OwnedRef::steal(PyObject_GetAttrString(main_thread.get(), "ident")) : OwnedRef();
    }
    if (!value || !PyLong_Check(value.get())) {
        PyErr_Clear();
        return false;
    }
    ident = PyLong_AsUnsignedLong(value.get());
    if (ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The same, with the caller's pending exception, if any, set aside
// meanwhile: a ufunc's loop may ask while an earlier loop call's error waits
// for NumPy to raise it.
bool read_main_thread_ident(unsigned long& ident) {
    PyObject* pending[3] = {nullptr, nullptr, nullptr};
    fetch_error(&pending[0], &pending[1], &pending[2]);
    const bool read = read_main_thread_ident_cleanly(ident);
    restore_error(pending[0], pending[1], pending[2]);
    return read;
}

#if defined(UNDARIX_SEPARATE_STACK)

// ---- Separate stacks ----------------------------------------------------------

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

#endif

#if defined(UNDARIX_THREADS_ENDED_AT_EXIT) && !defined(UNDARIX_SEPARATE_STACK) && defined(UNDARIX_HAS_GETPID)
bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}
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

}  // namespace

// Why this comparison and not something simpler:
// - The module's own count of entries says nothing once CPython ends a thread
//   inside Python code the module called (pthread_exit at interpreter exit,
//   3.8 to 3.13): the unwinding runs the module's destructors while the count
//   still reads "inside an entry", but the lock belongs to the finalising
//   thread.
// - PyGILState_Check() answers true unconditionally once any sub-interpreter
//   has been created (Py_NewInterpreter switches its check off for good: so
//   on 3.8 to 3.13 at least, 3.12 and 3.13 included), so it cannot be
//   trusted in a process that ever made one.
// - The running thread state is the lock holder's: on 3.8 to 3.11 a
//   process-wide pointer that CPython sets after taking the lock and clears
//   before giving it up; from 3.12 on a per-thread pointer that is set only
//   while this thread is attached.  PyGILState_GetThisThreadState() is this
//   OS thread's own state (null once the thread has none, or after the
//   interpreter's thread states are gone).  A thread that is being ended
//   while it waits for the lock never becomes the running state, so the two
//   differ and its releases are queued.  Running under a state other than
//   the thread's own (a sub-interpreter's) also reads "not held": the
//   release is then queued, which is safe, never decremented unlocked.
bool this_thread_holds_interpreter_lock() noexcept {
    PyThreadState* running = running_thread_state();
    return running != nullptr && running == PyGILState_GetThisThreadState();
}

void decrement_locked(PyObject* object) noexcept {
#if defined(UNDARIX_CHECK_LOCK_OWNERSHIP)
    if (!this_thread_holds_interpreter_lock()) {
        std::fprintf(stderr,
                     "undarix: a reference count would be decremented without the interpreter lock "
                     "(object at %p); aborting (UNDARIX_CHECK_LOCK_OWNERSHIP)\n",
                     static_cast<void*>(object));
        std::fflush(stderr);
        std::abort();
    }
#endif
    Py_DECREF(object);
}

bool on_main_thread() noexcept {
#if defined(UNDARIX_HAS_GETPID)
    if (main_thread_known && main_thread_read_in != parallel::this_process_id()) {
        main_thread_known = false;
    }
#endif
    if (!main_thread_known) {
        unsigned long ident = 0;
        if (!read_main_thread_ident(ident)) {
            return false;
        }
        main_thread_ident = ident;
        main_thread_known = true;
#if defined(UNDARIX_HAS_GETPID)
        main_thread_read_in = parallel::this_process_id();
#endif
    }
    return PyThread_get_thread_ident() == main_thread_ident;
}

InterpreterLockReleased::InterpreterLockReleased(bool main_thread) noexcept
    : main_thread_(main_thread),
#if defined(UNDARIX_SEPARATE_STACK)
      releases_(main_thread || prepare_separate_stack()),
#else
      releases_(true),
#endif
      adopted_(false),
      exceptions_at_start_(std::uncaught_exceptions()),
      saved_(releases_ ? PyEval_SaveThread() : nullptr) {
}

InterpreterLockReleased::InterpreterLockReleased(ReleasedByCaller, bool main_thread) noexcept
    : main_thread_(main_thread),
      releases_(true),
      adopted_(true),
      exceptions_at_start_(std::uncaught_exceptions()),
      saved_(PyGILState_GetThisThreadState()) {
    if (!main_thread_) {
        // Mapped now, while nothing is at stake: a thread that cannot have
        // one asks for the lock on its own stack.
        prepare_separate_stack();
    }
}

InterpreterLockReleased::~InterpreterLockReleased() noexcept(false) {
    if (adopted_) {
        return;  // the caller takes the lock back itself
    }
#if defined(UNDARIX_THREADS_ENDED_AT_EXIT) && !defined(UNDARIX_SEPARATE_STACK) && defined(UNDARIX_HAS_GETPID)
    if (saved_ != nullptr && !main_thread_ && std::uncaught_exceptions() > exceptions_at_start_ &&
        interpreter_finalizing()) {
        // The thread would be ended by an unwinding while another exception
        // unwinds, which terminates the process; it waits for the exit.
        for (;;) {
            pause();
        }
    }
#endif
    take_back();
}

void InterpreterLockReleased::take_back() {
    // Cleared first: if taking the lock ends the thread, the unwinding runs
    // the destructor, which must not ask a second time.
    PyThreadState* state = saved_;
    saved_ = nullptr;
    if (state != nullptr) {
        take_back_lock(state, main_thread_);
    }
}

void InterpreterLockReleased::release_again() noexcept {
    // CPython's answer, not the guard's own record: a thread ended inside
    // with_lock's body is unwound without the lock, which belongs to the
    // thread that finalises the interpreter.
    if (releases_ && saved_ == nullptr && this_thread_holds_interpreter_lock()) {
        saved_ = PyEval_SaveThread();
    }
}

}  // namespace undarix
