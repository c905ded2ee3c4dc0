// The reduction methods of GraphStore: reduce, cone, reduce_incremental and
// reduction_report.
//
// Arguments are converted while attached; the reduction itself - taking the
// store's view under its lock, the passes, building the new store - runs
// detached, so other Python threads (and other reductions) run meanwhile.
// Python objects are made only afterwards, from the results.
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "args.hpp"
#include "errors.hpp"
#include "graph_store.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/pipeline.hpp"

namespace korvane::py {

namespace {

constexpr Parameter kMaximalFusion{.name = "maximal_fusion", .keyword_only = true, .required = false};
constexpr Parameter kOptionalOutputs{.name = "outputs", .keyword_only = true, .required = false};

constexpr Signature kReduce{"GraphStore.reduce()", {kMaximalFusion, kOptionalOutputs}};
constexpr Signature kCone{"GraphStore.cone()", {{.name = "outputs", .keyword_only = true}}};
constexpr Signature kReduceIncremental{"GraphStore.reduce_incremental()", {kOptionalOutputs}};
constexpr Signature kReductionReport{"GraphStore.reduction_report()", {kOptionalOutputs}};

// outputs=None (or omitted) reduces against the store's marks.
bool optional_outputs_from_py(PyObject* self, PyObject* obj, std::optional<NodeIds>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  out.emplace();
  return noted(node_ids_from_py(state_of_instance(self), obj, *out), "outputs");
}

PyObject* report_to_map(const ReductionReport& report) {
  return counters_to_py({{"input_nodes", report.input_nodes},
                         {"reachable_nodes", report.reachable_nodes},
                         {"canonical_nodes", report.canonical_nodes},
                         {"stages", report.stages},
                         {"reduced_nodes", report.reduced_nodes},
                         {"boundary_nodes", report.boundary_nodes}});
}

// A new 2-tuple that takes over both references (released on failure).
PyObject* pair_of(PyObject* first, PyObject* second) {
  PyObject* tuple = PyTuple_New(2);
  if (tuple == nullptr) {
    Py_DECREF(first);
    Py_DECREF(second);
    return nullptr;
  }
  PyTuple_SET_ITEM(tuple, 0, first);
  PyTuple_SET_ITEM(tuple, 1, second);
  return tuple;
}

// The reduction shared by reduce, reduce_incremental and reduction_report.
// Returns (store, report), or the report alone when `keep_store` is false.
PyObject* run_reduction(PyObject* self, bool maximal, const std::optional<NodeIds>& outputs,
                        bool keep_store) {
  ModuleState* state = state_of_instance(self);
  const korvane::GraphStore& store = store_of(self);
  std::unique_ptr<korvane::GraphStore> reduced;
  ReductionReport report;
  std::optional<BadNodeId> bad_id;

  const bool ok = call_core_detached(state, [&] {
    const EggEngine engine;
    if (outputs) {
      auto result = store.reduce_with_outputs(*outputs, engine, maximal);
      if (!result) {
        bad_id = result.error();
        return;
      }
      reduced = std::move(result->first);
      report = result->second;
    } else {
      std::tie(reduced, report) = store.reduce_with(engine, maximal);
    }
  });
  if (!ok) return nullptr;
  if (bad_id) return map_err(*bad_id);

  PyObject* report_map = report_to_map(report);
  if (report_map == nullptr || !keep_store) return report_map;
  PyObject* wrapped = wrap_store(state, std::move(reduced));
  if (wrapped == nullptr) {
    Py_DECREF(report_map);
    return nullptr;
  }
  return pair_of(wrapped, report_map);
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
  std::optional<NodeIds> outputs;
  if (!optional_outputs_from_py(self, bound[1], outputs)) return nullptr;
  return run_reduction(self, maximal, outputs, /*keep_store=*/true);
}

PyObject* graph_store_cone(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kCone, args, nargs, kwnames, bound)) return nullptr;
  ModuleState* state = state_of_instance(self);
  NodeIds outputs;
  if (!noted(node_ids_from_py(state, bound[0], outputs), "outputs")) return nullptr;

  const korvane::GraphStore& store = store_of(self);
  std::unique_ptr<korvane::GraphStore> cone;
  std::optional<BadNodeId> bad_id;
  const bool ok = call_core_detached(state, [&] {
    auto result = store.cone(outputs);
    if (!result) {
      bad_id = result.error();
      return;
    }
    cone = std::move(*result);
  });
  if (!ok) return nullptr;
  if (bad_id) return map_err(*bad_id);
  return wrap_store(state, std::move(cone));
}

PyObject* graph_store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kReduceIncremental, args, nargs, kwnames, bound)) return nullptr;
  std::optional<NodeIds> outputs;
  if (!optional_outputs_from_py(self, bound[0], outputs)) return nullptr;
  return run_reduction(self, /*maximal=*/false, outputs, /*keep_store=*/true);
}

PyObject* graph_store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kReductionReport, args, nargs, kwnames, bound)) return nullptr;
  std::optional<NodeIds> outputs;
  if (!optional_outputs_from_py(self, bound[0], outputs)) return nullptr;
  return run_reduction(self, /*maximal=*/false, outputs, /*keep_store=*/false);
}

}  // namespace korvane::py
