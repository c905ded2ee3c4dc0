// The Python class IncrementalReducer.
//
// PLACEHOLDER methods: the type, its documentation and its argument binding
// are final; the method bodies (the reducer behind its own mutex) are to be
// filled in. Each method currently raises NotImplementedError after binding.
#include "args.hpp"
#include "graph_store.hpp"
#include "module.hpp"

namespace korvane::py {

namespace {

struct IncrementalReducerObject {
  PyObject_HEAD
};

constexpr Signature kNewSignature{"IncrementalReducer.__new__()", {}};
constexpr Signature kStep{"IncrementalReducer.step()", {{.name = "store"}}};
constexpr Signature kFinalize{
    "IncrementalReducer.finalize()",
    {
        {.name = "store"},
        {.name = "maximal_fusion", .keyword_only = true, .required = false},
        {.name = "outputs", .keyword_only = true, .required = false},
    }};

PyObject* not_implemented(const char* what) {
  PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", what);
  return nullptr;
}

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1];
  if (!bind(kNewSignature, args, kwargs, bound)) return nullptr;
  return type->tp_alloc(type, 0);
}

void reducer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kStep, args, nargs, kwnames, bound)) return nullptr;
  ModuleState* state = state_of_instance(self);
  if (!noted(graph_store_from_py(state, bound[0]) != nullptr, "store")) return nullptr;
  return not_implemented("IncrementalReducer.step");
}

PyObject* watermark(PyObject*, PyObject*) { return not_implemented("IncrementalReducer.watermark"); }

PyObject* total_work(PyObject*, PyObject*) {
  return not_implemented("IncrementalReducer.total_work");
}

PyObject* canonical_count(PyObject*, PyObject*) {
  return not_implemented("IncrementalReducer.canonical_count");
}

PyObject* finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  if (!bind(kFinalize, args, nargs, kwnames, bound)) return nullptr;
  ModuleState* state = state_of_instance(self);
  if (!noted(graph_store_from_py(state, bound[0]) != nullptr, "store")) return nullptr;
  bool maximal = false;
  if (bound[1] != nullptr && !noted(bool_from_py(bound[1], maximal), "maximal_fusion")) {
    return nullptr;
  }
  if (bound[2] != nullptr && bound[2] != Py_None) {
    NodeIds outputs;
    if (!noted(node_ids_from_py(state, bound[2], outputs), "outputs")) return nullptr;
  }
  return not_implemented("IncrementalReducer.finalize");
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

template <class F>
PyCFunction fastcall(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"step", fastcall(step), kFastcall,
     "step($self, store)\n--\n\n"
     "Consume the nodes recorded in `store` since the last step. Returns how many were "
     "processed\n(the delta size). The reducer must always be fed the same store."},
    {"watermark", watermark, METH_NOARGS,
     "watermark($self)\n--\n\nHow many of the store's nodes have been consumed so far."},
    {"total_work", total_work, METH_NOARGS,
     "total_work($self)\n--\n\n"
     "Cumulative nodes processed across all steps (== watermark: each node touched once)."},
    {"canonical_count", canonical_count, METH_NOARGS,
     "canonical_count($self)\n--\n\nSize of the maintained canonical form."},
    {"finalize", fastcall(finalize), kFastcall,
     "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
     "Finish: consume any remaining delta, then reduce the maintained canonical form against "
     "the\nstore's marked outputs \u2014 or, with `outputs=`, against EXACTLY that set (M22: "
     "stored marks\nignored). Returns the reduced store + report, exactly like "
     "`GraphStore.reduce`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "IncrementalReducer()\n--\n\n"
         "Genuinely incremental reduction (plan \u00a7A.1): feed it a store as the graph is being "
         "built; each\n`step` canonicalizes ONLY the nodes recorded since the last step (identity "
         "elimination,\ncommutativity dedup, hash-consing \u2014 the same sound rules the "
         "EggEngine runs), so a concise\ncanonical form is maintained while building and "
         "`finalize` does one linear pass instead of a\nwhole-history optimization. "
         "`total_work()` counts nodes processed across all steps \u2014 it equals\nthe node "
         "count of the store, no matter how many steps fed it (the incrementality witness).")},
    {Py_tp_new, reinterpret_cast<void*>(reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reducer_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "korvane_core.IncrementalReducer",
    sizeof(IncrementalReducerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* create_incremental_reducer_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

}  // namespace korvane::py
