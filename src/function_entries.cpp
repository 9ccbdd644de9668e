#include "function_entries.hpp"

#include "frame/failure_report.hpp"
#include "function_wrappers.hpp"
#include "frame/guarded_entry.hpp"

namespace undarix {
namespace {

// The module object is not used by any wrapper.  Not noexcept: see
// guarded_entry.
PyObject* enter(const char* name, Wrapper wrapper, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
    return guarded_entry([&] {
        const ReportedFunction reported(name);
        return wrapper(args, static_cast<std::size_t>(nargs), kwnames);
    });
}

}  // namespace

extern "C" {

PyObject* harmonic_oscillator_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter("undarix.harmonic_oscillator()", harmonic_oscillator_wrapper, args, nargs, kwnames);
}

PyObject* pseudo_square_wave_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter("undarix.pseudo_square_wave()", pseudo_square_wave_wrapper, args, nargs, kwnames);
}

PyObject* fourier_square_wave_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter("undarix.fourier_square_wave()", fourier_square_wave_wrapper, args, nargs, kwnames);
}

PyObject* pseudo_cycloid_wave_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter("undarix.pseudo_cycloid_wave()", pseudo_cycloid_wave_wrapper, args, nargs, kwnames);
}

PyObject* transient_impulse_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return enter("undarix.transient_impulse()", transient_impulse_wrapper, args, nargs, kwnames);
}

}  // extern "C"

}  // namespace undarix
