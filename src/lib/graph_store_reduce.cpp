// PLACEHOLDER, to be replaced by the reduction methods (GraphStore.reduce,
// cone, reduce_incremental, reduction_report). Arguments are bound and
// converted as the finished methods do; the reduction itself is not here yet.
#include "args.hpp"
#include "graph_store.hpp"

namespace korvane::py {

namespace {

constexpr Parameter kMaximalFusion{.name = "maximal_fusion", .keyword_only = true, .required = false};
constexpr Parameter kOptionalOutputs{.name = "outputs", .keyword_only = true, .required = false};

constexpr Signature kReduce{"GraphStore.reduce()", {kMaximalFusion, kOptionalOutputs}};
constexpr Signature kCone{"GraphStore.cone()", {{.name = "outputs", .keyword_only = true}}};
constexpr Signature kReduceIncremental{"GraphStore.reduce_incremental()", {kOptionalOutputs}};
constexpr Signature kReductionReport{"GraphStore.reduction_report()", {kOptionalOutputs}};

PyObject* not_implemented(const char* what) {
  PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", what);
  return nullptr;
}

// outputs=None (or omitted) means the store's marks.
bool convert_outputs(PyObject* self, PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return true;
  NodeIds outputs;
  return noted(node_ids_from_py(state_of_instance(self), obj, outputs), "outputs");
}

}  // namespace

PyObject* graph_store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* bound[2];
  if (!bind(kReduce, args, nargs, kwnames, bound)) return nullptr;
  bool maximal = false;
  if (bound[0] != nullptr && !noted(bool_from_py(bound[0], maximal), "maximal_fusion")) {
    return nullptr;
  }
  if (!convert_outputs(self, bound[1])) return nullptr;
  return not_implemented("GraphStore.reduce");
}

PyObject* graph_store_cone(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kCone, args, nargs, kwnames, bound)) return nullptr;
  NodeIds outputs;
  if (!noted(node_ids_from_py(state_of_instance(self), bound[0], outputs), "outputs")) {
    return nullptr;
  }
  return not_implemented("GraphStore.cone");
}

PyObject* graph_store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kReduceIncremental, args, nargs, kwnames, bound)) return nullptr;
  if (!convert_outputs(self, bound[0])) return nullptr;
  return not_implemented("GraphStore.reduce_incremental");
}

PyObject* graph_store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kReductionReport, args, nargs, kwnames, bound)) return nullptr;
  if (!convert_outputs(self, bound[0])) return nullptr;
  return not_implemented("GraphStore.reduction_report");
}

}  // namespace korvane::py
