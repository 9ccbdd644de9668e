#include "kernels/readonly_array_view.hpp"

#include "frame/internal_failure.hpp"
#include "numpy/borrow_registry.hpp"
#include "numpy/numpy_api.hpp"
#include "numpy/numpy_layout.hpp"

namespace undarix::kernels {

ReadonlyArrayView::ReadonlyArrayView(PyObject* array) : array_(array) {
    if (!numpy::acquire_shared_borrow(array)) {
        raise_internal("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
    }
    borrowed_ = true;
    const numpy::ArrayObject* fields = numpy::as_array(array);
    if ((fields->flags & (numpy::kCContiguous | numpy::kFContiguous)) == 0 || fields->data == nullptr) {
        release();
        raise_internal("called `Result::unwrap()` on an `Err` value: NotContiguousError");
    }
    // The other arguments' conversions run Python code (__float__,
    // __index__), which may have reshaped the array or changed its dtype in
    // place since it was checked; reading it as n doubles would then run
    // past its memory.
    if (fields->nd != 1 || !numpy::equiv_types(fields->descr, numpy::float64_descr())) {
        release();
        raise_internal("time array was changed while the other arguments were converted");
    }
    data_ = reinterpret_cast<const unsigned char*>(fields->data);
    size_ = static_cast<std::size_t>(fields->dimensions[0]);
}

void ReadonlyArrayView::release() noexcept {
    if (borrowed_) {
        borrowed_ = false;
        numpy::release_shared_borrow(array_);
    }
}

}  // namespace undarix::kernels
