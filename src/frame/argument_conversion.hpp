// Conversion of the scalar arguments to the native values the kernels take
// (the time array's own check is numpy/time_argument).
#pragma once

#include "frame/expected.hpp"

#include <cstdint>
#include <string_view>

namespace undarix {

// float(object) through PyFloat_AsDouble; any double passes.
Expected<double> extract_double(PyObject* object);

// operator.index(object) as an unsigned 64-bit integer.
Expected<std::uint64_t> extract_unsigned(PyObject* object);

// An exact TypeError becomes "argument '{name}': {message}", keeping the
// original's __cause__; every other failure passes through unchanged.
CallFailure qualify_argument_error(std::string_view name, CallFailure failure);

}  // namespace undarix
