// The five functions' C entry points, in CPython's fast-call-with-keywords
// form.  Each runs its wrapper through guarded_entry.
#pragma once

#include "frame/python.hpp"

namespace undarix {

extern "C" {
PyObject* harmonic_oscillator_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* pseudo_square_wave_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* fourier_square_wave_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* pseudo_cycloid_wave_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* transient_impulse_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
}

}  // namespace undarix
