// The Python class GraphStore: an immutable object owning one core store.
//
// The recording methods and read views live in graph_store.cpp; persistence
// (graph_store_blob.cpp) and reduction (graph_store_reduce.cpp) are defined in
// their own files against the declarations below.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>

#include "module.hpp"
#include "store.hpp"

namespace korvane::py {

struct GraphStoreObject {
  PyObject_HEAD
  // Owned; set once at creation and never replaced, so reading it needs no lock.
  korvane::GraphStore* store;
};

// The store of an object already known to be a GraphStore.
inline korvane::GraphStore& store_of(PyObject* self) {
  return *reinterpret_cast<GraphStoreObject*>(self)->store;
}

inline bool is_graph_store(ModuleState* state, PyObject* obj) {
  return Py_TYPE(obj) == state->graph_store_type;
}

// Argument conversion: the GraphStore object itself, or nullptr with
// TypeError "'{type}' object is not an instance of 'GraphStore'".
PyObject* graph_store_from_py(ModuleState* state, PyObject* obj);

// A new GraphStore object owning `store` (from deserialization or a
// reduction). Returns nullptr with an exception set on failure.
PyObject* wrap_store(ModuleState* state, std::unique_ptr<korvane::GraphStore> store);

// A new dict of named counters, inserted in the given order (the reduction
// report is built with it).
PyObject* counters_to_py(std::initializer_list<std::pair<const char*, std::uint64_t>> counters);

// Methods defined outside graph_store.cpp. Instance methods receive the
// object as `self`; deserialize is static and receives the GraphStore type
// object as `self` (use state_of_type).
PyObject* graph_store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* graph_store_deserialize(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* graph_store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* graph_store_cone(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* graph_store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
PyObject* graph_store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace korvane::py
