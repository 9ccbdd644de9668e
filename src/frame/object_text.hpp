// How Python objects appear inside the module's error messages.
#pragma once

#include "frame/call_failure.hpp"

#include <optional>
#include <string>

namespace undarix {

// str(object) as UTF-8; lone surrogates show as U+FFFD per invalid byte, as
// Python's "replace" decoding shows them.  Empty when str() itself raised:
// that error has been taken and dropped, and the caller decides what follows.
std::optional<std::string> object_text(PyObject* object);

// TypeError "'{qualname}' object cannot be converted to '{target}'", built
// lazily; holds a reference to the object's type until then.
CallFailure not_convertible_error(PyObject* object, const char* target);

}  // namespace undarix
