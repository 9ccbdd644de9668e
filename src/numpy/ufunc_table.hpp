// NumPy's ufunc C-API table, reached at run time through the `_UFUNC_API`
// capsule of NumPy's compiled core module and cached for the process.
#pragma once

#include "frame/python.hpp"

namespace undarix::numpy {

// The table, loading it on first use.  It is taken only from the NumPy whose
// multiarray table numpy_api() accepts (a C ABI version the module knows),
// from that table's own compiled module: numpy._core._multiarray_umath for
// C ABI 2, numpy.core._multiarray_umath for C ABI 1, whose `_ARRAY_API` must
// be that very table.  Null with ImportError set, saying why, when there is
// no such table; the cell then stays empty for a retry.  Never raises.
void* const* ufunc_api() noexcept;

}  // namespace undarix::numpy
