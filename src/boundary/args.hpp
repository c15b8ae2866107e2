// Argument binding and conversion for every entry point.
#pragma once

#include <cstddef>
#include <string>

#include "boundary/python.hpp"

namespace halvex::py {

// A callable's parameter list: all required, by position or by keyword.
struct Signature {
  const char* qualname;  // e.g. "CoordinationState.claim_file()"
  const char* const* params;
  std::size_t count;
};

// Binds positional and keyword arguments to `slots` (borrowed references,
// sig.count of them). Returns false with TypeError set on a binding error,
// or with whatever else reading a keyword raised (MemoryError, an exception
// from a keyword's __str__ that is not an ordinary Exception) left unchanged.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Copies a str (or str subclass, by its stored characters) into owned UTF-8.
// Returns false with the error set: TypeError "argument '<param>': ..." for a
// non-str, the interpreter's UnicodeEncodeError for a lone surrogate.
bool to_owned_utf8(PyObject* arg, const char* param, std::string& out);

}  // namespace halvex::py
