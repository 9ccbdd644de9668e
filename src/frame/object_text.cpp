#include "frame/object_text.hpp"

#include "frame/internal_failure.hpp"

namespace undarix {
namespace {

std::optional<std::string> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string type_name(PyObject* type) {
    OwnedRef qualname = OwnedRef::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
        if (std::optional<std::string> text = utf8_of(qualname.get())) {
            return *text;
        }
    }
    // This runs while an error is being raised: never resume or report here.
    PyErr_Clear();
    return "<failed to extract type name>";
}

}  // namespace

std::optional<std::string> object_text(PyObject* object, TextOf which, TextError on_error) {
    const auto drop_error = [on_error] {
        if (on_error == TextError::take) {
            (void)fetch_failure();
        } else {
            PyErr_Clear();
        }
    };
    OwnedRef text = OwnedRef::steal(which == TextOf::str ? PyObject_Str(object) : PyObject_Repr(object));
    if (!text) {
        drop_error();
        return std::nullopt;
    }
    if (std::optional<std::string> utf8 = utf8_of(text.get())) {
        return utf8;
    }
    drop_error();
    OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!bytes) {
        unexpected_api_failure();
    }
    OwnedRef replaced = OwnedRef::steal(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!replaced) {
        unexpected_api_failure();
    }
    std::optional<std::string> result = utf8_of(replaced.get());
    if (!result) {
        unexpected_api_failure();
    }
    return result;
}

CallFailure not_convertible_error(PyObject* object, const char* target) {
    OwnedRef type = OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    std::string target_text = target;
    return new_failure(type_error_type, argument_from([type = std::move(type), target_text]() {
        std::string message = "'" + type_name(type.get()) + "' object cannot be converted to '" + target_text + "'";
        return message_argument(std::move(message))->build();
    }));
}

}  // namespace undarix
