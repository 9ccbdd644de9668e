// Binding of fast-call arguments (vector, positional count, keyword names) to
// the parameters an ArgumentSpec declares.
#pragma once

#include "frame/argument_spec.hpp"
#include "frame/expected.hpp"

namespace undarix {

// Fills `slots` (spec.slot_count() entries, all null on entry) with borrowed
// references to the bound arguments, or fails with the TypeError that
// describes the first fault.  Looks at counts and keyword names only.
Status bind_arguments(const ArgumentSpec& spec, PyObject* const* args, std::size_t nargs,
                      PyObject* kwnames, PyObject** slots);

}  // namespace undarix
