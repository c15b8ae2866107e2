#include "boundary/args.hpp"

#include <cstring>

#include "boundary/errors.hpp"

namespace halvex::py {
namespace {

// A str or any subclass, tested by type flag as the limited API allows.
bool is_str(PyObject* o) noexcept {
  return (PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

constexpr std::size_t kFailed = static_cast<std::size_t>(-1);

// Index of the parameter whose name is exactly the keyword's UTF-8 text;
// sig.count when none is (a key that is not text counts as no name), or
// kFailed with the error pending when reading the key failed otherwise.
std::size_t find_param(const ParamList& sig, PyObject* key) {
  if (!is_str(key)) return sig.count;
  Ref bytes(PyUnicode_AsUTF8String(key));
  if (!bytes) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return kFailed;
    PyErr_Clear();  // not UTF-8: reported as an unexpected keyword
    return sig.count;
  }
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) != 0) return kFailed;
  for (std::size_t i = 0; i < sig.count; ++i) {
    const std::size_t n = std::strlen(sig.params[i]);
    if (static_cast<std::size_t>(len) == n && std::memcmp(data, sig.params[i], n) == 0) return i;
  }
  return sig.count;
}

void raise_unexpected_keyword(const ParamList& sig, PyObject* key) {
  Ref shown(PyObject_Str(key));
  if (!shown) {
    if (!clear_if_ordinary()) return;
    shown = Ref(PyUnicode_FromString("<unprintable keyword>"));
    if (!shown) return;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.qualname,
               shown.get());
}

void raise_missing(const ParamList& sig, PyObject* const* slots) {
  std::size_t missing[16];
  std::size_t c = 0;
  for (std::size_t i = 0; i < sig.count && c < 16; ++i) {
    if (slots[i] == nullptr) missing[c++] = i;
  }
  std::string list;
  for (std::size_t j = 0; j < c; ++j) {
    if (j > 0) list += (c == 2) ? " and " : (j + 1 == c ? ", and " : ", ");
    list += '\'';
    list += sig.params[missing[j]];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.qualname, c,
               c == 1 ? "argument" : "arguments", list.c_str());
}

}  // namespace

bool bind_arguments(const ParamList& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  const std::size_t npos = static_cast<std::size_t>(given);
  for (std::size_t i = 0; i < sig.count; ++i) {
    slots[i] = i < npos ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)) : nullptr;
  }
  if (npos > sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                 sig.qualname, sig.count, npos, npos == 1 ? "was" : "were");
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const std::size_t i = find_param(sig, key);
      if (i == kFailed) return false;
      if (i == sig.count) {
        raise_unexpected_keyword(sig, key);
        return false;
      }
      if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.qualname,
                     sig.params[i]);
        return false;
      }
      slots[i] = value;
    }
  }
  if (npos < sig.count) {
    for (std::size_t i = 0; i < sig.count; ++i) {
      if (slots[i] == nullptr) {
        raise_missing(sig, slots);
        return false;
      }
    }
  }
  return true;
}

bool to_owned_utf8(PyObject* arg, const char* param, std::string& out) {
  if (!is_str(arg)) {
    Ref name(type_qualname(arg));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'",
                 param, name.get());
    return false;
  }
  // A UnicodeEncodeError (lone surrogate) passes through unchanged.
  Ref bytes(PyUnicode_AsUTF8String(arg));
  if (!bytes) {
    ensure_error_set();
    return false;
  }
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) != 0) return false;
  out.assign(data, static_cast<std::size_t>(len));
  return true;
}

}  // namespace halvex::py
