#include "frame/argument_conversion.hpp"

#include "frame/internal_failure.hpp"
#include "frame/object_text.hpp"
#include "numpy/numpy_api.hpp"

#include <limits>
#include <string>

namespace undarix {

Expected<PyObject*> extract_time(PyObject* object) {
    if (!numpy::is_array(object)) {
        return not_convertible_error(object, "PyArray<T, D>");
    }
    const numpy::ArrayObject* fields = numpy::as_array(object);
    const std::int64_t nd = fields->nd;
    if (nd != 1) {
        return type_error("dimensionality mismatch:\n from=" + std::to_string(nd) + ", to=1");
    }
    PyObject* descr = fields->descr;
    if (descr == nullptr) {
        unexpected_api_failure();
    }
    PyObject* float64 = numpy::float64_descr();
    if (numpy::equiv_types(descr, float64)) {
        return object;
    }
    OwnedRef from = OwnedRef::borrow(descr);
    OwnedRef to = OwnedRef::borrow(float64);
    return new_failure(type_error_type, argument_from([from = std::move(from), to = std::move(to)]() {
        std::string message =
            "type mismatch:\n from=" + numpy::descr_text(from.get()) + ", to=" + numpy::descr_text(to.get());
        return message_argument(std::move(message))->build();
    }));
}

Expected<double> extract_double(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        if (std::optional<CallFailure> failure = take_failure()) {
            return std::move(*failure);
        }
    }
    return value;
}

Expected<std::uint64_t> extract_unsigned(PyObject* object) {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
    if (!index) {
        return fetch_failure();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == std::numeric_limits<unsigned long long>::max()) {
        if (std::optional<CallFailure> failure = take_failure()) {
            return std::move(*failure);
        }
    }
    return static_cast<std::uint64_t>(value);
}

CallFailure qualify_argument_error(std::string_view name, CallFailure failure) {
    PyObject* instance = normalize_failure(failure);
    if (failure_type(failure) != PyExc_TypeError) {
        return failure;
    }
    std::optional<std::string> text = object_text(instance);
    if (!text) {
        raise_internal("a formatting trait implementation returned an error when the underlying stream did not: Error");
    }
    CallFailure qualified = type_error("argument '" + std::string(name) + "': " + *text);
    PyObject* qualified_instance = normalize_failure(qualified);
    // Steals the reference PyException_GetCause returned (or sets no cause).
    PyException_SetCause(qualified_instance, PyException_GetCause(instance));
    return qualified;
}

}  // namespace undarix
