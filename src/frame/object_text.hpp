// How Python objects appear inside the module's error messages.
#pragma once

#include "frame/call_failure.hpp"

#include <optional>
#include <string>

namespace undarix {

// Which of an object's texts: str(object), or repr(object).
enum class TextOf { str, repr };

// What becomes of an exception raised by str() or repr() itself: taken and
// dropped like any failure (a PanicException of the module then resumes as
// an InternalFailure), or cleared, for texts made while an error is being
// rendered, which must not raise in turn.
enum class TextError { take, clear };

// The module's one way from an object to UTF-8 text: str(object) (or
// repr(object)) as UTF-8, lone surrogates showing as U+FFFD per invalid byte,
// as Python's "replace" decoding shows them.  Empty when str() or repr()
// itself raised; the caller decides what follows.
std::optional<std::string> object_text(PyObject* object, TextOf which = TextOf::str,
                                       TextError on_error = TextError::take);

// TypeError "'{qualname}' object cannot be converted to '{target}'", built
// lazily; holds a reference to the object's type until then.
CallFailure not_convertible_error(PyObject* object, const char* target);

}  // namespace undarix
