// The extension module's per-interpreter state and the way every part of the
// Python surface reaches it.
//
// Everything the module creates lives here rather than in C++ statics, so the
// module can be imported into several interpreters (and sub-interpreters with
// their own GIL) without sharing Python objects between them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::py {

// Interned key strings used when building result dictionaries; made once per
// module so the read views do not create the same str for every node.
struct Keys {
  PyObject* id = nullptr;
  PyObject* output = nullptr;
  PyObject* inputs = nullptr;
  PyObject* kind = nullptr;
  PyObject* name = nullptr;
  PyObject* params = nullptr;
  PyObject* descriptor = nullptr;
  PyObject* n_members = nullptr;
  PyObject* members = nullptr;
  PyObject* content_hash = nullptr;
  PyObject* framework = nullptr;
  PyObject* version = nullptr;
  PyObject* io_schema = nullptr;
  PyObject* preprocessing_ref = nullptr;
  PyObject* input = nullptr;   // "input", first item of an input stage reference
  PyObject* member = nullptr;  // "member", first item of a member stage reference
};

struct ModuleState {
  PyTypeObject* graph_store_type = nullptr;
  PyTypeObject* payload_descriptor_type = nullptr;
  PyTypeObject* incremental_reducer_type = nullptr;
  // korvane_core.InternalError: a BaseException subclass that is deliberately
  // not a module attribute, so ordinary `except Exception` never swallows it.
  PyObject* internal_error = nullptr;
  // collections.abc.Sequence, for id lists that are registered sequences
  // without implementing the sequence protocol in C.
  PyObject* sequence_abc = nullptr;
  Keys keys;
};

extern PyModuleDef module_def;

inline ModuleState* state_of_module(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that defined `type` (one of this module's classes).
inline ModuleState* state_of_type(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

// The state reached from an instance of one of the module's classes. The
// classes cannot be subclassed, so the instance's type is the defining class.
inline ModuleState* state_of_instance(PyObject* self) { return state_of_type(Py_TYPE(self)); }

// Type creation for each class; each returns a new reference or nullptr with
// an exception set. Called once per module execution.
PyObject* create_graph_store_type(PyObject* module);
PyObject* create_payload_descriptor_type(PyObject* module);
PyObject* create_incremental_reducer_type(PyObject* module);

}  // namespace korvane::py
