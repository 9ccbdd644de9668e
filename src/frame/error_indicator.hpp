// The interpreter's error indicator as a (type, value, traceback) triple, the
// form in which failures are fetched, kept and restored.  Up to CPython 3.11
// these are PyErr_Fetch, PyErr_Restore and PyErr_NormalizeException.  From
// 3.12 the interpreter keeps only the exception instance and those functions
// are deprecated; there the same results are produced through the instance
// API (PyErr_GetRaisedException, PyErr_SetRaisedException).
#pragma once

#include "frame/python.hpp"

namespace undarix {

// Moves the pending exception into the three (new references, each possibly
// null) and clears the indicator.  From 3.12 the value is always normalised.
void fetch_error(PyObject** type, PyObject** value, PyObject** traceback) noexcept;

// Sets the indicator, stealing the three references.  `type` is null (clear
// the indicator) or an exception class; `value` is an instance of it, an
// argument (tuple) for its constructor, or null.
void restore_error(PyObject* type, PyObject* value, PyObject* traceback) noexcept;

// Makes `value` an instance of `type` in place, as PyErr_NormalizeException
// does; when building the instance raises, that exception takes the place of
// the triple.
void normalize_error(PyObject** type, PyObject** value, PyObject** traceback) noexcept;

}  // namespace undarix
