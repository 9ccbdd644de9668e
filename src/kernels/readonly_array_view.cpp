#include "kernels/readonly_array_view.hpp"

#include "frame/internal_failure.hpp"
#include "numpy/borrow_registry.hpp"
#include "numpy/numpy_layout.hpp"

namespace undarix::kernels {

ReadonlyArrayView::ReadonlyArrayView(PyObject* array) : array_(array) {
    if (!numpy::acquire_shared_borrow(array)) {
        raise_internal("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
    }
    const numpy::ArrayObject* fields = numpy::as_array(array);
    if ((fields->flags & (numpy::kCContiguous | numpy::kFContiguous)) == 0 || fields->data == nullptr) {
        numpy::release_shared_borrow(array);
        raise_internal("called `Result::unwrap()` on an `Err` value: NotContiguousError");
    }
    data_ = reinterpret_cast<const unsigned char*>(fields->data);
    std::size_t count = 1;
    for (int axis = 0; axis < fields->nd; ++axis) {
        count *= static_cast<std::size_t>(fields->dimensions[axis]);
    }
    size_ = count;
}

ReadonlyArrayView::~ReadonlyArrayView() { numpy::release_shared_borrow(array_); }

}  // namespace undarix::kernels
