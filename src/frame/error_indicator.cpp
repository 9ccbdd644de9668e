#include "frame/error_indicator.hpp"

namespace undarix {

#if PY_VERSION_HEX < 0x030C0000

void fetch_error(PyObject** type, PyObject** value, PyObject** traceback) noexcept {
    PyErr_Fetch(type, value, traceback);
}

void restore_error(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
    PyErr_Restore(type, value, traceback);
}

void normalize_error(PyObject** type, PyObject** value, PyObject** traceback) noexcept {
    PyErr_NormalizeException(type, value, traceback);
}

#else

namespace {

// The instance the interpreter makes of an unnormalised pair: type(),
// type(*value) for a tuple, type(value) otherwise; a constructor that returns
// something else is a TypeError.
PyObject* create_exception(PyObject* type, PyObject* value) noexcept {
    PyObject* created = nullptr;
    if (value == nullptr || value == Py_None) {
        created = PyObject_CallNoArgs(type);
    } else if (PyTuple_Check(value)) {
        created = PyObject_Call(type, value, nullptr);
    } else {
        created = PyObject_CallOneArg(type, value);
    }
    if (created != nullptr && !PyExceptionInstance_Check(created)) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
                     Py_TYPE(created)->tp_name);
        Py_CLEAR(created);
    }
    return created;
}

void split(PyObject* exception, PyObject** type, PyObject** value, PyObject** traceback) noexcept {
    *value = exception;
    if (exception == nullptr) {
        *type = nullptr;
        *traceback = nullptr;
        return;
    }
    *type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    *traceback = PyException_GetTraceback(exception);
}

}  // namespace

void fetch_error(PyObject** type, PyObject** value, PyObject** traceback) noexcept {
    split(PyErr_GetRaisedException(), type, value, traceback);
}

void restore_error(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        PyErr_SetRaisedException(nullptr);
        return;
    }
    if (value == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(value)) != type) {
        PyObject* created = create_exception(type, value);
        Py_XDECREF(value);
        if (created == nullptr) {
            // The constructor's own exception is now pending instead.
            Py_DECREF(type);
            Py_XDECREF(traceback);
            return;
        }
        value = created;
    }
    if (traceback != nullptr && PyException_SetTraceback(value, traceback) != 0) {
        // Not a traceback object: the error just raised replaces the exception.
        Py_DECREF(value);
        Py_DECREF(type);
        Py_DECREF(traceback);
        return;
    }
    Py_XDECREF(traceback);
    Py_DECREF(type);
    PyErr_SetRaisedException(value);
}

void normalize_error(PyObject** type, PyObject** value, PyObject** traceback) noexcept {
    if (*type == nullptr || !PyExceptionClass_Check(*type)) {
        return;
    }
    int is_instance = 0;
    if (*value != nullptr && PyExceptionInstance_Check(*value)) {
        is_instance = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(*value)), *type);
    }
    if (is_instance > 0) {
        if (reinterpret_cast<PyObject*>(Py_TYPE(*value)) != *type) {
            Py_SETREF(*type, Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(*value))));
        }
        return;
    }
    PyObject* created = is_instance == 0 ? create_exception(*type, *value) : nullptr;
    if (created != nullptr) {
        Py_XSETREF(*value, created);
        return;
    }
    // The exception raised while normalising takes the place of the original
    // one, keeping the original traceback when it brings none of its own.
    Py_DECREF(*type);
    Py_XDECREF(*value);
    PyObject* initial_traceback = *traceback;
    split(PyErr_GetRaisedException(), type, value, traceback);
    if (*traceback == nullptr) {
        *traceback = initial_traceback;
    } else {
        Py_XDECREF(initial_traceback);
    }
}

#endif

}  // namespace undarix
