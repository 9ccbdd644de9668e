#include "frame/panic_pickling.hpp"

#include "frame/failure_report.hpp"
#include "frame/guarded_entry.hpp"
#include "frame/panic_exception.hpp"

namespace undarix {
namespace {

constexpr const char kReconstructorModule[] = "undarix._panic";
constexpr const char kReconstructorModuleDoc[] =
    "Support for pickling undarix's PanicException: rebuild(*args) makes an instance again.";

// `rebuild`, once it is registered under its importable name; kept for the
// life of the process.  Until then instances reduce as BaseException does.
PyObject* reconstructor = nullptr;

Expected<OwnedRef> rebuild(PyObject* args) {
    OwnedRef instance = OwnedRef::steal(PyObject_Call(panic_exception_type(), args, nullptr));
    if (!instance) {
        return fetch_failure();
    }
    return instance;
}

// BaseException's own reduction, (type(self), self.args[, self.__dict__]),
// with this module's reconstructor in place of the exact PanicException type.
Expected<OwnedRef> reduce(PyObject* self) {
    OwnedRef base_reduce = OwnedRef::steal(PyObject_GetAttrString(PyExc_BaseException, "__reduce__"));
    if (!base_reduce) {
        return fetch_failure();
    }
    OwnedRef reduced = OwnedRef::steal(PyObject_CallFunctionObjArgs(base_reduce.get(), self, nullptr));
    if (!reduced) {
        return fetch_failure();
    }
    if (reconstructor == nullptr || !PyTuple_Check(reduced.get()) || PyTuple_GET_SIZE(reduced.get()) == 0 ||
        PyTuple_GET_ITEM(reduced.get(), 0) != panic_exception_type()) {
        return reduced;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(reduced.get());
    OwnedRef rebuilt = OwnedRef::steal(PyTuple_New(size));
    if (!rebuilt) {
        return fetch_failure();
    }
    Py_INCREF(reconstructor);
    PyTuple_SET_ITEM(rebuilt.get(), 0, reconstructor);
    for (Py_ssize_t i = 1; i < size; ++i) {
        PyObject* item = PyTuple_GET_ITEM(reduced.get(), i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(rebuilt.get(), i, item);
    }
    return rebuilt;
}

extern "C" {

static PyObject* rebuild_entry(PyObject*, PyObject* args) noexcept {
    return guarded_entry([&] {
        const ReportedFunction reported("undarix._panic.rebuild()");
        return rebuild(args);
    });
}

static PyObject* reduce_entry(PyObject* self, PyObject*) noexcept {
    return guarded_entry([&] {
        const ReportedFunction reported("PanicException.__reduce__()");
        return reduce(self);
    });
}

}  // extern "C"

// CPython keeps pointing at both for the life of the objects made from them.
PyMethodDef rebuild_definition = {"rebuild", rebuild_entry, METH_VARARGS,
                                  "rebuild(*args)\n--\n\nA PanicException of undarix with these args."};
PyMethodDef reduce_definition = {"__reduce__", reduce_entry, METH_NOARGS, "Helper for pickle."};

}  // namespace

bool add_panic_reduce(PyObject* type) {
    OwnedRef method = OwnedRef::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &reduce_definition));
    return method && PyObject_SetAttrString(type, "__reduce__", method.get()) == 0;
}

Status register_panic_reconstructor() {
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString(kReconstructorModule));
    if (!name) {
        return fetch_failure();
    }
    if (OwnedRef taken = OwnedRef::steal(PyImport_GetModule(name.get()))) {
        return Status();
    }
    if (PyErr_Occurred() != nullptr) {
        return fetch_failure();
    }
    OwnedRef module = OwnedRef::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return fetch_failure();
    }
    OwnedRef doc = OwnedRef::steal(PyUnicode_FromString(kReconstructorModuleDoc));
    if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) != 0) {
        return fetch_failure();
    }
    OwnedRef function = OwnedRef::steal(PyCFunction_NewEx(&rebuild_definition, module.get(), name.get()));
    if (!function || PyObject_SetAttrString(module.get(), "rebuild", function.get()) != 0) {
        return fetch_failure();
    }
    if (PyObject_SetItem(PyImport_GetModuleDict(), name.get(), module.get()) != 0) {
        return fetch_failure();
    }
    reconstructor = function.release();
    return Status();
}

}  // namespace undarix
