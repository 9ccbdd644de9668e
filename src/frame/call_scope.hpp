// CallScope: the temporary references obtained during one entry, released
// together, in the order they were taken, when the entry ends.
//
// The scope lives on the entry's own stack frame; the thread only keeps a
// pointer to the innermost open scope, so nothing per thread needs tearing
// down and nested entries each get their own scope.
#pragma once

#include "frame/owned_ref.hpp"

#include <cstddef>
#include <vector>

namespace undarix {

class CallScope {
public:
    CallScope() noexcept;  // opens: becomes the thread's current scope
    ~CallScope();          // closes if close() was not called
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // Releases every held reference in the order pushed, then restores the
    // enclosing scope as current.
    void close() noexcept;

private:
    friend PyObject* hold_in_scope(OwnedRef reference);

    void push(OwnedRef reference);

    static constexpr std::size_t kInline = 8;
    PyObject* inline_[kInline] = {};
    std::size_t inline_count_ = 0;
    std::vector<PyObject*> overflow_;
    CallScope* enclosing_;
    bool open_ = true;
};

// Hands a new reference to the current entry's scope and returns it as a
// borrowed reference, valid until the entry ends.  Raises InternalFailure if
// no entry is open on this thread.
PyObject* hold_in_scope(OwnedRef reference);

}  // namespace undarix
