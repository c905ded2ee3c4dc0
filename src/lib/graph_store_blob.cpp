// GraphStore.serialize and the static GraphStore.deserialize.
//
// Both convert their argument while attached, then encode or decode detached
// from the interpreter, so other threads keep running through a large blob.
#include <optional>
#include <string_view>

#include "args.hpp"
#include "errors.hpp"
#include "graph_store.hpp"
#include "serialize.hpp"

namespace korvane::py {

namespace {

constexpr Signature kSerialize{"GraphStore.serialize()", {{.name = "outputs", .required = false}}};
constexpr Signature kDeserialize{"GraphStore.deserialize()", {{.name = "data"}}};

// The first id of `outputs` that is not below the view's node count.
std::optional<BadNodeId> first_unknown(const ArenaView& view, const NodeIds& outputs) {
  for (NodeId id : outputs) {
    if (id >= view.size()) return BadNodeId{id};
  }
  return std::nullopt;
}

}  // namespace

PyObject* graph_store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kSerialize, args, nargs, kwnames, bound)) return nullptr;
  ModuleState* state = state_of_instance(self);
  const bool explicit_outputs = bound[0] != nullptr && bound[0] != Py_None;
  NodeIds outputs;
  if (explicit_outputs && !noted(node_ids_from_py(state, bound[0], outputs), "outputs")) {
    return nullptr;
  }

  // One view fixes both the node count the ids are checked against and the
  // records written; the store only grows, so the check still holds for them.
  korvane::GraphStore& store = store_of(self);
  ArenaView view;
  std::optional<BadNodeId> unknown;
  std::optional<Result<std::size_t, EncodeTooLarge>> size;
  const bool planned = call_core_detached(state, [&] {
    view = store.view();
    if (explicit_outputs) {
      unknown = first_unknown(view, outputs);
      if (unknown) return;
    } else {
      outputs = view.outputs();
    }
    size.emplace(blob_size(view, outputs));
  });
  if (!planned) return nullptr;
  if (unknown) return map_err(*unknown);
  if (!size->has_value()) {
    PyErr_SetString(PyExc_ValueError, kTooLargeMessage);
    return nullptr;
  }

  // The blob is written straight into the new bytes object's buffer, which no
  // other code can see yet; only raw memory is written while detached.
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size->value()));
  if (bytes == nullptr) return nullptr;
  char* buffer = PyBytes_AS_STRING(bytes);
  if (!call_core_detached(state, [&] { write_blob(view, outputs, buffer); })) {
    Py_DECREF(bytes);
    return nullptr;
  }
  return bytes;
}

PyObject* graph_store_deserialize(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind(kDeserialize, args, nargs, kwnames, bound)) return nullptr;
  if (!PyBytes_Check(bound[0])) {
    noted(raise_not_instance(bound[0], "bytes"), "data");
    return nullptr;
  }
  ModuleState* state = state_of_type(reinterpret_cast<PyTypeObject*>(type));
  if (state == nullptr) return nullptr;
  // bytes are immutable and the caller holds `data` for the whole call, so
  // its buffer is read in place while detached.
  const std::string_view data(PyBytes_AS_STRING(bound[0]),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(bound[0])));
  std::optional<Result<std::unique_ptr<korvane::GraphStore>, DecodeError>> result;
  if (!call_core_detached(state, [&] { result.emplace(deserialize(data)); })) return nullptr;
  if (!result->has_value()) {
    PyErr_SetString(PyExc_ValueError, decode_error_message(result->error()).c_str());
    return nullptr;
  }
  return wrap_store(state, std::move(*result).value());
}

}  // namespace korvane::py
