// The module frame's failure vocabulary: CallFailure (ordinary Python
// exceptions as values), InternalFailure (broken expectations, unwound to the
// entry) and guarded_entry (where both become Python exceptions).
#pragma once

#include "frame/call_failure.hpp"
#include "frame/expected.hpp"
#include "frame/guarded_entry.hpp"
#include "frame/internal_failure.hpp"
#include "frame/owned_ref.hpp"
#include "frame/panic_exception.hpp"
