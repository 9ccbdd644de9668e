// CallFailure: an ordinary Python exception travelling as a value from the
// step that met it up to the entry, which sets it as the interpreter's error.
#pragma once

#include "frame/argument_builder.hpp"
#include "frame/owned_ref.hpp"

#include <optional>
#include <string>

namespace undarix {

// Returns a borrowed type object; may raise InternalFailure.
using TypeProvider = PyObject* (*)();

PyObject* system_error_type();
PyObject* type_error_type();
PyObject* value_error_type();
PyObject* import_error_type();

class CallFailure {
public:
    enum class Form { lazy, lazy_with_type, fetched, normalized, normalizing };

    static CallFailure lazy(TypeProvider provider, ArgumentBuilderPtr builder);
    static CallFailure lazy_with_type(OwnedRef type, ArgumentBuilderPtr builder);
    // type must be non-null; value and traceback may be null.
    static CallFailure fetched(OwnedRef type, OwnedRef value, OwnedRef traceback);
    static CallFailure normalized(OwnedRef type, OwnedRef value, OwnedRef traceback);

    CallFailure(CallFailure&&) noexcept = default;
    CallFailure& operator=(CallFailure&&) noexcept = default;
    CallFailure(const CallFailure&) = delete;
    CallFailure& operator=(const CallFailure&) = delete;
    ~CallFailure() = default;  // members release their references

    Form form() const noexcept { return form_; }

private:
    CallFailure() = default;

    friend void restore_failure(CallFailure&& failure);
    friend PyObject* normalize_failure(CallFailure& failure);
    friend bool failure_matches(CallFailure& failure, PyObject* type);
    friend PyObject* failure_type(CallFailure& failure);
    friend PyObject* failure_traceback(CallFailure& failure);

    Form form_ = Form::lazy;
    TypeProvider provider_ = nullptr;
    ArgumentBuilderPtr builder_;
    OwnedRef type_;
    OwnedRef value_;
    OwnedRef traceback_;
};

// A lazy failure; the shorthands below cover the module's own errors.
CallFailure new_failure(TypeProvider provider, ArgumentBuilderPtr builder);
CallFailure system_error(std::string message);
CallFailure type_error(std::string message);
CallFailure value_error(std::string message);
CallFailure import_error(std::string message);

// Takes the pending Python error, if any.  A pending PanicException of this
// module is not returned: it is printed and resumed as an InternalFailure.
std::optional<CallFailure> take_failure();

// As take_failure, but a missing error becomes SystemError "attempted to
// fetch exception but none was set", so a caller always gets a failure.
CallFailure fetch_failure();

// Consumes the failure and sets the interpreter's error indicator.
void restore_failure(CallFailure&& failure);

// Converts the failure in place to its normalised form; returns the
// exception instance, borrowed from the failure.
PyObject* normalize_failure(CallFailure& failure);

// Borrowed from the failure (normalising a lazy one first).
PyObject* failure_type(CallFailure& failure);
PyObject* failure_traceback(CallFailure& failure);

bool failure_matches(CallFailure& failure, PyObject* type);

// "PyErr { type: T, value: V, traceback: B }" with repr() of each part, as
// used after the fixed text of an InternalFailure message that wraps an error.
std::string render_failure(CallFailure& failure);

}  // namespace undarix
