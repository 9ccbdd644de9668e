#include "frame/panic_exception.hpp"

#include "frame/error_indicator.hpp"
#include "frame/internal_failure.hpp"
#include "frame/panic_pickling.hpp"

#include <atomic>
#include <cstring>

namespace undarix {
namespace {

constexpr const char kPanicName[] = "pyo3_runtime.PanicException";
constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when native code in the undarix extension module\n"
    "fails during a call from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Made at first use.  Without the interpreter lock (undarix_ufuncs on a
// free-threaded build) two threads may make it at once: the first stored is
// the type for good, the other is released.
std::atomic<PyObject*> cached_panic_type{nullptr};

// Both texts are constants; the check keeps the invariant explicit should
// either ever be built at run time.
void require_no_nul(const char* text, std::size_t size, const char* what) {
    const void* nul = std::memchr(text, '\0', size);
    if (nul != nullptr) {
        const auto position = static_cast<const char*>(nul) - text;
        raise_internal(std::string(what) + ": NulError(" + std::to_string(position) + ")");
    }
}

// The pending error of a failed creation step.  Not fetch_failure: that
// compares against this very type.
CallFailure taken_creation_error() {
    PyObject *type, *value, *traceback;
    fetch_error(&type, &value, &traceback);
    return type != nullptr
        ? CallFailure::fetched(OwnedRef::steal(type), OwnedRef::steal(value), OwnedRef::steal(traceback))
        : system_error("attempted to fetch exception but none was set");
}

[[noreturn]] void raise_creation_failure(CallFailure failure) {
    raise_internal("Failed to initialize new exception type.: " + render_failure(failure));
}

}  // namespace

PyObject* panic_exception_type() {
    if (PyObject* cached = cached_panic_type.load(std::memory_order_acquire)) {
        return cached;
    }
    require_no_nul(kPanicName, sizeof kPanicName - 1, "Failed to initialize nul terminated exception name");
    require_no_nul(kPanicDoc, sizeof kPanicDoc - 1, "Failed to initialize nul terminated docstring");
    PyObject* created = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) {
        raise_creation_failure(taken_creation_error());
    }
    if (!add_panic_reduce(created)) {
        CallFailure failure = taken_creation_error();
        release_reference(created);
        raise_creation_failure(std::move(failure));
    }
    // Creating the type ran Python code, which may have filled the cache.
    PyObject* cached = nullptr;
    if (!cached_panic_type.compare_exchange_strong(cached, created, std::memory_order_acq_rel,
                                                   std::memory_order_acquire)) {
        release_reference(created);
        return cached;
    }
    return created;
}

CallFailure failure_to_exception(std::string message) {
    return new_failure(panic_exception_type, panic_argument(std::move(message)));
}

}  // namespace undarix
