// The one place that includes the interpreter's C API, so that the required
// PY_SSIZE_T_CLEAN definition always precedes it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
