// The node model: one `NodeKey` per pipeline node, with the value types inside
// it. A node's content is its identity: two nodes are the same node exactly
// when their `NodeKey`s are equal.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvane {

// A node's position in its store: dense from 0 in first-insertion order.
using NodeId = std::uint64_t;
using NodeIds = std::vector<NodeId>;

// ---------------------------------------------------------------------------
// Parameters

// Alternative order is the serialized value tag: Int 0, Float 1, Bool 2, Str 3.
enum class ParamKind : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

struct ParamValue {
  std::variant<std::int64_t, double, bool, std::string> value;

  static ParamValue of_int(std::int64_t v) { return {decltype(value)(std::in_place_index<0>, v)}; }
  static ParamValue of_float(double v) { return {decltype(value)(std::in_place_index<1>, v)}; }
  static ParamValue of_bool(bool v) { return {decltype(value)(std::in_place_index<2>, v)}; }
  static ParamValue of_str(std::string v) {
    return {decltype(value)(std::in_place_index<3>, std::move(v))};
  }

  ParamKind kind() const { return static_cast<ParamKind>(value.index()); }
  std::int64_t as_int() const { return std::get<0>(value); }
  double as_float() const { return std::get<1>(value); }
  bool as_bool() const { return std::get<2>(value); }
  const std::string& as_str() const { return std::get<3>(value); }
};

// Floats compare by bit pattern after every NaN is replaced by the one quiet
// NaN, so all NaNs are equal and 0.0 differs from -0.0.
std::uint64_t canonical_float_bits(double v);
bool operator==(const ParamValue& a, const ParamValue& b);

struct ParamEntry {
  std::string key;
  ParamValue value;
  friend bool operator==(const ParamEntry&, const ParamEntry&) = default;
};

// Entries sorted by key bytes (a prefix sorts first). Equal keys are neither
// merged nor rejected; they keep the order they were given in.
using ParamMap = std::vector<ParamEntry>;

// The one way to build a map from entries: a stable sort on the key alone.
ParamMap make_param_map(std::vector<ParamEntry> entries);

// ---------------------------------------------------------------------------
// Payload descriptors and stage members

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;  // "" is present, not absent
  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

enum class StageRefKind : std::uint8_t { Input = 0, Member = 1 };

// One argument of a stage member: a slot of the stage's own inputs, or the
// result of an earlier member of the same stage.
struct StageRef {
  StageRefKind kind;
  std::uint64_t index;
  static StageRef input(std::uint64_t k) { return {StageRefKind::Input, k}; }
  static StageRef member(std::uint64_t j) { return {StageRefKind::Member, j}; }
  friend bool operator==(const StageRef&, const StageRef&) = default;
};

struct StageOp {
  std::string token;  // the operation token of the fused node
  std::vector<StageRef> inputs;
  friend bool operator==(const StageOp&, const StageOp&) = default;
};

// ---------------------------------------------------------------------------
// The seven node kinds. The variant index is the kind ordinal and the
// serialized node tag.

enum class NodeKind : std::uint8_t {
  Source = 0,
  Op = 1,
  Reduction = 2,
  External = 3,
  Stage = 4,
  Exchange = 5,
  Join = 6,
};
inline constexpr int kNodeKindCount = 7;

struct SourceNode {
  std::string name;
  ParamMap params;
  friend bool operator==(const SourceNode&, const SourceNode&) = default;
};

struct OpNode {
  std::string name;
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const OpNode&, const OpNode&) = default;
};

struct ReductionNode {
  std::string name;
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const ReductionNode&, const ReductionNode&) = default;
};

struct ExternalNode {
  // Descriptors are large and immutable; sharing one keeps every node small.
  std::shared_ptr<const PayloadDescriptor> descriptor;
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const ExternalNode& a, const ExternalNode& b) {
    return *a.descriptor == *b.descriptor && a.params == b.params && a.inputs == b.inputs;
  }
};

struct StageNode {
  NodeIds inputs;  // the stage's outside inputs
  std::vector<StageOp> members;
  friend bool operator==(const StageNode&, const StageNode&) = default;
};

struct ExchangeNode {
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const ExchangeNode&, const ExchangeNode&) = default;
};

struct JoinNode {
  ParamMap params;
  NodeIds inputs;
  friend bool operator==(const JoinNode&, const JoinNode&) = default;
};

struct NodeKey {
  std::variant<SourceNode, OpNode, ReductionNode, ExternalNode, StageNode, ExchangeNode, JoinNode>
      node;

  NodeKind kind() const { return static_cast<NodeKind>(node.index()); }
  template <class T>
  const T& as() const { return std::get<T>(node); }
  template <class T>
  const T* get_if() const { return std::get_if<T>(&node); }

  friend bool operator==(const NodeKey& a, const NodeKey& b) { return a.node == b.node; }
};

// "source", "op", "reduction", "external", "stage", "exchange", "join".
std::string_view kind_string(NodeKind kind);

// The node's inputs; empty for a source.
const NodeIds& inputs(const NodeKey& node);

// A copy of `node` with `new_inputs` as its inputs (a source ignores them).
NodeKey with_inputs(const NodeKey& node, NodeIds new_inputs);

// A fixed, well-mixed hash over the kind and every field, consistent with
// equality (floats hash by their canonical bit pattern).
std::uint64_t hash_node(const NodeKey& node);

struct NodeKeyHash {
  std::size_t operator()(const NodeKey& node) const { return hash_node(node); }
};

}  // namespace korvane
