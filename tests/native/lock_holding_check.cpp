// Embeds the interpreter and checks what release_reference() does inside an
// entry while the kernels' unlocked loop has given the interpreter lock up:
// the thread must count as not holding the lock there, so that a release is
// queued (the reference count untouched) rather than performed unlocked, and
// must count as holding it again once the lock has been taken back.  Exits
// non-zero on the first check that fails.
#include "frame/entry_depth.hpp"
#include "frame/owned_ref.hpp"
#include "kernels/interpreter_lock.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::printf("failed: %s\n", what);
        std::exit(1);
    }
}

}  // namespace

int main() {
    using undarix::thread_holds_interpreter_lock;
    Py_Initialize();
    PyObject* object = PyList_New(0);
    const Py_ssize_t initial = Py_REFCNT(object);
    check(!thread_holds_interpreter_lock(), "no entry: not holding");
    {
        const undarix::EntryDepth entry;
        check(thread_holds_interpreter_lock(), "inside an entry: holding");
        Py_INCREF(object);
        undarix::release_reference(object);
        check(Py_REFCNT(object) == initial, "a release with the lock held is immediate");

        Py_INCREF(object);
        Py_INCREF(object);
        {
            const undarix::kernels::InterpreterLockReleased unlocked;
            check(!thread_holds_interpreter_lock(), "lock given up: not holding");
            undarix::release_reference(object);
        }
        check(thread_holds_interpreter_lock(), "lock taken back: holding again");
        check(Py_REFCNT(object) == initial + 2, "a release without the lock is queued");
        {
            const undarix::EntryDepth nested;
            check(Py_REFCNT(object) == initial + 1, "the next entry applies the queue");
            {
                const undarix::kernels::InterpreterLockReleased unlocked;
                check(!thread_holds_interpreter_lock(), "nested entry, lock given up: not holding");
                undarix::release_reference(object);
            }
            check(Py_REFCNT(object) == initial + 1, "queued again in the nested entry");
        }
        check(thread_holds_interpreter_lock(), "back in the outer entry: holding");
    }
    check(!thread_holds_interpreter_lock(), "after the entries: not holding");
    {
        const undarix::EntryDepth entry;
        check(Py_REFCNT(object) == initial, "every queued release applied exactly once");
    }
    Py_DECREF(object);
    std::printf("lock holding checked\n");
    return 0;
}
