// Module root: the module definition, the once-per-process initialisation and
// the registration of its functions, one per waveform of the table.
#include "compiler_support.hpp"
#include "frame/boundary.hpp"
#include "frame/call_scope.hpp"
#include "frame/failure_report.hpp"
#include "frame/importing_interpreter.hpp"
#include "function_entries.hpp"
#include "kernels/shared_team.hpp"
#include "maths/waveform_table.hpp"
#include "method_texts.hpp"
#include "frame/object_text.hpp"
#include "frame/panic_pickling.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace undarix {
namespace {

using FastCallEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct MethodRecord {
    FastCallEntry entry;
    std::string_view name;  // includes the terminating NUL
    std::string_view doc;   // includes the terminating NUL
    int flags;
};

constexpr int kFastCallKeywords = METH_FASTCALL | METH_KEYWORDS;
static_assert(kFastCallKeywords == 0x82);

// The docs hold only the text-signature block, so __doc__ is None and
// __text_signature__ is the parameter list.
template <class W>
constexpr MethodRecord method_record() {
    const std::string_view name = W::description.name;
    return {function_entry<W>, std::string_view(name.data(), name.size() + 1),
            TextSignature<W>::kText.with_nul(), kFastCallKeywords};
}

template <class... W>
constexpr std::array<MethodRecord, sizeof...(W)> method_records(maths::WaveformList<W...>) {
    return {method_record<W>()...};
}

// One function per waveform of the strict module's list, in its order.
constexpr auto kMethodRecords = method_records(maths::StrictWaveforms{});

Status populate_module(PyObject* module);

struct ModuleDefinition {
    PyModuleDef definition;
    Status (*populate)(PyObject* module);
};

// CPython keeps a pointer to the definition for the life of the process.
ModuleDefinition module_definition = {
    {PyModuleDef_HEAD_INIT, "undarix", "Python module definition", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    populate_module,
};

std::atomic<bool> module_initialized{false};

constexpr const char* kOnceOnly = "PyO3 modules may only be initialized once per interpreter process";

// The heap PyMethodDef made for each method record, at the record's
// position.  CPython keeps pointing at them for as long as the function
// objects live, that is until the process ends, so they are never freed; this
// table keeps them visibly reachable (to a leak checker as to a reader).
// Only the one initialisation per process that runs the body fills it.
UNDARIX_KEEP PyMethodDef* method_definitions[kMethodRecords.size()] = {};

// Process-lifetime interned attribute names, made on first use.
PyObject* interned(PyObject*& cache, std::string_view text) {
    if (cache == nullptr) {
        PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (name == nullptr) {
            unexpected_api_failure();
        }
        PyUnicode_InternInPlace(&name);
        cache = name;
    }
    return cache;
}

PyObject* name_attribute() {
    static PyObject* cache = nullptr;
    return interned(cache, "__name__");
}

PyObject* all_attribute() {
    static PyObject* cache = nullptr;
    return interned(cache, "__all__");
}

// A C string for a method name or doc: used in place when it already ends in
// its only NUL, otherwise copied (for good) with a NUL appended.
Expected<const char*> c_string(std::string_view text, const char* nul_message) {
    if (text.empty()) {
        return "";
    }
    const std::size_t nul = text.find('\0');
    if (nul == text.size() - 1) {
        return text.data();
    }
    if (nul != std::string_view::npos) {
        return value_error(nul_message);
    }
    auto* copy = new std::string(text);  // lives as long as the function
    return copy->c_str();
}

// The module's __all__ list (borrowed), created empty when missing.
Expected<PyObject*> module_index(PyObject* module) {
    OwnedRef index = OwnedRef::steal(PyObject_GetAttr(module, all_attribute()));
    if (index) {
        if (!PyList_Check(index.get())) {
            return not_convertible_error(index.get(), "PyList");
        }
        return hold_in_scope(std::move(index));
    }
    CallFailure failure = fetch_failure();
    if (!failure_matches(failure, PyExc_AttributeError)) {
        return failure;
    }
    PyObject* list = PyList_New(0);
    if (list == nullptr) {
        unexpected_api_failure();
    }
    hold_in_scope(OwnedRef::steal(list));
    if (PyObject_SetAttr(module, all_attribute(), list) != 0) {
        return fetch_failure();
    }
    return list;
}

// A new built-in function bound to the module (borrowed: the scope holds it).
Expected<PyObject*> make_function(const MethodRecord& record, PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) {
        return fetch_failure();
    }
    OwnedRef name_object = OwnedRef::steal(PyUnicode_FromStringAndSize(module_name, static_cast<Py_ssize_t>(std::strlen(module_name))));
    if (!name_object) {
        CallFailure failure = fetch_failure();
        raise_internal("PyModule_GetName expected to return utf8: " + render_failure(failure));
    }
    PyObject* module_name_text = hold_in_scope(std::move(name_object));

    Expected<const char*> name = c_string(record.name, "Function name cannot contain NUL byte.");
    if (!name) {
        return name.take_failure();
    }
    Expected<const char*> doc = c_string(record.doc, "Document cannot contain NUL byte.");
    if (!doc) {
        return doc.take_failure();
    }
    auto* definition = new PyMethodDef{name.value(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record.entry)),
                                       record.flags, doc.value()};
    method_definitions[&record - kMethodRecords.data()] = definition;
    PyObject* function = PyCFunction_NewEx(definition, module, module_name_text);
    if (function == nullptr) {
        return fetch_failure();
    }
    return hold_in_scope(OwnedRef::steal(function));
}

