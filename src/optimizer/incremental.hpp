// A canonical form of a store, kept up to date while the store grows.
//
// Each step folds only the store's new nodes into the canonical form with the
// three cheap rules that the rewrite engine also applies: identity operations
// take their operand's place, a commuted duplicate of one of the eight
// commutative operations takes its twin's place, and an equal node takes the
// earlier one's place. finalize then reduces the (smaller) canonical form with
// the full pipeline and maps the result back to store ids.
//
// The canonical form is itself an interning store of packed records, so
// hash-consing is the store's own lookup, and finalize reduces the records in
// place. A step's cost depends on the number of new nodes, not on the size of
// the store that is fed or of the canonical form.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "node.hpp"
#include "optimizer/pipeline.hpp"
#include "result.hpp"
#include "store.hpp"

namespace korvane {

class RewriteEngine;

class IncrementalReducer {
 public:
  IncrementalReducer();
  ~IncrementalReducer();
  IncrementalReducer(IncrementalReducer&&) noexcept;
  IncrementalReducer& operator=(IncrementalReducer&&) noexcept;
  IncrementalReducer(const IncrementalReducer&) = delete;
  IncrementalReducer& operator=(const IncrementalReducer&) = delete;

  // Consumes `delta`, the store's nodes from the watermark on, in id order.
  // Returns how many were consumed, or BadNodeId for an input id that has not
  // been consumed; the nodes before it then stay consumed, but total_work
  // does not count this step.
  Result<std::uint64_t, BadNodeId> step(const std::vector<NodeKey>& delta);
  // The same, reading the records of `view` from the watermark to its size
  // in place. A view shorter than the watermark consumes nothing.
  Result<std::uint64_t, BadNodeId> step(const ArenaView& view);

  // Reduces the canonical form against `outputs` (store ids) and maps the
  // result's node map back to store ids. BadNodeId for the first output at or
  // above the watermark. Leaves the reducer unchanged.
  Result<Reduced, BadNodeId> finalize(const NodeIds& outputs, const RewriteEngine& engine,
                                      bool maximal) const;

  std::uint64_t watermark() const { return consumed_.size(); }
  std::uint64_t canonical_count() const;
  std::uint64_t total_work() const { return total_work_; }

  // For inspection: the canonical node at `position`, and every consumed
  // store id's canonical position.
  NodeKey canonical_node(std::uint64_t position) const;
  const std::vector<std::uint64_t>& consumed() const { return consumed_; }

 private:
  class CommutativeIndex;  // incremental.cpp

  Status<BadNodeId> consume(std::string_view record);
  std::uint64_t intern(std::string_view record);

  std::unique_ptr<GraphStore> canonical_;             // positions are node ids
  std::unique_ptr<CommutativeIndex> commutative_;     // its commutative operations
  std::vector<std::uint64_t> consumed_;
  std::uint64_t total_work_ = 0;
  std::string scratch_;  // the record being consumed, with rewritten inputs
};

}  // namespace korvane
