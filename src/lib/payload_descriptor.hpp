// The Python class PayloadDescriptor: an immutable holder of one descriptor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "module.hpp"
#include "node.hpp"

namespace korvane::py {

// The descriptor held by `obj` if it is a PayloadDescriptor object, else
// nullptr. The pointer stays valid while `obj` is alive.
const std::shared_ptr<const PayloadDescriptor>* payload_descriptor_of(ModuleState* state,
                                                                     PyObject* obj);

}  // namespace korvane::py