Status add_function(PyObject* module, PyObject* function) {
    OwnedRef name_object = OwnedRef::steal(PyObject_GetAttr(function, name_attribute()));
    if (!name_object) {
        return fetch_failure();
    }
    PyObject* name = hold_in_scope(std::move(name_object));
    if (!PyUnicode_Check(name)) {
        return not_convertible_error(name, "PyString");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        return fetch_failure();
    }
    Expected<PyObject*> index = module_index(module);
    if (!index) {
        return index.take_failure();
    }
    OwnedRef entry = OwnedRef::steal(PyUnicode_FromStringAndSize(text, size));
    if (!entry) {
        unexpected_api_failure();
    }
    if (PyList_Append(index.value(), entry.get()) != 0) {
        CallFailure failure = fetch_failure();
        raise_internal("could not append __name__ to __all__: " + render_failure(failure));
    }
    if (PyObject_SetAttr(module, name, function) != 0) {
        return fetch_failure();
    }
    return Status();
}

Status populate_module(PyObject* module) {
    for (const MethodRecord& record : kMethodRecords) {
        Expected<PyObject*> function = make_function(record, module);
        if (!function) {
            return function.take_failure();
        }
        if (Status added = add_function(module, function.value()); !added) {
            return added;
        }
    }
    return Status();
}

Expected<OwnedRef> make_module() {
    // The process-wide caches (types, NumPy's table, the borrow registry)
    // hold objects of the interpreter that fills them, so only the main
    // interpreter may: a sub-interpreter is refused without using up the
    // one initialisation, which stays the main interpreter's to take.
    const char* refusal = module_initialized.load(std::memory_order_seq_cst)
                              ? kOnceOnly
                              : "undarix does not support sub-interpreters: import it in the main interpreter only";
    if (std::optional<PyObject*> outcome = sub_interpreter_import(&module_definition.definition, refusal)) {
        if (*outcome == nullptr) {
            return fetch_failure();
        }
        return OwnedRef::steal(*outcome);
    }
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition.definition, PYTHON_API_VERSION));
    if (!module) {
        return fetch_failure();
    }
    if (module_initialized.exchange(true, std::memory_order_seq_cst)) {
        return import_error(kOnceOnly);
    }
#if defined(Py_GIL_DISABLED)
    // The borrow registry shared with other extension modules has the
    // interpreter lock as its only lock, and so do the module's caches and
    // call scopes: on a free-threaded build the module says it needs the
    // lock, and CPython enables it for the process (with its RuntimeWarning)
    // once the import is done.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) {
        return fetch_failure();
    }
#endif
    kernels::share_thread_runtime();  // one worker team with undarix_ufuncs
    if (Status populated = module_definition.populate(module.get()); !populated) {
        return populated.take_failure();
    }
    if (Status registered = register_panic_reconstructor(); !registered) {
        return registered.take_failure();
    }
    return module;
}

}  // namespace
}  // namespace undarix

// Older CPython headers do not mark PyMODINIT_FUNC visible, and everything
// else in the library is hidden.
extern "C" UNDARIX_EXPORT UNDARIX_FORCED_UNWIND_HANDLER PyObject* PyInit_undarix(void) {
    return undarix::guarded_entry([] {
        const undarix::ReportedFunction reported("import undarix");
        return undarix::make_module();
    });
}
