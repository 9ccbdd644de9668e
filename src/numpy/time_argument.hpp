// Conversion of the `time` argument: the one argument whose check needs
// NumPy's own types, so it lives beside the NumPy table rather than with the
// scalar conversions.
#pragma once

#include "frame/expected.hpp"

namespace undarix::numpy {

// The object itself (borrowed) once it is known to be a one-dimensional
// ndarray (or subclass) with a dtype equivalent to float64.
Expected<PyObject*> extract_time(PyObject* object);

}  // namespace undarix::numpy
