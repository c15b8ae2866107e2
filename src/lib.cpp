// Module entry: creates the module once per process and registers the class.
#include "boundary/errors.hpp"
#include "boundary/guard.hpp"
#include "boundary/python.hpp"
#include "boundary/type.hpp"

namespace {

using halvex::py::Ref;

// Single-phase init: the module keeps process-wide state (its type and the
// PanicException type) and refuses a second initialisation, which
// multi-phase init, made to run once per interpreter, would not fit.
PyModuleDef g_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "halvex_core",
    .m_doc = "",  // __doc__ is the empty string
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* g_module = nullptr;  // the first initialised module, kept for good

// Replaces the pending error with RuntimeError(message) caused by it.
void wrap_class_error() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyObject* wrapper = PyObject_CallFunction(
      PyExc_RuntimeError, "s", "An error occurred while initializing class CoordinationState");
  if (wrapper == nullptr) {
    Py_XDECREF(value);
    return;
  }
  PyException_SetCause(wrapper, value);  // steals `value`
  PyErr_SetObject(PyExc_RuntimeError, wrapper);
  Py_DECREF(wrapper);
}

// Appends the class name to __all__ (creating it) and sets the attribute.
bool register_class(PyObject* module, PyObject* type) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  Ref name(PyUnicode_FromString("CoordinationState"));
  if (!name || PyList_Append(all.get(), name.get()) != 0) return false;
  return PyObject_SetAttrString(module, "CoordinationState", type) == 0;
}

PyObject* init_module() {
  if (g_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules compiled for CPython 3.8 or older may only be initialized "
                    "once per interpreter process");
    return nullptr;
  }
  if (!halvex::py::init_errors()) {
    halvex::py::ensure_error_set();
    return nullptr;
  }
  Ref module(PyModule_Create2(&g_definition, 3));
  if (!module) {
    halvex::py::ensure_error_set();
    return nullptr;
  }
  PyObject* type = halvex::py::coordination_state_type();
  if (type == nullptr) {
    halvex::py::ensure_error_set();
    wrap_class_error();
    return nullptr;  // the new module is released; nothing recorded
  }
  if (!register_class(module.get(), type)) {
    halvex::py::ensure_error_set();
    return nullptr;
  }
  g_module = module.get();
  Py_INCREF(g_module);  // the process-wide slot's own reference
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_halvex_core(void) {
  return halvex::py::guarded_call([] { return init_module(); });
}
