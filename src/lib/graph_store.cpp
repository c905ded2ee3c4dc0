#include "graph_store.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "node_args.hpp"
#include "param.hpp"

namespace korvane::py {

namespace {

// ---------------------------------------------------------------------------
// Construction and destruction

constexpr Signature kNewSignature{"GraphStore.__new__()", {}};

PyObject* graph_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1];
  if (!bind(kNewSignature, args, kwargs, bound)) return nullptr;
  ModuleState* state = state_of_type(type);
  std::unique_ptr<korvane::GraphStore> store;
  if (!call_core(state, [&] { store = std::make_unique<korvane::GraphStore>(); })) return nullptr;
  return wrap_store(state, std::move(store));
}

void graph_store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<GraphStoreObject*>(self)->store;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Recording

// Packs and interns the converted node. The views in `fields` and the ones
// taken from `inputs` and `params` stay valid until it returns.
PyObject* intern_converted(PyObject* self, ModuleState* state, NodeFields& fields,
                           IdList& inputs, ParamArgs& params) {
  fields.params = params.fields();
  fields.param_count = params.size();
  fields.inputs = inputs.data();
  fields.input_count = inputs.size();
  std::optional<Result<NodeId, BadNodeId>> interned;
  korvane::GraphStore& store = store_of(self);
  if (!call_core(state, [&] { interned.emplace(store.intern_fields(fields)); })) return nullptr;
  if (!interned->has_value()) return map_err(interned->error());
  return PyLong_FromUnsignedLongLong(interned->value());
}

constexpr Parameter kOptionalParams{.name = "params", .required = false};

// add_source, add_op and add_reduction share their shape: a name, inputs
// except for a source, and parameters.
template <NodeKind kKind, const Signature& kSig>
PyObject* add_named(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr bool kHasInputs = kKind != NodeKind::Source;
  PyObject* bound[3];
  if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
  ModuleState* state = state_of_instance(self);
  NodeFields fields;
  fields.kind = kKind;
  if (!noted(str_from_py(bound[0], fields.name), "name")) return nullptr;
  IdList inputs;
  if constexpr (kHasInputs) {
    if (!noted(node_ids_from_py(state, bound[1], inputs), "inputs")) return nullptr;
  }
  ParamArgs params;
  if (!params_from_py(bound[kHasInputs ? 2 : 1], params)) return nullptr;
  return intern_converted(self, state, fields, inputs, params);
}

constexpr Signature kAddSource{"GraphStore.add_source()", {{.name = "name"}, kOptionalParams}};
constexpr Signature kAddOp{"GraphStore.add_op()",
                           {{.name = "name"}, {.name = "inputs"}, kOptionalParams}};
constexpr Signature kAddReduction{"GraphStore.add_reduction()",
                                  {{.name = "name"}, {.name = "inputs"}, kOptionalParams}};

PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_named<NodeKind::Source, kAddSource>(self, args, nargs, kwnames);
}

PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_named<NodeKind::Op, kAddOp>(self, args, nargs, kwnames);
}

PyObject* add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return add_named<NodeKind::Reduction, kAddReduction>(self, args, nargs, kwnames);
}

// Every node but a named one or a Source: inputs, then (for an External) the
// descriptor, then parameters. Inputs convert first, so a call with bad inputs
// and a bad descriptor reports the inputs.
template <NodeKind kKind, const Signature& kSig>
PyObject* add_unnamed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  constexpr bool kExternal = kKind == NodeKind::External;
  constexpr std::size_t kInputs = kExternal ? 1 : 0;
  PyObject* bound[3];
  if (!bind(kSig, args, nargs, kwnames, bound)) return nullptr;
  ModuleState* state = state_of_instance(self);
  NodeFields fields;
  fields.kind = kKind;
  IdList inputs;
  if (!noted(node_ids_from_py(state, bound[kInputs], inputs), "inputs")) return nullptr;
  DescriptorArgs descriptor;
  if constexpr (kExternal) {
    if (!descriptor_from_py(state, bound[0], descriptor)) return nullptr;
    fields.descriptor = &descriptor.fields();
  }
  ParamArgs params;
  if (!params_from_py(bound[kInputs + 1], params)) return nullptr;
  return intern_converted(self, state, fields, inputs, params);
}

constexpr Signature kAddExchange{"GraphStore.add_exchange()", {{.name = "inputs"}, kOptionalParams}};
constexpr Signature kAddJoin{"GraphStore.add_join()", {{.name = "inputs"}, kOptionalParams}};
constexpr Signature kAddExternal{"GraphStore.add_external()",
                                 {{.name = "descriptor"}, {.name = "inputs"}, kOptionalParams}};

PyObject* add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return add_unnamed<NodeKind::Exchange, kAddExchange>(self, args, nargs, kwnames);
}

