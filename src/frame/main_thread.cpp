// Which thread is Python's main thread, read from the interpreter once per
// process.
#include "frame/main_thread.hpp"

#include "frame/error_indicator.hpp"
#include "frame/owned_ref.hpp"
#include "parallel/this_process.hpp"

#include <atomic>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/types.h>
#define UNDARIX_HAS_GETPID 1
#endif

namespace undarix {
namespace {

// Python's main thread, as PyThread_get_thread_ident() numbers threads, read once per
// process (and again in a forked child, whose main thread is the one that
// forked).  Read and written by threads that hold the interpreter lock, or,
// on a free-threaded build, that merely have a thread state: several may
// read the interpreter's answer at once, and all store the same one.  The
// identifier is stored before the mark that makes it valid (the process it
// was read in, where there are processes), and read after it.
std::atomic<unsigned long> main_thread_ident{0};
#if defined(UNDARIX_HAS_GETPID)
std::atomic<pid_t> main_thread_read_in{0};  // 0: not read yet
#else
std::atomic<bool> main_thread_known{false};
#endif

// The identifier read in this process, if any.
bool known_main_thread(unsigned long& ident) noexcept {
#if defined(UNDARIX_HAS_GETPID)
    const bool known = main_thread_read_in.load(std::memory_order_acquire) == parallel::this_process_id();
#else
    const bool known = main_thread_known.load(std::memory_order_acquire);
#endif
    if (known) {
        ident = main_thread_ident.load(std::memory_order_relaxed);
    }
    return known;
}

void remember_main_thread(unsigned long ident) noexcept {
    main_thread_ident.store(ident, std::memory_order_relaxed);
#if defined(UNDARIX_HAS_GETPID)
    main_thread_read_in.store(parallel::this_process_id(), std::memory_order_release);
#else
    main_thread_known.store(true, std::memory_order_release);
#endif
}

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

}  // namespace

bool on_main_thread() noexcept {
    unsigned long ident = 0;
    if (!known_main_thread(ident)) {
        if (!read_main_thread_ident(ident)) {
            return false;
        }
        remember_main_thread(ident);
    }
    return PyThread_get_thread_ident() == ident;
}

}  // namespace undarix
