// InternalFailure: a broken internal expectation.  It is thrown as a C++
// exception so that destructors release borrows, buffers and references on
// the way up; only guarded_entry catches it, and it reaches Python as
// PanicException.
#pragma once

#include "compiler_support.hpp"

#include <string>
#include <utility>

namespace undarix {

class InternalFailure {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes a short report naming the source location and the message to the
// process's standard error, then throws InternalFailure(message).
[[noreturn]] void raise_internal(std::string message,
                                 const char* file = UNDARIX_CALLER_FILE(),
                                 int line = UNDARIX_CALLER_LINE());

// For a CPython or NumPy call that must not fail but did: prints and clears
// the pending Python error (PyErr_Print), then raises "Python API call failed".
[[noreturn]] void unexpected_api_failure(const char* file = UNDARIX_CALLER_FILE(),
                                         int line = UNDARIX_CALLER_LINE());

}  // namespace undarix
