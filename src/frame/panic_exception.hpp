// PanicException: how an InternalFailure reaches Python.  It derives from
// BaseException so that `except Exception` does not swallow it.
#pragma once

#include "frame/call_failure.hpp"

#include <string>

namespace undarix {

// The process-wide "pyo3_runtime.PanicException" type, created at first use;
// borrowed (the module keeps it for the life of the process).
PyObject* panic_exception_type();

// A lazy PanicException failure whose single argument is the message.
CallFailure failure_to_exception(std::string message);

}  // namespace undarix
