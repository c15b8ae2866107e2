#include "boundary/convert.hpp"

namespace halvex::py {

PyObject* make_str(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* make_message_tuple(const Message& m, PyObject* second) {
  PyObject* t = PyTuple_New(4);
  if (t == nullptr) return nullptr;
  PyObject* from = make_str(m.from_agent);
  if (from == nullptr) {
    Py_DECREF(t);
    return nullptr;
  }
  PyTuple_SetItem(t, 0, from);
  Py_INCREF(second);
  PyTuple_SetItem(t, 1, second);
  PyObject* content = make_str(m.content);
  if (content == nullptr) {
    Py_DECREF(t);
    return nullptr;
  }
  PyTuple_SetItem(t, 2, content);
  PyObject* ts = PyLong_FromUnsignedLongLong(m.timestamp);
  if (ts == nullptr) {
    Py_DECREF(t);
    return nullptr;
  }
  PyTuple_SetItem(t, 3, ts);
  return t;
}

}  // namespace halvex::py
