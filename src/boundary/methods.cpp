// The nine method entries. Each binds and converts its arguments to owned
// strings, runs the core operation with no interpreter call in between, and
// builds the Python result only after the operation has dropped its locks.
#include <array>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "boundary/args.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/guard.hpp"
#include "boundary/type.hpp"
#include "claims/claims.hpp"
#include "messaging/kept_drains.hpp"
#include "messaging/messaging.hpp"

namespace halvex::py {
namespace {

template <std::size_t N>
using Args = std::array<std::string, N>;

// Runs one method call: bind, check self, convert, then op(record, args).
template <std::size_t N, class Op>
PyObject* call(const Signature<N>& sig, PyObject* self, PyObject* args, PyObject* kwargs, Op op) {
  return guarded_call([&]() -> PyObject* {
    kept_drains::release_mine();  // a large drain's copies go at the next call
    PyObject* bound[N];
    if (!bind_arguments(sig, args, kwargs, bound)) return nullptr;
    PyObject* type = coordination_state_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
      Ref name(type_qualname(self));
      if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'CoordinationState'",
                     name.get());
      }
      return nullptr;
    }
    Ref keep_self((Py_INCREF(self), self));
    Args<N> text;
    for (std::size_t i = 0; i < N; ++i) {
      if (!to_owned_utf8(bound[i], sig.params[i], text[i])) return nullptr;
    }
    const CoordinationState& record = reinterpret_cast<Instance*>(self)->record;
    if constexpr (std::is_invocable_v<Op, const CoordinationState&, Args<N>&, PyObject* const*>) {
      return op(record, text, static_cast<PyObject* const*>(bound));
    } else {
      return op(record, text);
    }
  });
}

// A result item that equals an argument: the caller's own object when it is
// an exact str (identity is no part of a result), else a plain str of the
// text, so a subclass instance never comes back as itself.
PyObject* arg_or_str(PyObject* arg, std::string_view text) {
  if (PyUnicode_CheckExact(arg)) {
    Py_INCREF(arg);
    return arg;
  }
  return make_str(text);
}

// Turns an operation outcome into a result or RuntimeError(message).
template <class T, class Make>
PyObject* finish(Outcome<T>& outcome, Make make) {
  if (!outcome.ok()) {
    set_error(PyExc_RuntimeError, outcome.error());
    return nullptr;
  }
  PyObject* result = make(outcome.value());
  if (result == nullptr) raise_result_failure();
  return result;
}

PyObject* checked(PyObject* result) {
  if (result == nullptr) raise_result_failure();
  return result;
}

constexpr Signature kClaimFile{"CoordinationState.claim_file()", "agent_id", "path"};
constexpr Signature kClaimTask{"CoordinationState.claim_task()", "agent_id", "task_id"};
constexpr Signature kRelease{"CoordinationState.release()", "agent_id", "resource_key"};
constexpr Signature kRenewClaim{"CoordinationState.renew_claim()", "agent_id", "resource_key"};
constexpr Signature kSendMessage{"CoordinationState.send_message()", "from_agent", "to_agent",
                                 "content"};
constexpr Signature kBroadcast{"CoordinationState.broadcast()", "from_agent", "content"};
constexpr Signature kInbox{"CoordinationState.inbox()", "agent_id"};
constexpr Signature kDrainInbox{"CoordinationState.drain_inbox()", "agent_id"};
constexpr Signature kStatus{"CoordinationState.status()", "agent_id"};

PyObject* holder_str(const Claim& c) { return make_str(c.holder); }

PyObject* claim_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call(kClaimFile, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    auto out = halvex::claim_resource(s, ClaimKind::File, std::move(a[0]), std::move(a[1]));
    return finish(out, holder_str);
  });
}

PyObject* claim_task(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call(kClaimTask, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    auto out = halvex::claim_resource(s, ClaimKind::Task, std::move(a[0]), std::move(a[1]));
    return finish(out, holder_str);
  });
}

PyObject* release(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call(kRelease, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    auto out = halvex::release(s, std::move(a[0]), std::move(a[1]));
    return finish(out, [](Unit) {
      Py_INCREF(Py_None);
      return Py_None;
    });
  });
}

PyObject* renew_claim(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call(kRenewClaim, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    auto out = halvex::renew_claim(s, std::move(a[0]), std::move(a[1]));
    return finish(out, holder_str);
  });
}

PyObject* send_message(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call(kSendMessage, self, args, kwargs,
              [](const CoordinationState& s, Args<3>& a, PyObject* const* arg) -> PyObject* {
    const Message m = halvex::send_message(s, std::move(a[0]), std::move(a[1]), std::move(a[2]));
    // The result repeats the arguments: hand back the caller's objects.
    const std::string_view text[3] = {m.from_agent, *m.to_agent, m.content};
    Ref t(PyTuple_New(4));
    if (!t) return checked(nullptr);
    for (int i = 0; i < 3; ++i) {
      PyObject* item = arg_or_str(arg[i], text[i]);
      if (item == nullptr) return checked(nullptr);
      PyTuple_SetItem(t.get(), i, item);  // steals item
    }
    PyObject* item = PyLong_FromUnsignedLongLong(m.timestamp);
    if (item == nullptr) return checked(nullptr);
    PyTuple_SetItem(t.get(), 3, item);
    return t.release();
  });
}

