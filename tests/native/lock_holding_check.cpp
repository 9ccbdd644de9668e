// Embeds the interpreter and checks what release_reference() does as the
// interpreter lock changes hands: a reference released while this thread does
// not hold the lock (given up by the kernels' unlocked loop, or never taken)
// must be queued, its count untouched, and applied by the next entry; with the
// lock held it is released at once.  Whether the lock is held is CPython's
// answer, not the module's count of entries.  Exits non-zero on the first
// check that fails.
#include "frame/entry_depth.hpp"
#include "frame/owned_ref.hpp"
#include "frame/interpreter_lock.hpp"
#include "frame/lock_ownership.hpp"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::printf("failed: %s\n", what);
        std::exit(1);
    }
}

}  // namespace

int main() {
    using undarix::this_thread_holds_interpreter_lock;
    Py_Initialize();
    PyObject* object = PyList_New(0);
    const Py_ssize_t initial = Py_REFCNT(object);
    check(this_thread_holds_interpreter_lock(), "after initialisation the lock is held");
    check(undarix::entry_depth() == 0, "no entry yet");
    {
        const undarix::EntryDepth entry;
        check(undarix::entry_depth() == 1, "inside an entry");
        Py_INCREF(object);
        undarix::release_reference(object);
        check(Py_REFCNT(object) == initial, "a release with the lock held is immediate");

        Py_INCREF(object);
        Py_INCREF(object);
        {
            const undarix::InterpreterLockReleased unlocked(false);
            check(!this_thread_holds_interpreter_lock(), "lock given up: not holding");
            undarix::release_reference(object);
        }
        check(this_thread_holds_interpreter_lock(), "lock taken back (on the separate stack): holding again");
        check(Py_REFCNT(object) == initial + 2, "a release without the lock is queued");
        {
            const undarix::EntryDepth nested;
            check(Py_REFCNT(object) == initial + 1, "the next entry applies the queue");
            {
                const undarix::InterpreterLockReleased unlocked(true);
                check(!this_thread_holds_interpreter_lock(), "nested entry, lock given up: not holding");
                undarix::release_reference(object);
            }
            check(Py_REFCNT(object) == initial + 1, "queued again in the nested entry");
        }
        check(this_thread_holds_interpreter_lock(), "back in the outer entry: holding");
    }
    check(undarix::entry_depth() == 0, "after the entries");
    {
        const undarix::EntryDepth entry;
        check(Py_REFCNT(object) == initial, "every queued release applied exactly once");
    }

    // Another thread while this one holds the lock.
    Py_INCREF(object);
    bool other_thread_holding = true;
    std::thread other([&] {
        other_thread_holding = this_thread_holds_interpreter_lock();
        undarix::release_reference(object);
    });
    other.join();
    check(!other_thread_holding, "another thread while this one holds the lock: not holding");
    check(Py_REFCNT(object) == initial + 1, "its release is queued");

    // Outside any entry, with the lock given up: queued as well.
    Py_INCREF(object);
    PyThreadState* state = PyEval_SaveThread();
    check(!this_thread_holds_interpreter_lock(), "outside entries, lock given up: not holding");
    undarix::release_reference(object);
    PyEval_RestoreThread(state);
    check(Py_REFCNT(object) == initial + 2, "queued outside entries too");
    {
        const undarix::EntryDepth entry;
        check(Py_REFCNT(object) == initial, "and applied by the next entry");
    }

    // A release the caller made (NumPy around a ufunc's inner loop), adopted: the lock is held
    // only inside with_lock, given up again after it, also when its body throws, and left given
    // up at the end, for the caller to take back.
    state = PyEval_SaveThread();
    {
        undarix::InterpreterLockReleased adopted(undarix::ReleasedByCaller{}, false);
        check(adopted.can_lock(), "adopted: this thread has a state of its own");
        check(adopted.with_lock([] { return this_thread_holds_interpreter_lock(); }),
              "adopted: holding inside with_lock (taken on the separate stack)");
        check(!this_thread_holds_interpreter_lock(), "adopted: given up again after with_lock");
        bool thrown = false;
        try {
            adopted.with_lock([]() -> int { throw 1; });
        } catch (int) {
            thrown = true;
        }
        check(thrown && !this_thread_holds_interpreter_lock(), "adopted: given up again when the body throws");
    }
    check(!this_thread_holds_interpreter_lock(), "adopted: still given up after the guard");
    PyEval_RestoreThread(state);
    check(this_thread_holds_interpreter_lock(), "the caller takes the lock back");

    Py_DECREF(object);
    std::printf("lock holding checked\n");
    return 0;
}
