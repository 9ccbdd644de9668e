// Conversion of bound arguments to the native values the kernels take.
#pragma once

#include "frame/expected.hpp"

#include <cstdint>
#include <string_view>

namespace undarix {

// The object itself (borrowed) once it is known to be a one-dimensional
// ndarray (or subclass) with a dtype equivalent to float64.
Expected<PyObject*> extract_time(PyObject* object);

// float(object) through PyFloat_AsDouble; any double passes.
Expected<double> extract_double(PyObject* object);

// operator.index(object) as an unsigned 64-bit integer.
Expected<std::uint64_t> extract_unsigned(PyObject* object);

// An exact TypeError becomes "argument '{name}': {message}", keeping the
// original's __cause__; every other failure passes through unchanged.
CallFailure qualify_argument_error(std::string_view name, CallFailure failure);

}  // namespace undarix
