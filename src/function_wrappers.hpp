// The five functions' wrappers: bind, convert in declaration order, call the
// kernel.  Each returns a new reference to the result or the first failure.
#pragma once

#include "frame/expected.hpp"

#include <cstddef>

namespace undarix {

using Wrapper = Expected<OwnedRef> (*)(PyObject* const* args, std::size_t nargs, PyObject* kwnames);

Expected<OwnedRef> harmonic_oscillator_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames);
Expected<OwnedRef> pseudo_square_wave_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames);
Expected<OwnedRef> fourier_square_wave_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames);
Expected<OwnedRef> pseudo_cycloid_wave_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames);
Expected<OwnedRef> transient_impulse_wrapper(PyObject* const* args, std::size_t nargs, PyObject* kwnames);

}  // namespace undarix
