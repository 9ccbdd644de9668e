// The strict module's C entry points, one per waveform of the table, in
// CPython's fast-call-with-keywords form.  Each runs its wrapper through
// guarded_entry.
#pragma once

#include "frame/python.hpp"
#include "function_wrappers.hpp"
#include "method_texts.hpp"

namespace undarix {

// Runs `wrapper` through guarded_entry, naming `reported_name` in failure
// reports.  Not noexcept: see guarded_entry.
PyObject* enter(const char* reported_name, Wrapper wrapper, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames);

// The module object is not used by any wrapper.
template <class W>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter(ReportedName<W>::kText.c_str(), waveform_wrapper<W>, args, nargs, kwnames);
}

}  // namespace undarix
