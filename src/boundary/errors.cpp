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

PyObject* g_panic_type = nullptr;  // created once, never released

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

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) ensure_error_set();
  }
  return g_panic_type;
}

void raise_panic(std::string_view message) {
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) {
    ensure_error_set();
    return;
  }
  // Goes through sys.stderr when there is one, so test harnesses see it too.
  PySys_FormatStderr("halvex_core: internal fault: %U\n", text.get());
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  PyErr_SetObject(type, text.get());
}

void raise_result_failure() {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  raise_panic("Python API call failed");
}

PyObject* type_qualname(PyObject* obj) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  if (name != nullptr && PyUnicode_Check(name)) return name;
  Py_XDECREF(name);
  PyErr_Clear();
  return PyUnicode_FromString("<failed to extract type name>");
}

}  // namespace halvex::py
