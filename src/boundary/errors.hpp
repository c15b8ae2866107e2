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

// Makes the PanicException type and the result failure's text, once per
// process, before any call can need them. False with an error set if they
// cannot be made.
bool init_errors();

// Writes the fault's text to standard error and raises PanicException(text).
void raise_panic(std::string_view message);

// Clears the pending error when it is an ordinary failure that an argument
// error's text may stand in for (an Exception other than MemoryError) and
// returns true. Anything else (MemoryError, KeyboardInterrupt, SystemExit...)
// stays pending, to reach the caller unchanged, and the result is false.
bool clear_if_ordinary();

// Writes the pending error's type name and str() to sys.stderr and clears it.
// Unlike PyErr_Print it neither calls sys.excepthook nor sets sys.last_*: the
// caller is about to raise an exception of its own that the program handles.
void write_pending_error();

// A result object could not be made: writes the pending error and raises
// PanicException("Python API call failed"), which needs no allocation.
void raise_result_failure();

// The __qualname__ of an object's type as a new str, or
// "<failed to extract type name>" when the attribute is missing, is not a str
// or fails in an ordinary way; nullptr with the error pending otherwise.
PyObject* type_qualname(PyObject* obj);

}  // namespace halvex::py
