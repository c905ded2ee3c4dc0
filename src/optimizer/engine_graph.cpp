#include "engine_graph.hpp"

#include <optional>
#include <string_view>

#include "dce.hpp"
#include "error.hpp"
#include "node_list.hpp"
#include "param.hpp"

namespace korvane {

// ---------------------------------------------------------------------------
// TokenTable

TokenId TokenTable::intern(std::string_view text) {
  const auto candidate = static_cast<TokenId>(texts_.size());
  const TokenId id = index_.find_or_insert(opt::hash_bytes(text), candidate,
                                           [&](std::uint32_t v) { return texts_[v] == text; });
  if (id == candidate) {
    texts_.emplace_back(text);
    op_.push_back(text.size() >= 3 && text.substr(0, 3) == "op|");
  }
  return id;
}

TokenId TokenTable::find(std::string_view text) const {
  return index_.find(opt::hash_bytes(text), [&](std::uint32_t v) { return texts_[v] == text; });
}

// ---------------------------------------------------------------------------
// EngineGraph

Position EngineGraph::add(TokenId token, std::span<const Position> inputs) {
  const auto p = static_cast<Position>(token_.size());
  token_.push_back(token);
  input_.insert(input_.end(), inputs.begin(), inputs.end());
  input_begin_.push_back(input_.size());
  return p;
}

void EngineGraph::reserve(std::size_t nodes, std::size_t edges) {
  token_.reserve(nodes);
  input_begin_.reserve(nodes + 1);
  input_.reserve(edges);
}

EngineGraph EngineGraph::from_nodes(const std::vector<EngineNode>& nodes, Positions outputs) {
  auto tokens = std::make_shared<TokenTable>();
  std::vector<TokenId> ids;
  ids.reserve(nodes.size());
  for (const EngineNode& node : nodes) ids.push_back(tokens->intern(node.token));
  EngineGraph graph(std::move(tokens));
  for (std::size_t i = 0; i < nodes.size(); ++i) graph.add(ids[i], nodes[i].inputs);
  graph.outputs = std::move(outputs);
  return graph;
}

std::vector<EngineNode> EngineGraph::to_nodes() const {
  std::vector<EngineNode> nodes;
  nodes.reserve(size());
  for (Position p = 0; p < size(); ++p) {
    const auto ins = inputs(p);
    nodes.push_back({std::string(token_text(p)), Positions(ins.begin(), ins.end()), boundary(p)});
  }
  return nodes;
}

// ---------------------------------------------------------------------------
// Engine tokens

namespace {

void append_descriptor_field(std::string& out, std::string_view field) {
  out += '|';
  out += escape_token(field);
}

std::string external_engine_token(const ExternalNode& ext) {
  const PayloadDescriptor& d = *ext.descriptor;
  std::string out = "ext";
  append_descriptor_field(out, d.kind);
  append_descriptor_field(out, d.content_hash);
  append_descriptor_field(out, d.framework);
  append_descriptor_field(out, d.version);
  append_descriptor_field(out, d.io_schema);
  // A present reference always starts with "s", so the bare "-" of an absent
  // one cannot be mistaken for the string "-".
  out += '|';
  if (d.preprocessing_ref) {
    out += 's';
    out += escape_token(*d.preprocessing_ref);
  } else {
    out += '-';
  }
  return with_params(std::move(out), ext.params);
}

// "stage|N|" then the members separated by ";", each its escaped token, "="
// and its references ("i" slot or "m" member) separated by ",". Escaped
// tokens hold no ";" or "=", so the text reads back uniquely.
std::string stage_engine_token(const StageNode& stage) {
  std::string out = "stage|";
  out += std::to_string(stage.members.size());
  out += '|';
  bool first_member = true;
  for (const StageOp& member : stage.members) {
    if (!first_member) out += ';';
    first_member = false;
    out += escape_token(member.token);
    out += '=';
    bool first_ref = true;
    for (const StageRef& ref : member.inputs) {
      if (!first_ref) out += ',';
      first_ref = false;
      out += ref.kind == StageRefKind::Input ? 'i' : 'm';
      out += std::to_string(ref.index);
    }
  }
  return out;
}

}  // namespace

std::string engine_token(const NodeKey& node) {
  if (const auto* ext = node.get_if<ExternalNode>()) return external_engine_token(*ext);
  if (const auto* stage = node.get_if<StageNode>()) return stage_engine_token(*stage);
  return token(node);
}

// ---------------------------------------------------------------------------
// to_engine_graph

EngineGraph to_engine_graph(const std::vector<NodeKey>& nodes, const NodeIds& outputs) {
  auto tokens = std::make_shared<TokenTable>();
  std::vector<TokenId> ids;
  ids.reserve(nodes.size());
  std::size_t edges = 0;
  for (const NodeKey& node : nodes) {
    ids.push_back(tokens->intern(engine_token(node)));
    edges += inputs(node).size();
  }
  EngineGraph graph(std::move(tokens));
  graph.reserve(nodes.size(), edges);
  Positions ins;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    ins.assign(inputs(nodes[i]).begin(), inputs(nodes[i]).end());
    graph.add(ids[i], ins);
  }
  graph.outputs.assign(outputs.begin(), outputs.end());
  return graph;
}

