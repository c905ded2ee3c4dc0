// PLACEHOLDER, to be replaced by the persistence methods (GraphStore.serialize
// and the static GraphStore.deserialize). Arguments are bound and converted
// as the finished methods do; the blob work itself is not here yet.
#include "args.hpp"
#include "graph_store.hpp"

namespace korvane::py {

namespace {

constexpr Signature kSerialize{"GraphStore.serialize()", {{.name = "outputs", .required = false}}};
constexpr Signature kDeserialize{"GraphStore.deserialize()", {{.name = "data"}}};

PyObject* not_implemented(const char* what) {
  PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", what);
  return nullptr;
}

}  // namespace

PyObject* graph_store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kSerialize, args, nargs, kwnames, bound)) return nullptr;
  if (bound[0] != nullptr && bound[0] != Py_None) {
    NodeIds outputs;
    if (!noted(node_ids_from_py(state_of_instance(self), bound[0], outputs), "outputs")) {
      return nullptr;
    }
  }
  return not_implemented("GraphStore.serialize");
}

PyObject* graph_store_deserialize(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kDeserialize, args, nargs, kwnames, bound)) return nullptr;
  if (!PyBytes_Check(bound[0])) {
    noted(raise_not_instance(bound[0], "bytes"), "data");
    return nullptr;
  }
  return not_implemented("GraphStore.deserialize");
}

}  // namespace korvane::py
