#include "boundary/convert.hpp"

namespace halvex::py {

PyObject* make_str(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* make_message_tuple(std::string_view from_agent, PyObject* second,
                             std::string_view content, UnixSeconds timestamp) {
  Ref t(PyTuple_New(4));
  if (!t) return nullptr;
  PyObject* item = make_str(from_agent);
  if (item == nullptr) return nullptr;
  PyTuple_SetItem(t.get(), 0, item);  // steals item
  Py_INCREF(second);
  PyTuple_SetItem(t.get(), 1, second);
  if ((item = make_str(content)) == nullptr) return nullptr;
  PyTuple_SetItem(t.get(), 2, item);
  if ((item = PyLong_FromUnsignedLongLong(timestamp)) == nullptr) return nullptr;
  PyTuple_SetItem(t.get(), 3, item);
  return t.release();
}

}  // namespace halvex::py
