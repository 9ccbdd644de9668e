// guarded_entry: the one way into the module from the interpreter.  It runs a
// body, turns its outcome into CPython's convention (new reference, or null
// with the error indicator set) and makes sure no C++ exception ever crosses
// into the interpreter, with one exception: the unwinding by which CPython
// ends a thread that asks for the interpreter lock while the interpreter
// finalises (pthread_exit, up to 3.13) must pass through unharmed, which is
// why neither guarded_entry nor the entries calling it are noexcept.
#pragma once

#include "compiler_support.hpp"
#include "frame/boundary_trap.hpp"
#include "frame/call_scope.hpp"
#include "frame/entry_depth.hpp"
#include "frame/expected.hpp"
#include "frame/internal_failure.hpp"
#include "frame/panic_exception.hpp"

#include <new>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define UNDARIX_HAS_FORCED_UNWIND 1
#endif

namespace undarix {

// Body: () -> Expected<OwnedRef>; it may raise InternalFailure.
template <class Body>
UNDARIX_FORCED_UNWIND_HANDLER PyObject* guarded_entry(Body&& body) {
    BoundaryTrap trap;
    try {
        EntryDepth depth;
        CallScope scope;
        PyObject* result = nullptr;
        try {
            Expected<OwnedRef> outcome = body();
            if (outcome) {
                result = outcome.value().release();
            } else {
                restore_failure(outcome.take_failure());
            }
        } catch (InternalFailure& failure) {
            restore_failure(failure_to_exception(failure.message()));
        } catch (const std::bad_alloc&) {
            // Running out of C++ heap is an ordinary MemoryError for the
            // caller, not a reason to end the process.
            PyErr_NoMemory();
        }
        trap.disarm();
        scope.close();
        return result;
#if defined(UNDARIX_HAS_FORCED_UNWIND)
    } catch (abi::__forced_unwind&) {
        // The thread is being ended; destructors have released what they
        // hold (the lock is not held, so references go to the deferred
        // queue).  Swallowing this would abort the process.
        throw;
#endif
    } catch (...) {
        trap.abort_process();
    }
}

}  // namespace undarix
