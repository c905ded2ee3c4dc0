// The engine graph: what the rewrite engine sees of a reduction's nodes.
//
// Each node is a token, the positions of its inputs and a boundary flag. The
// graph is kept flat: token texts are stored once in a shared table and nodes
// name them by number, inputs live in one array with per-node offsets. A
// million-node graph is then a handful of arrays, and an engine interns each
// distinct token once instead of once per node.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "flat_table.hpp"
#include "large_alloc.hpp"
#include "node.hpp"

namespace korvane {

class NodeList;
struct Cone;

// A position in an engine graph. Engine graphs are addressed with 32 bits,
// like the e-graph's class ids.
using Position = std::uint32_t;
// Tables with an entry per position grow to tens of megabytes for a large
// graph and are read at random; they come from allocate_large.
using Positions = std::vector<Position, LargeAllocator<Position>>;

using TokenId = std::uint32_t;

// Marks "no position" in tables indexed by position or token.
inline constexpr Position kNoPosition = 0xFFFFFFFFu;
// Marks "no node" in a template list.
inline constexpr NodeId kNoTemplate = ~NodeId{0};

// Distinct token texts, numbered densely in order of first interning.
class TokenTable {
 public:
  TokenId intern(std::string_view text);
  // The id of `text`, or IndexTable::kNone.
  TokenId find(std::string_view text) const;

  std::string_view text(TokenId id) const { return texts_[id]; }
  // True for operation tokens; every other node kind is a boundary.
  bool is_op(TokenId id) const { return op_[id] != 0; }
  std::size_t size() const { return texts_.size(); }

 private:
  std::vector<std::string> texts_;
  std::vector<std::uint8_t> op_;
  opt::IndexTable index_;
};

// One engine node as a plain value (for building small graphs and reading
// them back).
struct EngineNode {
  std::string token;
  Positions inputs;
  bool boundary = true;
  friend bool operator==(const EngineNode&, const EngineNode&) = default;
};

// Nodes in topological order (inputs name earlier positions) and the output
// positions (in order, repeats kept).
class EngineGraph {
 public:
  EngineGraph() : tokens_(std::make_shared<TokenTable>()) { input_begin_.push_back(0); }
  explicit EngineGraph(std::shared_ptr<const TokenTable> tokens) : tokens_(std::move(tokens)) {
    input_begin_.push_back(0);
  }

  // Builds a graph from plain nodes (their tokens are interned afresh).
  static EngineGraph from_nodes(const std::vector<EngineNode>& nodes, Positions outputs);
  std::vector<EngineNode> to_nodes() const;

  std::size_t size() const { return token_.size(); }
  const TokenTable& tokens() const { return *tokens_; }
  const std::shared_ptr<const TokenTable>& shared_tokens() const { return tokens_; }

  TokenId token(Position p) const { return token_[p]; }
  std::string_view token_text(Position p) const { return tokens_->text(token_[p]); }
  bool boundary(Position p) const { return !tokens_->is_op(token_[p]); }
  std::span<const Position> inputs(Position p) const {
    return {input_.data() + input_begin_[p], input_begin_[p + 1] - input_begin_[p]};
  }
  std::size_t edge_count() const { return input_.size(); }

  // Appends a node whose token is already in this graph's table.
  Position add(TokenId token, std::span<const Position> inputs);
  void reserve(std::size_t nodes, std::size_t edges);

  Positions outputs;

 private:
  std::shared_ptr<const TokenTable> tokens_;
  std::vector<TokenId, LargeAllocator<TokenId>> token_;
  std::vector<std::size_t, LargeAllocator<std::size_t>> input_begin_;
  Positions input_;
};

// The token the optimizer identifies a node by. For operations, sources,
// reductions, exchanges and joins it is the node's token. The token of a
// stage names only its member count and that of an external inserts its
// descriptor unescaped, so neither tells different nodes apart; here a stage
// spells out its members and their references, and an external escapes its
// fields and marks an absent preprocessing_ref distinctly. Together with its
// inputs this token determines the node.
std::string engine_token(const NodeKey& node);

// The engine graph of `nodes`, whose inputs are positions in the same list.
EngineGraph to_engine_graph(const std::vector<NodeKey>& nodes, const NodeIds& outputs);

// The engine graph of the kept nodes of a cone of `list`, in kept order, with
// inputs and outputs as kept positions. `first_with_token` receives, for every
// token id, the id in `list` of the first kept node with that token (the
// template table).
EngineGraph to_engine_graph(const NodeList& list, const Cone& cone, NodeIds& first_with_token);

}  // namespace korvane