namespace {

// Memoizes the token id of packed records by the bytes that make up the node
// apart from its inputs. Most nodes of a large graph repeat the name and
// parameters of another node, and a lookup of those bytes is far cheaper than
// decoding the record and formatting its token. Two prefixes that differ only
// in a NaN payload format to the same text and so still share a token id.
class RecordTokenMemo {
 public:
  RecordTokenMemo(const NodeList& list, TokenTable& tokens) : list_(list), tokens_(tokens) {}

  // The token id of node `id`, whose record is `record` with inputs `inputs`.
  TokenId token_of(NodeId id, std::string_view record, const RecordInputs& inputs) {
    const Prefix key = prefix_of(record, inputs);
    const std::uint64_t hash = opt::hash_combine(opt::hash_bytes(key.bytes), key.stage);
    const auto candidate = static_cast<std::uint32_t>(keys_.size());
    const std::uint32_t slot = index_.find_or_insert(hash, candidate, [&](std::uint32_t v) {
      return keys_[v].stage == key.stage && keys_[v].bytes == key.bytes;
    });
    if (slot != candidate) return token_ids_[slot];
    keys_.push_back(key);
    const TokenId token = tokens_.intern(engine_token(list_.node(id)));
    token_ids_.push_back(token);
    return token;
  }

 private:
  struct Prefix {
    bool stage;
    std::string_view bytes;
  };

  // Inputs are the last field of every kind but the stage, whose members
  // follow them; a source has none.
  static Prefix prefix_of(std::string_view record, const RecordInputs& inputs) {
    const NodeKind kind = record_kind(record);
    if (kind == NodeKind::Source) return {false, record};
    const std::size_t input_bytes = 4 + 8 * std::size_t{inputs.size()};
    if (kind == NodeKind::Stage) return {true, record.substr(1 + input_bytes)};
    return {false, record.substr(0, record.size() - input_bytes)};
  }

  const NodeList& list_;
  TokenTable& tokens_;
  std::vector<Prefix> keys_;
  std::vector<TokenId> token_ids_;
  opt::IndexTable index_;
};

}  // namespace

// One pass over the kept nodes: each record is parsed once for its inputs,
// which also delimit the bytes its token is memoized by.
EngineGraph to_engine_graph(const NodeList& list, const Cone& cone, NodeIds& first_with_token) {
  const NodeIds& kept = cone.kept;
  auto tokens = std::make_shared<TokenTable>();
  EngineGraph graph(tokens);
  graph.reserve(kept.size(), kept.size() + kept.size() / 4);
  first_with_token.clear();
  std::optional<RecordTokenMemo> memo;
  if (list.packed()) memo.emplace(list, *tokens);
  NodeKey scratch;
  Positions ins;
  for (NodeId id : kept) {
    TokenId token;
    RecordInputs old_inputs;
    if (memo) {
      const std::string_view record = list.record(id);
      old_inputs = cone.input_offset.empty() ? record_inputs(record)
                                             : NodeList::inputs_at(record, cone.input_offset[id]);
      token = memo->token_of(id, record, old_inputs);
    } else {
      token = tokens->intern(engine_token(list.node_ref(id, scratch)));
      old_inputs = list.inputs(id);
    }
    ins.clear();
    for (std::uint32_t j = 0; j < old_inputs.size(); ++j) ins.push_back(cone.position[old_inputs[j]]);
    graph.add(token, ins);
    if (token == first_with_token.size()) first_with_token.push_back(id);
  }
  graph.outputs.reserve(cone.outputs.size());
  for (NodeId out : cone.outputs) graph.outputs.push_back(static_cast<Position>(out));
  return graph;
}

}  // namespace korvane
