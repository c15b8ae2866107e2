#include "boundary/errors.hpp"

namespace halvex::py {
namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when the native code of halvex_core stops on an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Made at module init and never released, so that raising the result
// failure needs no allocation: under memory exhaustion a call that took
// effect must not surface as MemoryError, whose meaning is "nothing changed".
PyObject* g_panic_type = nullptr;
PyObject* g_result_failure_text = nullptr;
// PanicException(text) itself, raised only when making a fresh instance
// fails (from 3.12 the interpreter makes it at once), the way the
// interpreter keeps MemoryError instances for the same moment.
PyObject* g_result_failure_spare = nullptr;
constexpr const char kResultFailure[] = "Python API call failed";

}  // namespace

void set_error(PyObject* type, std::string_view utf8) {
  Ref text(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
  if (!text) {
    ensure_error_set();
    return;
  }
  PyErr_SetObject(type, text.get());
}

void ensure_error_set() {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

bool init_errors() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) return false;
  }
  if (g_result_failure_text == nullptr) {
    g_result_failure_text = PyUnicode_FromString(kResultFailure);
    if (g_result_failure_text == nullptr) return false;
  }
  if (g_result_failure_spare == nullptr) {
    g_result_failure_spare =
        PyObject_CallFunctionObjArgs(g_panic_type, g_result_failure_text, nullptr);
    if (g_result_failure_spare == nullptr) return false;
  }
  return true;
}

namespace {
// Writes the fault's text (goes through sys.stderr when there is one, so test
// harnesses see it too; a failed write is dropped) and raises it.
void raise_panic_text(PyObject* text) {
  PySys_FormatStderr("halvex_core: internal fault: %U\n", text);
  PyErr_SetObject(g_panic_type, text);
}
}  // namespace

void raise_panic(std::string_view message) {
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) {
    ensure_error_set();
    return;
  }
  raise_panic_text(text.get());
}

bool clear_if_ordinary() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

void write_pending_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);  // clears the error; we own the three
  if (type == nullptr) return;
  Ref owned_type(type);
  Ref owned_value(value);
  Ref owned_traceback(traceback);
  // Each step may fail for want of memory: write what could be made.
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!name) PyErr_Clear();
  Ref text(value != nullptr ? PyObject_Str(value) : nullptr);
  if (!text) PyErr_Clear();
  if (name && text && PyUnicode_GetLength(text.get()) > 0) {
    PySys_FormatStderr("halvex_core: %U: %U\n", name.get(), text.get());
  } else if (name) {
    PySys_FormatStderr("halvex_core: %U\n", name.get());
  } else {
    PySys_WriteStderr("halvex_core: a Python API call failed\n");
  }
}

void raise_result_failure() {
  write_pending_error();
  raise_panic_text(g_result_failure_text);
  if (PyErr_ExceptionMatches(g_panic_type)) return;
  // The instance could not be made: the call took effect all the same, so
  // the caller must not see MemoryError ("nothing changed").
  PyErr_Clear();
  PyException_SetTraceback(g_result_failure_spare, Py_None);
  PyErr_SetObject(g_panic_type, g_result_failure_spare);
}

PyObject* type_qualname(PyObject* obj) {
  PyObject* name =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  if (name != nullptr && PyUnicode_Check(name)) return name;
  if (name == nullptr && !clear_if_ordinary()) return nullptr;
  Py_XDECREF(name);
  return PyUnicode_FromString("<failed to extract type name>");
}

}  // namespace halvex::py
