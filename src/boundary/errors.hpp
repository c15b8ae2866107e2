// Raising errors at the edge of a call.
#pragma once

#include <string_view>

#include "boundary/python.hpp"

namespace halvex::py {

// Sets `type` with a str made from UTF-8 text that may hold NUL bytes.
void set_error(PyObject* type, std::string_view utf8);

// Makes sure an exception is pending after an interpreter call reported
// failure: if none was set, raises SystemError.
void ensure_error_set();

// The PanicException type, created on first use; nullptr with an error set
// if it cannot be made.
PyObject* panic_exception_type();

// Writes the fault's text to standard error and raises PanicException(text).
void raise_panic(std::string_view message);

// A result object could not be made: prints the pending error and raises
// PanicException("Python API call failed").
void raise_result_failure();

// The __qualname__ of an object's type as a new str, or
// "<failed to extract type name>".
PyObject* type_qualname(PyObject* obj);

}  // namespace halvex::py
