// BorrowRegistry: the process-wide registry of borrowed array memory that
// extension modules share through a capsule on NumPy's multiarray module
// (numpy._core.multiarray on NumPy 2, numpy.core.multiarray on 1.x).  This
// module finds it (or installs its own) and then uses it only through the
// record's function pointers, whoever installed it.
#pragma once

#include "frame/python.hpp"

namespace undarix::numpy {

// Takes a shared borrow of the array's memory.  False when the registry
// refuses because of an existing exclusive borrow (AlreadyBorrowed); raises
// InternalFailure when the registry cannot be found or installed, or returns
// a code outside the protocol.
bool acquire_shared_borrow(PyObject* array);

// Gives back a shared borrow taken by acquire_shared_borrow.  The registry
// was necessarily found by that call, so this cannot fail.
void release_shared_borrow(PyObject* array) noexcept;

}  // namespace undarix::numpy
