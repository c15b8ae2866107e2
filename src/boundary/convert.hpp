// Python forms of operation results. Each returns a new reference, or
// nullptr with the interpreter's error pending.
#pragma once

#include <string_view>
#include <cstddef>
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

// Python objects for the items of one result list. Equal timestamps come
// back as one int and repeated senders (the owner among them) as one str:
// object identity is no part of a result, and a list of many messages from
// few agents within a few seconds then costs about one new object a message.
// Texts are borrowed from the stored messages, which outlive the list's
// building.
class ResultItems {
 public:
  ResultItems(std::string_view owner_text, PyObject* owner) noexcept
      : owner_text_(owner_text), owner_(owner) {}
  ResultItems(const ResultItems&) = delete;
  ResultItems& operator=(const ResultItems&) = delete;
  ~ResultItems();

  // New references, or nullptr with the interpreter's error pending.
  PyObject* sender(std::string_view text);
  PyObject* timestamp(UnixSeconds at);

 private:
  // Senders remembered, replaced round-robin. Listing an inbox of 1000
  // messages from 1, 4 or 8 senders measured 73-86 ns a message, from 9, 16
  // or 64 senders 111-125 (a new str each); eight keeps the linear search
  // short while covering the usual handful of peers.
  static constexpr int kSenders = 8;
  struct Sender {
    std::string_view text;
    PyObject* obj;
  };
  std::string_view owner_text_;
  PyObject* owner_;  // borrowed
  Sender senders_[kSenders] = {};
  int used_ = 0;
  int next_ = 0;  // slot replaced once all are used
  int last_ = -1;
  UnixSeconds at_ = 0;
  PyObject* at_obj_ = nullptr;
};

PyObject* make_message_tuple(ResultItems& items, PyObject* owner, std::string_view from_agent,
                             std::string_view content, UnixSeconds timestamp);

// A list of (from_agent, owner, content, timestamp), oldest first, created at
// its final length and filled by index. `owner` is shared by every tuple.
template <class Seq>
PyObject* make_message_list(const Seq& messages, std::size_t n, std::string_view owner_text,
                            PyObject* owner) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  ResultItems items(owner_text, owner);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& m = messages[i];
    PyObject* t = make_message_tuple(items, owner, m.from_agent(), m.content(), m.timestamp());
    if (t == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), t);  // steals t
  }
  return list;
}

}  // namespace halvex::py
