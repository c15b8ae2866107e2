// The CoordinationState heap type and its instances.
#pragma once

#include "boundary/python.hpp"
#include "state/record.hpp"

namespace halvex::py {

// Instance layout: the object header, then the record, built in place.
struct Instance {
  PyObject_HEAD
  CoordinationState record;
};

// The class, created on first call and kept for the life of the process.
// nullptr with an error set if creation failed (a later call tries again).
PyObject* coordination_state_type();

// The method table, ended by an all-zero entry, built on first call and kept
// for the life of the process (methods.cpp).
PyMethodDef* method_table();

}  // namespace halvex::py
