// The nine method entries. Each binds and converts its arguments to owned
// strings, runs the core operation with no interpreter call in between, and
// builds the Python result only after the operation has dropped its locks.
#include <array>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "boundary/args.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/guard.hpp"
#include "boundary/type.hpp"
#include "claims/claims.hpp"
#include "messaging/messaging.hpp"

namespace halvex::py {
namespace {

template <std::size_t N>
using Args = std::array<std::string, N>;

// Runs one method call: bind, check self, convert, then op(record, args).
template <std::size_t N, class Op>
PyObject* call(const Signature& sig, PyObject* self, PyObject* args, PyObject* kwargs, Op op) {
  return guarded_call([&]() -> PyObject* {
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

// Puts the messages of a drain's list back at the front of the owner's inbox,
// with the exception that is pending (a signal handler's) left as it was.
// `direct` says which messages were addressed to the owner rather than
// broadcast. Reading the list back can fail only for want of memory; what
// could be read goes back and the failure is written to stderr.
void put_back_from_list(const CoordinationState& s, std::string_view owner, PyObject* list,
                        const std::vector<bool>& direct) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  Inbox messages;
  messages.reserve(direct.size());
  for (std::size_t i = 0; i < direct.size(); ++i) {
    PyObject* t = PyList_GetItem(list, static_cast<Py_ssize_t>(i));
    std::string_view text[2];
    Ref bytes[2];
    bool ok = t != nullptr;
    for (int j = 0; ok && j < 2; ++j) {
      bytes[j] = Ref(PyUnicode_AsUTF8String(PyTuple_GetItem(t, j == 0 ? 0 : 2)));
      char* data = nullptr;
      Py_ssize_t len = 0;
      ok = bytes[j] && PyBytes_AsStringAndSize(bytes[j].get(), &data, &len) == 0;
      if (ok) text[j] = std::string_view(data, static_cast<std::size_t>(len));
    }
    const unsigned long long at = ok ? PyLong_AsUnsignedLongLong(PyTuple_GetItem(t, 3)) : 0;
    if (!ok || PyErr_Occurred() != nullptr) {
      write_pending_error();
      break;
    }
    messages.emplace_back(text[0], direct[i] ? &owner : nullptr, text[1], at);
  }
  halvex::restore_inbox(s, owner, std::move(messages));
  PyErr_Restore(type, value, traceback);
}

constexpr const char* kClaimFileParams[] = {"agent_id", "path"};
constexpr const char* kClaimTaskParams[] = {"agent_id", "task_id"};
constexpr const char* kKeyParams[] = {"agent_id", "resource_key"};
constexpr const char* kSendParams[] = {"from_agent", "to_agent", "content"};
constexpr const char* kBroadcastParams[] = {"from_agent", "content"};
constexpr const char* kAgentParams[] = {"agent_id"};

const Signature kClaimFile{"CoordinationState.claim_file()", kClaimFileParams, 2};
const Signature kClaimTask{"CoordinationState.claim_task()", kClaimTaskParams, 2};
const Signature kRelease{"CoordinationState.release()", kKeyParams, 2};
const Signature kRenewClaim{"CoordinationState.renew_claim()", kKeyParams, 2};
const Signature kSendMessage{"CoordinationState.send_message()", kSendParams, 3};
const Signature kBroadcast{"CoordinationState.broadcast()", kBroadcastParams, 2};
const Signature kInbox{"CoordinationState.inbox()", kAgentParams, 1};
const Signature kDrainInbox{"CoordinationState.drain_inbox()", kAgentParams, 1};
const Signature kStatus{"CoordinationState.status()", kAgentParams, 1};

PyObject* holder_str(const Claim& c) { return make_str(c.holder); }

PyObject* claim_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call<2>(kClaimFile, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    auto out = halvex::claim_resource(s, ClaimKind::File, std::move(a[0]), std::move(a[1]));
    return finish(out, holder_str);
  });
}

PyObject* claim_task(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call<2>(kClaimTask, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    auto out = halvex::claim_resource(s, ClaimKind::Task, std::move(a[0]), std::move(a[1]));
    return finish(out, holder_str);
  });
}

PyObject* release(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call<2>(kRelease, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    auto out = halvex::release(s, std::move(a[0]), std::move(a[1]));
    return finish(out, [](Unit) {
      Py_INCREF(Py_None);
      return Py_None;
    });
  });
}

