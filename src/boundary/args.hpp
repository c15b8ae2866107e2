// Argument binding and conversion for every entry point.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "boundary/python.hpp"

namespace halvex::py {

// A callable's parameter list: all required, by position or by keyword.
struct ParamList {
  const char* qualname;  // e.g. "CoordinationState.claim_file()"
  const char* const* params;
  std::size_t count;
};

// A parameter list written once: the compiler counts the parameters, so an
// array of N bound arguments always matches it.
template <std::size_t N>
struct Signature {
  const char* qualname;
  std::array<const char*, N> params;
  operator ParamList() const noexcept { return {qualname, params.data(), N}; }
};
template <class... P>
Signature(const char*, P...) -> Signature<sizeof...(P)>;

// Binds positional and keyword arguments to `slots` (borrowed references,
// sig.count of them). Returns false with TypeError set on a binding error,
// or with whatever else reading a keyword raised (MemoryError, an exception
// from a keyword's __str__ that is not an ordinary Exception) left unchanged.
bool bind_arguments(const ParamList& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Copies a str (or str subclass, by its stored characters) into owned UTF-8.
// Returns false with the error set: TypeError "argument '<param>': ..." for a
// non-str, the interpreter's UnicodeEncodeError for a lone surrogate.
bool to_owned_utf8(PyObject* arg, const char* param, std::string& out);

}  // namespace halvex::py
