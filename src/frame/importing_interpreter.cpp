#include "frame/importing_interpreter.hpp"

namespace undarix {

ImportingInterpreter importing_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    PyInterpreterState* running = PyInterpreterState_Get();
#else
    PyInterpreterState* running = _PyInterpreterState_Get();
#endif
    if (running != PyInterpreterState_Main()) {
        return ImportingInterpreter::sub_interpreter;
    }
#if PY_VERSION_HEX >= 0x030D0000
    // From 3.13 the import machinery switches to the main interpreter before
    // it calls any extension module's initialisation for a sub-interpreter
    // (import.c, switch_to_main_interpreter), under a thread state it makes
    // for the purpose and marks _PyThreadState_WHENCE_EXEC.  CPython offers
    // no public way to tell that run from the main interpreter's own import
    // for a single-phase module, and the mark's name is visible only to
    // CPython's own build (cpython/pystate.h, under Py_BUILD_CORE), so its
    // value is written here.  It was 4 in the 3.13 pre-releases and is 5
    // from 3.13.0; tests/test_subinterpreters.py checks it against the
    // installed headers and checks the behaviour it stands for on every
    // CPython the suite runs on.  CPython gives the same mark to a thread
    // state made to run code in the main interpreter for another one; that
    // code imports from Python frames, while the import machinery's run
    // starts on a thread state without any.
    constexpr int kWhenceExec = 5;
    if (PyThreadState_Get()->_whence == kWhenceExec && PyEval_GetFrame() == nullptr) {
        return ImportingInterpreter::main_for_sub_interpreter;
    }
#endif
    return ImportingInterpreter::main;
}

std::optional<PyObject*> sub_interpreter_import(PyModuleDef* definition, const char* refusal) noexcept {
    switch (importing_interpreter()) {
    case ImportingInterpreter::main:
        return std::nullopt;
    case ImportingInterpreter::main_for_sub_interpreter:
        return PyModule_Create(definition);
    case ImportingInterpreter::sub_interpreter:
        break;
    }
    PyErr_SetString(PyExc_ImportError, refusal);
    return nullptr;
}

}  // namespace undarix
