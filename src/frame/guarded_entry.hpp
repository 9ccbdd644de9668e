// guarded_entry: the one way into the module from the interpreter.  It runs a
// body, turns its outcome into CPython's convention (new reference, or null
// with the error indicator set) and makes sure no C++ exception ever crosses
// into the interpreter.
#pragma once

#include "frame/boundary_trap.hpp"
#include "frame/call_scope.hpp"
#include "frame/entry_depth.hpp"
#include "frame/expected.hpp"
#include "frame/internal_failure.hpp"
#include "frame/panic_exception.hpp"

#include <new>

namespace undarix {

// Body: () -> Expected<OwnedRef>; it may raise InternalFailure.
template <class Body>
PyObject* guarded_entry(Body&& body) noexcept {
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
    } catch (...) {
        trap.abort_process();
    }
}

}  // namespace undarix