PyObject* add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_unnamed<NodeKind::Join, kAddJoin>(self, args, nargs, kwnames);
}

PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return add_unnamed<NodeKind::External, kAddExternal>(self, args, nargs, kwnames);
}

PyObject* node_count(PyObject* self, PyObject*) {
  std::uint64_t count = 0;
  if (!call_core(state_of_instance(self), [&] { count = store_of(self).node_count(); })) {
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(count);
}

// ---------------------------------------------------------------------------
// Read views

// Adds `value` (a new reference, or nullptr after a failed creation) to `dict`.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

PyObject* ids_to_list(const NodeIds& ids) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = PyLong_FromUnsignedLongLong(ids[i]);
    if (id == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), id);
  }
  return list;
}

PyObject* optional_str_to_py(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return str_to_py(*text);
}

PyObject* descriptor_to_py(const Keys& keys, const PayloadDescriptor& d) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const bool ok = put(dict, keys.kind, str_to_py(d.kind)) &&
                  put(dict, keys.content_hash, str_to_py(d.content_hash)) &&
                  put(dict, keys.framework, str_to_py(d.framework)) &&
                  put(dict, keys.version, str_to_py(d.version)) &&
                  put(dict, keys.io_schema, str_to_py(d.io_schema)) &&
                  put(dict, keys.preprocessing_ref, optional_str_to_py(d.preprocessing_ref));
  if (!ok) Py_CLEAR(dict);
  return dict;
}

PyObject* stage_ref_to_py(const Keys& keys, const StageRef& ref) {
  PyObject* index = PyLong_FromUnsignedLongLong(ref.index);
  if (index == nullptr) return nullptr;
  PyObject* tag = ref.kind == StageRefKind::Input ? keys.input : keys.member;
  PyObject* pair = PyTuple_Pack(2, tag, index);
  Py_DECREF(index);
  return pair;
}

PyObject* member_to_py(const Keys& keys, const StageOp& member) {
  std::optional<ParsedOpToken> parsed = parse_op_token(member.token);
  if (!parsed) {
    const std::string quoted = quoted_label(member.token);
    PyErr_Format(PyExc_ValueError, "unparseable stage member token %s", quoted.c_str());
    return nullptr;
  }
  PyObject* inputs = PyList_New(static_cast<Py_ssize_t>(member.inputs.size()));
  if (inputs == nullptr) return nullptr;
  for (std::size_t i = 0; i < member.inputs.size(); ++i) {
    PyObject* ref = stage_ref_to_py(keys, member.inputs[i]);
    if (ref == nullptr) {
      Py_DECREF(inputs);
      return nullptr;
    }
    PyList_SET_ITEM(inputs, static_cast<Py_ssize_t>(i), ref);
  }
  PyObject* dict = PyDict_New();
  if (dict == nullptr) {
    Py_DECREF(inputs);
    return nullptr;
  }
  const bool ok = put(dict, keys.kind, str_to_py(parsed->kind)) &&
                  put(dict, keys.name, str_to_py(parsed->name)) &&
                  put(dict, keys.params, params_to_py(parsed->params)) &&
                  put(dict, keys.inputs, inputs);
  if (!ok) Py_CLEAR(dict);
  return dict;
}

PyObject* members_to_py(const Keys& keys, const std::vector<StageOp>& members) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(members.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < members.size(); ++i) {
    PyObject* member = member_to_py(keys, members[i]);
    if (member == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), member);
  }
  return list;
}

const std::string& name_of(const NodeKey& node) {
  static const std::string kNone;
  if (const auto* n = node.get_if<SourceNode>()) return n->name;
  if (const auto* n = node.get_if<OpNode>()) return n->name;
  if (const auto* n = node.get_if<ReductionNode>()) return n->name;
  return kNone;
}

const ParamMap& params_of(const NodeKey& node) {
  static const ParamMap kNone;
  return std::visit(
      [](const auto& n) -> const ParamMap& {
        if constexpr (std::is_same_v<std::decay_t<decltype(n)>, StageNode>) {
          return kNone;
        } else {
          return n.params;
        }
      },
      node.node);
}

PyObject* node_to_py(const Keys& keys, NodeId id, bool is_output, const NodeKey& node) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  bool ok = put(dict, keys.id, PyLong_FromUnsignedLongLong(id)) &&
            put(dict, keys.output, PyBool_FromLong(is_output)) &&
            put(dict, keys.inputs, ids_to_list(inputs(node))) &&
            put(dict, keys.kind, str_to_py(kind_string(node.kind()))) &&
            put(dict, keys.name, str_to_py(name_of(node))) &&
            put(dict, keys.params, params_to_py(params_of(node)));
  if (ok) {
    if (const auto* external = node.get_if<ExternalNode>()) {
      ok = put(dict, keys.descriptor, descriptor_to_py(keys, *external->descriptor));
    } else if (const auto* stage = node.get_if<StageNode>()) {
      ok = put(dict, keys.n_members, PyLong_FromSize_t(stage->members.size())) &&
           put(dict, keys.members, members_to_py(keys, stage->members));
    }
  }
  if (!ok) Py_CLEAR(dict);
  return dict;
}

