// The one place the boundary includes the interpreter's headers. The build
// defines Py_LIMITED_API=0x03080000 so that only the stable ABI of 3.8 is used.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace halvex::py {

// An owned reference, released on scope exit.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* o) noexcept : o_(o) {}
  Ref(Ref&& r) noexcept : o_(r.o_) { r.o_ = nullptr; }
  Ref& operator=(Ref&& r) noexcept {
    if (this != &r) {
      Py_XDECREF(o_);
      o_ = r.o_;
      r.o_ = nullptr;
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }

  PyObject* get() const noexcept { return o_; }
  PyObject* release() noexcept {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

}  // namespace halvex::py
