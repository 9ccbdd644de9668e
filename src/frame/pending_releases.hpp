// PendingReleases: reference releases requested on a thread that did not
// hold the interpreter lock (as CPython reports it), kept under a mutex of
// their own and applied by the next entry on any thread.
#pragma once

#include "frame/python.hpp"

namespace undarix {

// Queues one reference to release later; if the queue cannot grow, the
// object is kept alive instead (the only safe choice without the lock).
void defer_release(PyObject* object) noexcept;

// Releases everything queued so far if this thread holds the interpreter
// lock (otherwise leaves the queue for a thread that does).  Costs one
// atomic load when nothing is queued.
void apply_pending_releases() noexcept;

}  // namespace undarix