// Output membership for every node: a scan of a short list, or a sorted copy
// of a long one, so marking many outputs never makes `nodes` quadratic.
class OutputSet {
 public:
  explicit OutputSet(const NodeIds& outputs) : sorted_(outputs) {
    std::sort(sorted_.begin(), sorted_.end());
  }
  bool contains(NodeId id) const {
    return std::binary_search(sorted_.begin(), sorted_.end(), id);
  }

 private:
  NodeIds sorted_;
};

PyObject* nodes(PyObject* self, PyObject*) {
  ModuleState* state = state_of_instance(self);
  ArenaView view;
  if (!call_core(state, [&] { view = store_of(self).view(); })) return nullptr;
  // Records below the view's count never change, so the dictionaries are
  // built without the store's lock.
  const OutputSet outputs(view.outputs());
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(view.size()));
  if (list == nullptr) return nullptr;
  for (NodeId id = 0; id < view.size(); ++id) {
    std::optional<NodeKey> node;
    if (!call_core(state, [&] { node.emplace(view.node(id)); })) {
      Py_DECREF(list);
      return nullptr;
    }
    PyObject* entry = node_to_py(state->keys, id, outputs.contains(id), *node);
    if (entry == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(id), entry);
  }
  return list;
}

PyObject* outputs(PyObject* self, PyObject*) {
  NodeIds ids;
  if (!call_core(state_of_instance(self), [&] { ids = store_of(self).outputs(); })) return nullptr;
  return ids_to_list(ids);
}

PyObject* landing_to_py(const std::optional<Landing>& landing) {
  if (!landing) Py_RETURN_NONE;
  PyObject* node = PyLong_FromUnsignedLongLong(landing->node);
  if (node == nullptr) return nullptr;
  PyObject* member = landing->member ? PyLong_FromUnsignedLongLong(*landing->member)
                                     : Py_NewRef(Py_None);
  if (member == nullptr) {
    Py_DECREF(node);
    return nullptr;
  }
  PyObject* pair = PyTuple_Pack(2, node, member);
  Py_DECREF(node);
  Py_DECREF(member);
  return pair;
}

PyObject* node_map(PyObject* self, PyObject*) {
  NodeMap map;
  if (!call_core(state_of_instance(self), [&] { map = store_of(self).node_map(); })) {
    return nullptr;
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(map.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < map.size(); ++i) {
    PyObject* entry = landing_to_py(map[i]);
    if (entry == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), entry);
  }
  return list;
}

PyObject* to_dot(PyObject* self, PyObject*) {
  std::string text;
  // Rendering holds the store's lock for the whole text; do it detached so a
  // large store does not hold up the interpreter.
  korvane::GraphStore& store = store_of(self);
  if (!call_core_detached(state_of_instance(self), [&] { text = store.to_dot(); })) {
    return nullptr;
  }
  return str_to_py(text);
}

// ---------------------------------------------------------------------------
// The type

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

