#include "frame/argument_conversion.hpp"

#include "frame/internal_failure.hpp"
#include "frame/object_text.hpp"

#include <limits>
#include <string>

namespace undarix {

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
