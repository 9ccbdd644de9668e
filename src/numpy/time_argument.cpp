#include "numpy/time_argument.hpp"

#include "frame/internal_failure.hpp"
#include "frame/object_text.hpp"
#include "numpy/numpy_api.hpp"

#include <string>

namespace undarix::numpy {

Expected<PyObject*> extract_time(PyObject* object) {
    if (!is_array(object)) {
        return not_convertible_error(object, "PyArray<T, D>");
    }
    const ArrayObject* fields = as_array(object);
    const std::int64_t nd = fields->nd;
    if (nd != 1) {
        return type_error("dimensionality mismatch:\n from=" + std::to_string(nd) + ", to=1");
    }
    PyObject* descr = fields->descr;
    if (descr == nullptr) {
        unexpected_api_failure();
    }
    PyObject* float64 = float64_descr();
    if (equiv_types(descr, float64)) {
        return object;
    }
    OwnedRef from = OwnedRef::borrow(descr);
    OwnedRef to = OwnedRef::borrow(float64);
    return new_failure(type_error_type, argument_from([from = std::move(from), to = std::move(to)]() {
        std::string message = "type mismatch:\n from=" + descr_text(from.get()) + ", to=" + descr_text(to.get());
        return message_argument(std::move(message))->build();
    }));
}

}  // namespace undarix::numpy