template <class F>
PyCFunction fastcall(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"add_source", fastcall(add_source), kFastcall, "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", fastcall(add_op), kFastcall, "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", fastcall(add_reduction), kFastcall,
     "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"add_exchange", fastcall(add_exchange), kFastcall,
     "add_exchange($self, inputs, params=None)\n--\n\n"
     "Record an `Exchange` boundary (plan M39 \u00a72.1). No `name` \u2014 an Exchange's identity "
     "is its\n`scheme` ParamMap (`params`) + its one logical input; `nodes()[i][\"kind\"] == "
     "\"exchange\"`."},
    {"add_join", fastcall(add_join), kFastcall,
     "add_join($self, inputs, params=None)\n--\n\n"
     "Record a `Join` boundary (plan M40 \u00a72.1). Two inputs `[left, right]`; identity is its\n"
     "`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i][\"kind\"] == \"join\"`."},
    {"add_external", fastcall(add_external), kFastcall,
     "add_external($self, descriptor, inputs, params=None)\n--\n\n"},
    {"node_count", node_count, METH_NOARGS, "node_count($self)\n--\n\n"},
    {"nodes", nodes, METH_NOARGS,
     "nodes($self)\n--\n\n"
     "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR "
     "and\n`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
     "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
     "`descriptor` dict for external nodes and `n_members` for stage nodes."},
    {"outputs", outputs, METH_NOARGS,
     "outputs($self)\n--\n\n"
     "The marked output node ids, in mark order (what an IR evaluator returns, in order)."},
    {"node_map", node_map, METH_NOARGS,
     "node_map($self)\n--\n\n"
     "\u00a78.2(i): for each node of the arena this store was REDUCED FROM, where it landed here "
     "\u2014\n`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by "
     "that\narena's node id. Empty for a store that did not come out of a reduction."},
    {"to_dot", to_dot, METH_NOARGS, "to_dot($self)\n--\n\n"},
    {"serialize", fastcall(graph_store_serialize), kFastcall,
     "serialize($self, outputs=None)\n--\n\n"
     "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / "
     "A.3.1:\nthe serializable IR \u2014 not cloudpickle \u2014 is the canonical durable "
     "representation). With\n`outputs=` the bytes flag EXACTLY that set, ignoring stored marks "
     "(M22: outputs are a\nproperty of the compile request); the default keeps the marks-based "
     "behavior."},
    {"reduce", fastcall(graph_store_reduce), kFastcall,
     "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
     "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
     "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts "
     "in\nto fusing fan-out ops whose consumers all land in one stage (the default single-use "
     "rule is\npinned by the frozen M4 suite)."},
    {"cone", fastcall(graph_store_cone), kFastcall,
     "cone($self, *, outputs)\n--\n\n"
     "opt_level=0 (M6): the 1:1 cone of `outputs` \u2014 DCE without the rewrites \u2014 as a "
     "fresh store\nmarked with `outputs`; its `node_map` sends each kept id to `(cone id, "
     "None)`."},
    {"reduce_incremental", fastcall(graph_store_reduce_incremental), kFastcall,
     "reduce_incremental($self, *, outputs=None)\n--\n\n"
     "One-shot incremental reduction of the current graph (same result as `reduce`). For "
     "genuine\nstep-by-step reduction while building, use `IncrementalReducer`."},
    {"reduction_report", fastcall(graph_store_reduction_report), kFastcall,
     "reduction_report($self, *, outputs=None)\n--\n\n"
     "The reduction report for the current graph, without keeping the reduced store."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "GraphStore()\n--\n\n"
                    "Thread-safe interned graph store (frozen pyclass: interior mutability via a "
                    "Mutex, safe to\nshare across threads under the GIL and free-threaded "
                    "3.14t).")},
    {Py_tp_new, reinterpret_cast<void*>(graph_store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_store_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "korvane_core.GraphStore",
    sizeof(GraphStoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* graph_store_from_py(ModuleState* state, PyObject* obj) {
  if (is_graph_store(state, obj)) return obj;
  raise_not_instance(obj, "GraphStore");
  return nullptr;
}

PyObject* wrap_store(ModuleState* state, std::unique_ptr<korvane::GraphStore> store) {
  PyTypeObject* type = state->graph_store_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<GraphStoreObject*>(self)->store = store.release();
  return self;
}

PyObject* counters_to_py(std::initializer_list<std::pair<const char*, std::uint64_t>> counters) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const auto& [name, value] : counters) {
    PyObject* number = PyLong_FromUnsignedLongLong(value);
    const bool ok = number != nullptr && PyDict_SetItemString(dict, name, number) == 0;
    Py_XDECREF(number);
    if (!ok) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

namespace {

// deserialize is a static method that still needs the module state. A
// METH_STATIC function receives no self at all, so it is installed instead as
// a staticmethod wrapping a function bound to the type: the type arrives as
// self and leads to the state, whatever sys.modules holds.
PyMethodDef deserialize_def = {
    "deserialize", fastcall(graph_store_deserialize), kFastcall,
    "deserialize(data)\n--\n\n"
    "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
    "`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."};

bool add_static_deserialize(PyTypeObject* type) {
  PyObject* module_name = PyUnicode_FromString("korvane_core");
  if (module_name == nullptr) return false;
  PyObject* function =
      PyCFunction_NewEx(&deserialize_def, reinterpret_cast<PyObject*>(type), module_name);
  Py_DECREF(module_name);
  if (function == nullptr) return false;
  PyObject* method = PyStaticMethod_New(function);
  Py_DECREF(function);
  if (method == nullptr) return false;
  // The type is immutable from Python; its dict is still ours to fill while
  // the module is being set up.
  const int rc = PyDict_SetItemString(type->tp_dict, "deserialize", method);
  Py_DECREF(method);
  if (rc != 0) return false;
  PyType_Modified(type);
  return true;
}

}  // namespace

PyObject* create_graph_store_type(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  if (type != nullptr && !add_static_deserialize(reinterpret_cast<PyTypeObject*>(type))) {
    Py_CLEAR(type);
  }
  return type;
}

}  // namespace korvane::py
