// Which interpreter a module's initialisation runs for: both modules keep
// process-wide state (types, NumPy's tables, the borrow registry, the ufunc
// objects) made of objects of the interpreter that fills it, so only the
// main interpreter's own import may initialise them.
#pragma once

#include "frame/python.hpp"

#include <optional>

namespace undarix {

enum class ImportingInterpreter {
    // The main interpreter imports the module for itself.
    main,
    // CPython 3.13 on: a sub-interpreter imports a single-phase module, and
    // CPython runs the initialisation in the main interpreter on its behalf.
    // It then discards the module made there and, for a module whose
    // definition has m_size >= 0, calls the initialisation again from the
    // sub-interpreter itself (or refuses it first, for an isolated one).
    main_for_sub_interpreter,
    // A sub-interpreter runs the initialisation itself.
    sub_interpreter,
};

// Asked at the top of a module's initialisation, with the interpreter lock.
ImportingInterpreter importing_interpreter() noexcept;

// The first step of a single-phase initialisation that serves the main
// interpreter only.  Empty when the import is the main interpreter's own and
// may go on.  Otherwise the value the initialisation returns at once: for
// the run on a sub-interpreter's behalf, a new module from `definition` with
// nothing in it (no state is filled, and no exception has to cross from one
// interpreter to the other; the sub-interpreter's own call is then refused);
// in a sub-interpreter, null with ImportError(`refusal`) set.  `definition`
// must have m_size >= 0, so that CPython asks the sub-interpreter itself
// rather than copying a module made elsewhere.
std::optional<PyObject*> sub_interpreter_import(PyModuleDef* definition, const char* refusal) noexcept;

}  // namespace undarix