PyObject* broadcast(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call(kBroadcast, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    const Message m = halvex::broadcast(s, std::move(a[0]), std::move(a[1]));
    Ref star(make_str("*"));
    if (!star) return checked(nullptr);
    return checked(make_message_tuple(m, star.get()));
  });
}

PyObject* inbox(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call(kInbox, self, args, kwargs,
              [](const CoordinationState& s, Args<1>& a, PyObject* const* arg) {
    const Inbox messages = halvex::inbox(s, a[0]);
    Ref owner(arg_or_str(arg[0], a[0]));
    if (!owner) return checked(nullptr);
    return checked(make_message_list(messages, messages.size(), a[0], owner.get()));
  });
}

PyObject* drain_inbox(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call(kDrainInbox, self, args, kwargs,
              [](const CoordinationState& s, Args<1>& a, PyObject* const* arg) -> PyObject* {
    Inbox drained = halvex::drain_inbox(s, a[0]);
    Ref owner(arg_or_str(arg[0], a[0]));
    Ref list(owner ? make_message_list(drained, drained.size(), a[0], owner.get()) : nullptr);
    if (!list) {
      // The messages are still ours: put them back before reporting, so a
      // failed drain loses nothing.
      halvex::restore_inbox(s, a[0], std::move(drained));
      raise_result_failure();
      return nullptr;
    }
    // A signal handler that raises (Ctrl-C) would run right after we return,
    // and the interpreter would drop the list with every message. So run
    // pending handlers here: should one raise, our own copies go back, which
    // needs no Python object and so cannot fail for want of interpreter
    // memory.
    if (PyErr_CheckSignals() != 0) {
      halvex::restore_inbox(s, a[0], std::move(drained));
      return nullptr;
    }
    // Freeing the copies of a large drain takes a while, and a signal that
    // arrived meanwhile would run only after we return, so its exception
    // would drop the list: in 1 of 10 runs of the interrupted-drain test it
    // did. Nothing is left to run after the check but freeing a small
    // batch; a large one is kept until this thread's next call or until
    // this object is freed.
    if (drained.size() > kept_drains::kFreeAtOnce) kept_drains::keep(&s, std::move(drained));
    return list.release();
  });
}

PyObject* status(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call(kStatus, self, args, kwargs, [](const CoordinationState& s, Args<1>& a) {
    const AgentStatus st = halvex::status(s, a[0]);  // read lock already released
    return checked(make_str(status_word(st)));
  });
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// One method of the table: its parameter list, its entry and what its
// docstring says after the text signature.
struct MethodSpec {
  ParamList sig;
  PyCFunction entry;
  const char* doc;
};

const MethodSpec kMethodSpecs[] = {
    {kClaimFile, as_cfunction(claim_file),
     "Claims a file for `agent_id`. Raises `RuntimeError` if another agent\n"
     "already holds it. Returns the claiming agent's id back on success \xe2\x80\x94\n"
     "a no-op value, useful mainly to confirm the call didn't raise."},
    {kClaimTask, as_cfunction(claim_task), ""},
    {kRelease, as_cfunction(release),
     "Releases a claim keyed by e.g. `\"file:src/lib.rs\"` or `\"task:phase-7\"`.\n"
     "Only the holder may release it."},
    {kRenewClaim, as_cfunction(renew_claim),
     "Renews a claim keyed by e.g. `\"file:src/lib.rs\"` or `\"task:phase-7\"`,\n"
     "extending its lease so a long-running task isn't lost to the TTL.\n"
     "Only the holder may renew."},
    {kSendMessage, as_cfunction(send_message), ""},
    {kBroadcast, as_cfunction(broadcast), ""},
    {kInbox, as_cfunction(inbox),
     "Pending messages for `agent_id`, oldest first. Does not clear them \xe2\x80\x94\n"
     "use `drain_inbox` for that."},
    {kDrainInbox, as_cfunction(drain_inbox), ""},
    {kStatus, as_cfunction(status), "One of `\"idle\"`, `\"busy\"`, `\"completed\"`, `\"error\"`."},
};
constexpr std::size_t kMethodCount = std::size(kMethodSpecs);

// "CoordinationState.claim_file()" -> "claim_file".
std::string_view method_name(const char* qualname) {
  std::string_view q(qualname);
  q.remove_prefix(q.find('.') + 1);
  q.remove_suffix(2);
  return q;
}

}  // namespace

PyMethodDef* method_table() {
  // The interpreter keeps pointers into the table and its texts for good.
  static std::string names[kMethodCount];
  static std::string docs[kMethodCount];
  static PyMethodDef table[kMethodCount + 1] = {};
  if (table[0].ml_name != nullptr) return table;
  for (std::size_t i = 0; i < kMethodCount; ++i) {
    const MethodSpec& m = kMethodSpecs[i];
    names[i] = method_name(m.sig.qualname);
    // The text signature, "name($self, a, b)\n--\n\n", which
    // inspect.signature reads, then the description.
    docs[i] = names[i] + "($self";
    for (std::size_t p = 0; p < m.sig.count; ++p) docs[i].append(", ").append(m.sig.params[p]);
    docs[i].append(")\n--\n\n").append(m.doc);
    table[i] = {names[i].c_str(), m.entry, METH_VARARGS | METH_KEYWORDS, docs[i].c_str()};
  }
  return table;
}

}  // namespace halvex::py
