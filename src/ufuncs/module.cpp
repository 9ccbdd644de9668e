// Module root of undarix_ufuncs: the module definition and its
// initialisation, which makes the waveforms of the table and their
// Jacobians NumPy ufuncs.
#include "compiler_support.hpp"
#include "frame/boundary.hpp"
#include "frame/failure_report.hpp"
#include "frame/importing_interpreter.hpp"
#include "frame/python.hpp"
#include "kernels/shared_team.hpp"
#include "numpy/ufunc_table.hpp"
#include "maths/waveform_table.hpp"
#include "ufuncs/ufunc_api.hpp"
#include "ufuncs/ufunc_catalogue.hpp"

#include <cstring>
#include <optional>
#include <string>

#ifndef UNDARIX_VERSION
#error "UNDARIX_VERSION must hold the distribution's version"
#endif

namespace undarix::ufuncs {
namespace {

// CPython keeps a pointer to the definition for the life of the process.
// m_size 0, not -1: CPython then calls the initialisation for every import,
// a sub-interpreter's included, rather than copying the first module's
// attributes into another interpreter.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "undarix_ufuncs", maths::kUfuncModuleText.data(), 0, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};

// help() on a ufunc shows its text from Python 3.13 on; before, pydoc shows
// the ufunc type's page for any instance.  So the module's own text, which
// help(undarix_ufuncs) shows everywhere, carries every ufunc's text too.
bool add_ufunc_docs(PyObject* module) {
    std::string doc(maths::kUfuncModuleText);
    doc += "\nFunctions\n=========\n";
    for (const UfuncRecord& record : ufunc_records()) {
        doc += "\n";
        doc += record.name;
        doc += "\n";
        doc += std::string(std::strlen(record.name), '-');
        doc += "\n";
        doc += record.doc;
    }
    PyObject* text = PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size()));
    if (text == nullptr) {
        return false;
    }
    const int status = PyObject_SetAttrString(module, "__doc__", text);
    Py_DECREF(text);
    return status == 0;
}

// On NumPy 2, each of the ufunc's loops also as an ArrayMethod of the same
// operand types, which NumPy dispatches to: its getter, called once per
// ufunc call, gives the call a state of its own.  The legacy loops stay, and
// go on deciding how other operand types are cast (the first loop that
// every input casts to safely), as on NumPy 1.x.  False with an exception
// set.
bool add_array_methods(PyObject* ufunc, const UfuncRecord& record) {
    if (!array_method_loops_available()) {
        return true;
    }
    const UfuncLoops& loops = record.loops;
    const int operands = loops.inputs + loops.outputs;
    for (int k = 0; k < loops.count; ++k) {
        if (!add_array_method_loop(ufunc, record.name, loops.types + k * operands, loops.inputs, loops.outputs,
                                   loops.methods[k])) {
            return false;
        }
    }
    return true;
}

// Adds the ufuncs, __all__, __version__ and the full text; false with an
// exception set on failure.
bool populate(PyObject* module) {
    PyObject* all = PyList_New(0);
    if (all == nullptr) {
        return false;
    }
    for (const UfuncRecord& record : ufunc_records()) {
        PyObject* ufunc = new_ufunc(record.loops.loops, record.loops.data, record.loops.types, record.loops.count,
                                    record.loops.inputs, record.loops.outputs, record.name, record.doc);
        if (ufunc == nullptr) {
            Py_DECREF(all);
            return false;
        }
        if (!add_array_methods(ufunc, record)) {
            Py_DECREF(ufunc);
            Py_DECREF(all);
            return false;
        }
        // PyModule_AddObject steals the reference only when it succeeds.
        if (PyModule_AddObject(module, record.name, ufunc) < 0) {
            Py_DECREF(ufunc);
            Py_DECREF(all);
            return false;
        }
        PyObject* name = PyUnicode_FromString(record.name);
        if (name == nullptr || PyList_Append(all, name) < 0) {
            Py_XDECREF(name);
            Py_DECREF(all);
            return false;
        }
        Py_DECREF(name);
    }
    if (PyModule_AddObject(module, "__all__", all) < 0) {
        Py_DECREF(all);
        return false;
    }
    return PyModule_AddStringConstant(module, "__version__", UNDARIX_VERSION) == 0 && add_ufunc_docs(module);
}

// The module, or the failure of its initialisation.
Expected<OwnedRef> make_module() {
    kernels::share_thread_runtime();  // one worker team with undarix
    OwnedRef module = OwnedRef::steal(PyModule_Create(&module_definition));
    if (!module) {
        return fetch_failure();
    }
#if defined(Py_GIL_DISABLED)
    // Every process-wide cell the ufuncs fill is filled for concurrent first
    // use, and a call's state is its own: the module runs without the
    // interpreter lock, and a free-threaded CPython keeps it off.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) {
        return fetch_failure();
    }
#endif
    if (!populate(module.get())) {
        return fetch_failure();
    }
    return module;
}

}  // namespace
}  // namespace undarix::ufuncs

// Through the module's one entry boundary: the full text is built in C++
// strings, whose allocation may fail, and nothing may escape into the
// interpreter's C frames.
extern "C" UNDARIX_EXPORT UNDARIX_FORCED_UNWIND_HANDLER PyObject* PyInit_undarix_ufuncs() {
    // The ufunc objects and NumPy's tables serve the main interpreter only.
    if (std::optional<PyObject*> outcome = undarix::sub_interpreter_import(
            &undarix::ufuncs::module_definition,
            "undarix_ufuncs does not support sub-interpreters: import it in the main interpreter only")) {
        return *outcome;
    }
    if (undarix::numpy::ufunc_api() == nullptr) {
        return nullptr;
    }
    return undarix::guarded_entry([] {
        const undarix::ReportedFunction reported("import undarix_ufuncs");
        return undarix::ufuncs::make_module();
    });
}