PyObject* renew_claim(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call<2>(kRenewClaim, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    auto out = halvex::renew_claim(s, std::move(a[0]), std::move(a[1]));
    return finish(out, holder_str);
  });
}

PyObject* send_message(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call<3>(kSendMessage, self, args, kwargs,
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
  return call<2>(kBroadcast, self, args, kwargs, [](const CoordinationState& s, Args<2>& a) {
    const Message m = halvex::broadcast(s, std::move(a[0]), std::move(a[1]));
    Ref star(make_str("*"));
    if (!star) return checked(nullptr);
    return checked(make_message_tuple(m, star.get()));
  });
}

PyObject* inbox(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call<1>(kInbox, self, args, kwargs,
                 [](const CoordinationState& s, Args<1>& a, PyObject* const* arg) {
    const Inbox messages = halvex::inbox(s, a[0]);
    Ref owner(arg_or_str(arg[0], a[0]));
    if (!owner) return checked(nullptr);
    return checked(make_message_list(messages, messages.size(), a[0], owner.get()));
  });
}

PyObject* drain_inbox(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call<1>(kDrainInbox, self, args, kwargs,
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
    // pending handlers here, as the very last step: freeing our copies takes
    // a while for a large drain, so it comes first, and should a handler
    // raise, the messages are taken back from the list.
    std::vector<bool> direct(drained.size());
    for (std::size_t i = 0; i < drained.size(); ++i) direct[i] = drained[i].to_agent().has_value();
    drained = Inbox{};
    if (PyErr_CheckSignals() != 0) {
      put_back_from_list(s, a[0], list.get(), direct);
      return nullptr;
    }
    return list.release();
  });
}

PyObject* status(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call<1>(kStatus, self, args, kwargs, [](const CoordinationState& s, Args<1>& a) {
    const AgentStatus st = halvex::status(s, a[0]);  // read lock already released
    return checked(make_str(status_word(st)));
  });
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef kMethods[] = {
    {"claim_file", as_cfunction(claim_file), METH_VARARGS | METH_KEYWORDS,
     "claim_file($self, agent_id, path)\n--\n\n"
     "Claims a file for `agent_id`. Raises `RuntimeError` if another agent\n"
     "already holds it. Returns the claiming agent's id back on success \xe2\x80\x94\n"
     "a no-op value, useful mainly to confirm the call didn't raise."},
    {"claim_task", as_cfunction(claim_task), METH_VARARGS | METH_KEYWORDS,
     "claim_task($self, agent_id, task_id)\n--\n\n"},
    {"release", as_cfunction(release), METH_VARARGS | METH_KEYWORDS,
     "release($self, agent_id, resource_key)\n--\n\n"
     "Releases a claim keyed by e.g. `\"file:src/lib.rs\"` or `\"task:phase-7\"`.\n"
     "Only the holder may release it."},
    {"renew_claim", as_cfunction(renew_claim), METH_VARARGS | METH_KEYWORDS,
     "renew_claim($self, agent_id, resource_key)\n--\n\n"
     "Renews a claim keyed by e.g. `\"file:src/lib.rs\"` or `\"task:phase-7\"`,\n"
     "extending its lease so a long-running task isn't lost to the TTL.\n"
     "Only the holder may renew."},
    {"send_message", as_cfunction(send_message), METH_VARARGS | METH_KEYWORDS,
     "send_message($self, from_agent, to_agent, content)\n--\n\n"},
    {"broadcast", as_cfunction(broadcast), METH_VARARGS | METH_KEYWORDS,
     "broadcast($self, from_agent, content)\n--\n\n"},
    {"inbox", as_cfunction(inbox), METH_VARARGS | METH_KEYWORDS,
     "inbox($self, agent_id)\n--\n\n"
     "Pending messages for `agent_id`, oldest first. Does not clear them \xe2\x80\x94\n"
     "use `drain_inbox` for that."},
    {"drain_inbox", as_cfunction(drain_inbox), METH_VARARGS | METH_KEYWORDS,
     "drain_inbox($self, agent_id)\n--\n\n"},
    {"status", as_cfunction(status), METH_VARARGS | METH_KEYWORDS,
     "status($self, agent_id)\n--\n\n"
     "One of `\"idle\"`, `\"busy\"`, `\"completed\"`, `\"error\"`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace halvex::py
