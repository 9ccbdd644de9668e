// How PanicException instances survive pickling.  The type's own module,
// "pyo3_runtime", cannot be imported, so pickle cannot find the type by name;
// instead the type's __reduce__ names a reconstructor, `rebuild` of the
// module "undarix._panic", which this module registers in sys.modules when it
// is imported.  An instance pickled in one process (a worker of a process
// pool, of dask) is therefore rebuilt, message and args intact, as this
// module's PanicException in any process that has imported undarix (and
// importing "undarix._panic" imports undarix first).  Subclasses, and other
// modules' panic types, are pickled exactly as before.
#pragma once

#include "frame/expected.hpp"

namespace undarix {

// Gives a newly created PanicException type its __reduce__.  False with a
// Python error pending when that fails (not a CallFailure: taking one
// compares against the type that is still being made).
bool add_panic_reduce(PyObject* type);

// Registers "undarix._panic" in sys.modules, unless something else already
// holds that name (then instances pickle as they would without it).
Status register_panic_reconstructor();

}  // namespace undarix
