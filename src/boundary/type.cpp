#include "boundary/type.hpp"

#include <new>
#include <type_traits>
#include <utility>

#include "boundary/args.hpp"
#include "boundary/errors.hpp"
#include "boundary/guard.hpp"
#include "messaging/kept_drains.hpp"

namespace halvex::py {
namespace {

PyObject* g_type = nullptr;  // created once, never released

constexpr Signature kNewSignature{"CoordinationState.__new__()"};

PyObject* instance_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    if (!bind_arguments(kNewSignature, args, kwargs, nullptr)) return nullptr;
    CoordinationState record;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      ensure_error_set();
      return nullptr;  // `record` is destroyed on the way out
    }
    ::new (static_cast<void*>(&reinterpret_cast<Instance*>(self)->record))
        CoordinationState(std::move(record));
    return self;
  });
}

void instance_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Freeing the maps cannot fail, so there is no fault to report here.
  static_assert(std::is_nothrow_destructible_v<CoordinationState>);
  CoordinationState& record = reinterpret_cast<Instance*>(self)->record;
  kept_drains::release_owner(&record);  // copies of its drains that threads keep
  record.~CoordinationState();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  // An instance of a heap type holds a reference to its type.
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// The name must outlive the type: interpreters before 3.11 keep the pointer.
constexpr const char kTypeName[] = "builtins.CoordinationState";
char kTypeDoc[] = "CoordinationState()\n--\n\n";

// 3.8 and 3.9 give a type a method-cache tag only when it carries this bit
// (without, a method lookup there costs 44-49 ns instead of 27-41), and the
// 3.10+ headers we build with leave it out of Py_TPFLAGS_DEFAULT, since from
// 3.10 every type gets a tag. Newer interpreters ignore it.
constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG;

PyObject* create_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, kTypeDoc},
      {Py_tp_new, reinterpret_cast<void*>(instance_new)},
      {Py_tp_methods, method_table()},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec = {kTypeName, static_cast<int>(sizeof(Instance)), 0,
                      static_cast<unsigned int>(kTypeFlags), slots};
  return PyType_FromSpec(&spec);
}

}  // namespace

PyObject* coordination_state_type() {
  if (g_type == nullptr) g_type = create_type();
  return g_type;
}

}  // namespace halvex::py
