#include "frame/call_failure.hpp"

#include "frame/error_indicator.hpp"
#include "frame/internal_failure.hpp"
#include "frame/object_text.hpp"
#include "frame/panic_exception.hpp"

#include <cstdio>

namespace undarix {
namespace {

PyObject* builtin_type(PyObject* type) {
    if (type == nullptr) {
        unexpected_api_failure();
    }
    return type;
}

bool is_exception_class(PyObject* type) {
    return type != nullptr && PyExceptionClass_Check(type);
}

constexpr const char kNotAnException[] = "exceptions must derive from BaseException";

CallFailure not_an_exception_failure() {
    return CallFailure::lazy_with_type(OwnedRef::borrow(type_error_type()), message_argument(kNotAnException));
}

// repr() of an object as UTF-8 text; a failing repr() is shown by a marker
// rather than abandoning the message it is part of.
std::string repr_text(PyObject* object) {
    return object_text(object, TextOf::repr, TextError::clear).value_or("<unrepresentable object>");
}

class MessageArgument final : public ArgumentBuilder {
public:
    explicit MessageArgument(std::string message) : message_(std::move(message)) {}
    OwnedRef build() override {
        OwnedRef text = OwnedRef::steal(
            PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
        if (!text) {
            unexpected_api_failure();
        }
        return text;
    }

private:
    std::string message_;
};

class PanicArgument final : public ArgumentBuilder {
public:
    explicit PanicArgument(std::string message) : message_(std::move(message)) {}
    OwnedRef build() override {
        OwnedRef text = MessageArgument(std::move(message_)).build();
        OwnedRef tuple = OwnedRef::steal(PyTuple_New(1));
        if (!tuple) {
            unexpected_api_failure();
        }
        if (PyTuple_SetItem(tuple.get(), 0, text.release()) != 0) {
            unexpected_api_failure();
        }
        return tuple;
    }

private:
    std::string message_;
};

}  // namespace

ArgumentBuilderPtr message_argument(std::string message) {
    return std::make_unique<MessageArgument>(std::move(message));
}

ArgumentBuilderPtr panic_argument(std::string message) {
    return std::make_unique<PanicArgument>(std::move(message));
}

PyObject* system_error_type() { return builtin_type(PyExc_SystemError); }
PyObject* type_error_type() { return builtin_type(PyExc_TypeError); }
PyObject* value_error_type() { return builtin_type(PyExc_ValueError); }
PyObject* import_error_type() { return builtin_type(PyExc_ImportError); }

CallFailure CallFailure::lazy(TypeProvider provider, ArgumentBuilderPtr builder) {
    CallFailure failure;
    failure.form_ = Form::lazy;
    failure.provider_ = provider;
    failure.builder_ = std::move(builder);
    return failure;
}

CallFailure CallFailure::lazy_with_type(OwnedRef type, ArgumentBuilderPtr builder) {
    CallFailure failure;
    failure.form_ = Form::lazy_with_type;
    failure.type_ = std::move(type);
    failure.builder_ = std::move(builder);
    return failure;
}

CallFailure CallFailure::fetched(OwnedRef type, OwnedRef value, OwnedRef traceback) {
    CallFailure failure;
    failure.form_ = Form::fetched;
    failure.type_ = std::move(type);
    failure.value_ = std::move(value);
    failure.traceback_ = std::move(traceback);
    return failure;
}

CallFailure CallFailure::normalized(OwnedRef type, OwnedRef value, OwnedRef traceback) {
    CallFailure failure = fetched(std::move(type), std::move(value), std::move(traceback));
    failure.form_ = Form::normalized;
    return failure;
}

CallFailure new_failure(TypeProvider provider, ArgumentBuilderPtr builder) {
    return CallFailure::lazy(provider, std::move(builder));
}

CallFailure system_error(std::string message) {
    return new_failure(system_error_type, message_argument(std::move(message)));
}
CallFailure type_error(std::string message) {
    return new_failure(type_error_type, message_argument(std::move(message)));
}
CallFailure value_error(std::string message) {
    return new_failure(value_error_type, message_argument(std::move(message)));
}
CallFailure import_error(std::string message) {
    return new_failure(import_error_type, message_argument(std::move(message)));
}

std::optional<CallFailure> take_failure() {
    PyObject *raw_type, *raw_value, *raw_traceback;
    fetch_error(&raw_type, &raw_value, &raw_traceback);
    OwnedRef type = OwnedRef::steal(raw_type);
    OwnedRef value = OwnedRef::steal(raw_value);
    OwnedRef traceback = OwnedRef::steal(raw_traceback);
    if (!type) {
        return std::nullopt;
    }
    if (type.get() != panic_exception_type()) {
        return CallFailure::fetched(std::move(type), std::move(value), std::move(traceback));
    }

    // A PanicException raised by this module further down the stack came back
    // through Python code: carry on with the same failure.
    std::string message = "Unwrapped panic from Python code";
    if (value && PyUnicode_Check(value.get())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
        if (text != nullptr) {
            message.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    }
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    restore_error(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    throw InternalFailure(std::move(message));
}

CallFailure fetch_failure() {
    std::optional<CallFailure> failure = take_failure();
    if (failure) {
        return std::move(*failure);
    }
    return system_error("attempted to fetch exception but none was set");
}

void restore_failure(CallFailure&& failure) {
    CallFailure consumed = std::move(failure);
    switch (consumed.form_) {
    case CallFailure::Form::lazy: {
        PyObject* type = consumed.provider_();
        if (!is_exception_class(type)) {
            restore_failure(not_an_exception_failure());
            return;
        }
        OwnedRef argument = consumed.builder_->build();
        Py_INCREF(type);
        restore_error(type, argument.release(), nullptr);
        return;
    }
    case CallFailure::Form::lazy_with_type: {
        OwnedRef argument = consumed.builder_->build();
        restore_error(consumed.type_.release(), argument.release(), nullptr);
        return;
    }
    case CallFailure::Form::fetched:
    case CallFailure::Form::normalized:
        restore_error(consumed.type_.release(), consumed.value_.release(), consumed.traceback_.release());
        return;
    case CallFailure::Form::normalizing:
        break;
    }
    raise_internal("Cannot access exception type while normalizing");
}

PyObject* normalize_failure(CallFailure& failure) {
    using Form = CallFailure::Form;
    if (failure.form_ == Form::normalized) {
        return failure.value_.get();
    }
    if (failure.form_ == Form::normalizing) {
        raise_internal("Cannot normalize a PyErr while already normalizing it.");
    }
    CallFailure pending = std::move(failure);
    failure.form_ = Form::normalizing;

    if (pending.form_ == Form::lazy && !is_exception_class(pending.provider_())) {
        pending = not_an_exception_failure();
    }
    // Owned until handed to normalize_error: a builder may raise
    // InternalFailure, and the type reference must not leak then.
    OwnedRef pending_type;
    OwnedRef pending_value;
    OwnedRef pending_traceback;
    switch (pending.form_) {
    case Form::lazy:
        pending_type = OwnedRef::borrow(pending.provider_());
        pending_value = pending.builder_->build();
        break;
    case Form::lazy_with_type:
        pending_type = std::move(pending.type_);
        pending_value = pending.builder_->build();
        break;
    default:
        pending_type = std::move(pending.type_);
        pending_value = std::move(pending.value_);
        pending_traceback = std::move(pending.traceback_);
        break;
    }
    PyObject* type = pending_type.release();
    PyObject* value = pending_value.release();
    PyObject* traceback = pending_traceback.release();
    normalize_error(&type, &value, &traceback);
    OwnedRef owned_type = OwnedRef::steal(type);
    OwnedRef owned_value = OwnedRef::steal(value);
    OwnedRef owned_traceback = OwnedRef::steal(traceback);
    if (!owned_type) {
        raise_internal("Exception type missing");
    }
    if (!owned_value) {
        raise_internal("Exception value missing");
    }
    failure = CallFailure::normalized(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
    return failure.value_.get();
}

PyObject* failure_type(CallFailure& failure) {
    switch (failure.form_) {
    case CallFailure::Form::normalizing:
        raise_internal("Cannot access exception type while normalizing");
    case CallFailure::Form::lazy:
        normalize_failure(failure);
        break;
    default:
        break;
    }
    return failure.type_.get();
}

PyObject* failure_traceback(CallFailure& failure) {
    normalize_failure(failure);
    return failure.traceback_.get();
}

bool failure_matches(CallFailure& failure, PyObject* type) {
    return PyErr_GivenExceptionMatches(failure_type(failure), type) != 0;
}

std::string render_failure(CallFailure& failure) {
    PyObject* value = normalize_failure(failure);
    PyObject* traceback = failure_traceback(failure);
    std::string text = "PyErr { type: " + repr_text(failure_type(failure));
    text += ", value: " + repr_text(value);
    text += ", traceback: ";
    text += traceback != nullptr ? "Some(" + repr_text(traceback) + ")" : std::string("None");
    text += " }";
    return text;
}

}  // namespace undarix
