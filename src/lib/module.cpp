// The extension module korvane_core: multi-phase initialisation, the module
// state, and the attributes GraphStore, PayloadDescriptor, IncrementalReducer
// and version, added in that order.
#include "module.hpp"

namespace korvane::py {

namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString("0.0.7"); }

// Not in m_methods: the interpreter adds those before executing the module,
// which would put `version` ahead of the classes.
PyMethodDef version_def = {"version", version, METH_NOARGS, "version()\n--\n\n"};

bool make_keys(Keys& keys) {
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  const Entry entries[] = {
      {&keys.id, "id"},
      {&keys.output, "output"},
      {&keys.inputs, "inputs"},
      {&keys.kind, "kind"},
      {&keys.name, "name"},
      {&keys.params, "params"},
      {&keys.descriptor, "descriptor"},
      {&keys.n_members, "n_members"},
      {&keys.members, "members"},
      {&keys.content_hash, "content_hash"},
      {&keys.framework, "framework"},
      {&keys.version, "version"},
      {&keys.io_schema, "io_schema"},
      {&keys.preprocessing_ref, "preprocessing_ref"},
      {&keys.input, "input"},
      {&keys.member, "member"},
  };
  for (const Entry& entry : entries) {
    *entry.slot = PyUnicode_InternFromString(entry.text);
    if (*entry.slot == nullptr) return false;
  }
  return true;
}

template <class Visit>
int for_each_object(ModuleState* state, Visit&& visit) {
  PyObject** const objects[] = {
      reinterpret_cast<PyObject**>(&state->graph_store_type),
      reinterpret_cast<PyObject**>(&state->payload_descriptor_type),
      reinterpret_cast<PyObject**>(&state->incremental_reducer_type),
      &state->internal_error,
      &state->sequence_abc,
      &state->keys.id,
      &state->keys.output,
      &state->keys.inputs,
      &state->keys.kind,
      &state->keys.name,
      &state->keys.params,
      &state->keys.descriptor,
      &state->keys.n_members,
      &state->keys.members,
      &state->keys.content_hash,
      &state->keys.framework,
      &state->keys.version,
      &state->keys.io_schema,
      &state->keys.preprocessing_ref,
      &state->keys.input,
      &state->keys.member,
  };
  for (PyObject** object : objects) {
    if (int status = visit(object)) return status;
  }
  return 0;
}

// Creates a class, keeps it in the state and adds it to the module.
bool add_type(PyObject* module, const char* name, PyObject* (*create)(PyObject*),
              PyTypeObject** slot) {
  PyObject* type = create(module);
  if (type == nullptr) return false;
  *slot = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddObjectRef(module, name, type) == 0;
}

int exec_module(PyObject* module) {
  ModuleState* state = state_of_module(module);
  if (!make_keys(state->keys)) return -1;

  state->internal_error = PyErr_NewExceptionWithDoc(
      "korvane_core.InternalError",
      "A broken internal invariant of korvane_core (never raised by ordinary input).",
      PyExc_BaseException, nullptr);
  if (state->internal_error == nullptr) return -1;

  PyObject* abc = PyImport_ImportModule("collections.abc");
  if (abc == nullptr) return -1;
  state->sequence_abc = PyObject_GetAttrString(abc, "Sequence");
  Py_DECREF(abc);
  if (state->sequence_abc == nullptr) return -1;

  if (!add_type(module, "GraphStore", create_graph_store_type, &state->graph_store_type) ||
      !add_type(module, "PayloadDescriptor", create_payload_descriptor_type,
                &state->payload_descriptor_type) ||
      !add_type(module, "IncrementalReducer", create_incremental_reducer_type,
                &state->incremental_reducer_type)) {
    return -1;
  }

  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  PyObject* function = PyCFunction_NewEx(&version_def, module, module_name);
  Py_DECREF(module_name);
  if (function == nullptr) return -1;
  const int status = PyModule_AddObjectRef(module, "version", function);
  Py_DECREF(function);
  return status;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  return for_each_object(state, [&](PyObject** object) {
    Py_VISIT(*object);
    return 0;
  });
}

int clear_module(PyObject* module) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  return for_each_object(state, [](PyObject** object) {
    Py_CLEAR(*object);
    return 0;
  });
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // All state is per module and the core keeps no Python objects.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Every object guards its own state; nothing relies on the GIL.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "korvane_core",
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

namespace {

#ifdef Py_mod_name
// Interpreters with the slot-export hook build the module from slots alone;
// the token lets them find the module state of our classes as usual.
PyModuleDef_Slot export_slots[] = {
    {Py_mod_name, const_cast<char*>("korvane_core")},
    {Py_mod_doc, const_cast<char*>("")},
    {Py_mod_state_size, reinterpret_cast<void*>(sizeof(ModuleState))},
    {Py_mod_state_traverse, reinterpret_cast<void*>(traverse_module)},
    {Py_mod_state_clear, reinterpret_cast<void*>(clear_module)},
    {Py_mod_state_free, reinterpret_cast<void*>(free_module)},
#ifdef Py_mod_token
    {Py_mod_token, &module_def},
#endif
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};
#endif

}  // namespace

}  // namespace korvane::py

PyMODINIT_FUNC PyInit_korvane_core(void) {
  return PyModuleDef_Init(&korvane::py::module_def);
}

// The slot-export hook. Interpreters that know it call it instead of
// PyInit_korvane_core; the others never look it up, so before the hook
// existed it simply hands out the same slots as the module definition.
extern "C" __attribute__((visibility("default"))) PyModuleDef_Slot* PyModExport_korvane_core(
    void) {
#ifdef Py_mod_name
  return korvane::py::export_slots;
#else
  return korvane::py::module_slots;
#endif
}
