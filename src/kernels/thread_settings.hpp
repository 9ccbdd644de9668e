// The number of threads a long evaluation may use, as the user configured it.
#pragma once

#include "frame/expected.hpp"

namespace undarix::kernels {

// UNDARIX_NUM_THREADS if it holds a positive integer; otherwise
// OMP_NUM_THREADS (its first level, "4" of "4,2"); otherwise the CPUs this
// process may use.  A variable that is set to anything but a positive
// integer is skipped with a RuntimeWarning, once per process and variable;
// an empty one counts as unset.  Read at every call, with the interpreter
// lock held (the environment may change between calls).  No system call
// but the affinity mask's, and that only when neither variable sets the
// count: a ufunc sweep reads this at each loop call.  Fails only when the
// warning itself raises (warnings turned into errors).
Expected<unsigned> configured_threads();

}  // namespace undarix::kernels
