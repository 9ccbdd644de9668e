#include "frame/call_scope.hpp"

#include "frame/internal_failure.hpp"

#include <new>

namespace undarix {
namespace {

// Trivially destructible: valid for the whole life of the thread, including
// while its other thread-local storage is torn down.
thread_local CallScope* current_scope = nullptr;

}  // namespace

CallScope::CallScope() noexcept : enclosing_(current_scope) { current_scope = this; }

CallScope::~CallScope() { close(); }

void CallScope::close() noexcept {
    if (!open_) {
        return;
    }
    open_ = false;
    current_scope = enclosing_;
    for (std::size_t i = 0; i < inline_count_; ++i) {
        release_reference(inline_[i]);
    }
    for (PyObject* object : overflow_) {
        release_reference(object);
    }
    inline_count_ = 0;
    overflow_.clear();
}

void CallScope::push(OwnedRef reference) {
    if (inline_count_ < kInline) {
        inline_[inline_count_++] = reference.release();
        return;
    }
    try {
        overflow_.push_back(reference.get());
    } catch (const std::bad_alloc&) {
        raise_internal("could not record a temporary reference: out of memory");
    }
    reference.release();
}

PyObject* hold_in_scope(OwnedRef reference) {
    if (current_scope == nullptr) {
        raise_internal("no call scope is open on this thread");
    }
    PyObject* borrowed = reference.get();
    current_scope->push(std::move(reference));
    return borrowed;
}

}  // namespace undarix
