#include "boundary/convert.hpp"

namespace halvex::py {

PyObject* make_str(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

namespace {

// (from_agent, second, content, timestamp) with items 0 and 3 from the given
// makers, each returning a new reference or nullptr with an error pending.
template <class MakeFrom, class MakeStamp>
PyObject* build_message_tuple(MakeFrom make_from, PyObject* second, std::string_view content,
                              MakeStamp make_stamp) {
  Ref t(PyTuple_New(4));
  if (!t) return nullptr;
  PyObject* item = make_from();
  if (item == nullptr) return nullptr;
  PyTuple_SetItem(t.get(), 0, item);  // steals item
  Py_INCREF(second);
  PyTuple_SetItem(t.get(), 1, second);
  if ((item = make_str(content)) == nullptr) return nullptr;
  PyTuple_SetItem(t.get(), 2, item);
  if ((item = make_stamp()) == nullptr) return nullptr;
  PyTuple_SetItem(t.get(), 3, item);
  return t.release();
}

}  // namespace

PyObject* make_message_tuple(std::string_view from_agent, PyObject* second,
                             std::string_view content, UnixSeconds timestamp) {
  return build_message_tuple([&] { return make_str(from_agent); }, second, content,
                             [&] { return PyLong_FromUnsignedLongLong(timestamp); });
}

ResultItems::~ResultItems() {
  for (int i = 0; i < used_; ++i) Py_DECREF(senders_[i].obj);
  Py_XDECREF(at_obj_);
}

PyObject* ResultItems::sender(std::string_view text) {
  if (text == owner_text_) {
    Py_INCREF(owner_);
    return owner_;
  }
  if (last_ >= 0 && senders_[last_].text == text) {
    Py_INCREF(senders_[last_].obj);
    return senders_[last_].obj;
  }
  for (int i = 0; i < used_; ++i) {
    if (senders_[i].text == text) {
      last_ = i;
      Py_INCREF(senders_[i].obj);
      return senders_[i].obj;
    }
  }
  PyObject* obj = make_str(text);
  if (obj == nullptr) return nullptr;
  int slot;
  if (used_ < kSenders) {
    slot = used_++;
  } else {
    slot = next_;
    next_ = (next_ + 1) % kSenders;
    Py_DECREF(senders_[slot].obj);
  }
  senders_[slot] = Sender{text, obj};
  last_ = slot;
  Py_INCREF(obj);
  return obj;
}

PyObject* ResultItems::timestamp(UnixSeconds at) {
  if (at_obj_ == nullptr || at != at_) {
    PyObject* obj = PyLong_FromUnsignedLongLong(at);
    if (obj == nullptr) return nullptr;
    Py_XDECREF(at_obj_);
    at_obj_ = obj;
    at_ = at;
  }
  Py_INCREF(at_obj_);
  return at_obj_;
}

PyObject* make_message_tuple(ResultItems& items, PyObject* owner, std::string_view from_agent,
                             std::string_view content, UnixSeconds timestamp) {
  return build_message_tuple([&] { return items.sender(from_agent); }, owner, content,
                             [&] { return items.timestamp(timestamp); });
}

}  // namespace halvex::py
