// Python forms of operation results. Each returns a new reference, or
// nullptr with the interpreter's error pending.
#pragma once

#include <string_view>
#include <vector>

#include "boundary/python.hpp"
#include "state/types.hpp"

namespace halvex::py {

PyObject* make_str(std::string_view utf8);

// (from_agent, <second>, content, timestamp): three str and one int.
PyObject* make_message_tuple(std::string_view from_agent, PyObject* second,
                             std::string_view content, UnixSeconds timestamp);

inline PyObject* make_message_tuple(const Message& m, PyObject* second) {
  return make_message_tuple(m.from_agent, second, m.content, m.timestamp);
}
inline PyObject* make_message_tuple(const StoredMessage& m, PyObject* second) {
  return make_message_tuple(m.from_agent(), second, m.content(), m.timestamp());
}

// A list of (from_agent, owner, content, timestamp), oldest first, created at
// its final length and filled by index. `owner` is shared by every tuple.
template <class Seq>
PyObject* make_message_list(const Seq& messages, std::size_t n, PyObject* owner) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* t = make_message_tuple(messages[i], owner);
    if (t == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), t);  // steals t
  }
  return list;
}

}  // namespace halvex::py
