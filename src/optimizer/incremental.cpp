#include "optimizer/incremental.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "error.hpp"
#include "optimizer/node_list.hpp"
#include "optimizer/pipeline.hpp"
#include "record.hpp"

namespace korvane {

namespace {

constexpr std::uint64_t kNoPosition = ~std::uint64_t{0};

// The record form of an Op without inputs, less its empty input list: the
// bytes that every Op record with this name and these parameters starts with.
std::string op_prefix(std::string name, ParamMap params) {
  std::string record;
  encode_record(NodeKey{OpNode{std::move(name), std::move(params), {}}}, record);
  check_invariant(record.size() >= 4, "an op record ends with its input count");
  record.resize(record.size() - 4);
  return record;
}

// The operations that the rewrite engine's rules also treat: additions of 0.0
// and multiplications by 1.0 on either side, which are their operand, and
// the eight operations whose operand order does not matter. Records are
// canonical for these (they hold no NaN), so comparing the record bytes
// before the inputs is the same as comparing tokens, without building one.
struct RuleTables {
  std::array<std::string, 4> identity;
  std::array<std::string, 8> commutative;

  RuleTables() {
    const auto identity_params = [](double scalar, const char* side) {
      return make_param_map({{"scalar", ParamValue::of_float(scalar)}, {"side", ParamValue::of_str(side)}});
    };
    identity = {op_prefix("add", identity_params(0.0, "r")), op_prefix("add", identity_params(0.0, "l")),
                op_prefix("mul", identity_params(1.0, "r")), op_prefix("mul", identity_params(1.0, "l"))};
    const char* names[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
    for (std::size_t i = 0; i < commutative.size(); ++i) commutative[i] = op_prefix(names[i], {});
  }

  template <std::size_t N>
  static bool holds(const std::array<std::string, N>& table, std::string_view prefix) {
    return std::find(table.begin(), table.end(), prefix) != table.end();
  }
};

const RuleTables& rule_tables() {
  static const RuleTables tables;
  return tables;
}

// Where a record's input ids start. Every kind but Stage ends with its input
// list; a Stage starts with it, right after the tag and the count.
std::size_t input_offset(std::string_view record, std::uint32_t input_count) {
  if (record_kind(record) == NodeKind::Stage) return 1 + 4;
  return record.size() - 8 * static_cast<std::size_t>(input_count);
}

// A final avalanche so that the table may index by the low bits whatever the
// record hash's distribution is.
std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

}  // namespace

// ---------------------------------------------------------------------------
// The canonical commutative operations, for finding a twin with swapped
// operands. Every other lookup goes to the canonical store's own index.

class IncrementalReducer::CommutativeIndex {
 public:
  // The canonical position of the record equal to `record`, or kNoPosition.
  std::uint64_t find(std::string_view record, const RecordInfo& info) const {
    if (slots_.empty()) return kNoPosition;
    const std::uint64_t hash = mix(info.hash);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.entry == kNoPosition) return kNoPosition;
      if (slot.hash != hash) continue;
      const Entry& entry = entries_[slot.entry];
      if (record_equal({entry.data, entry.size}, entry.has_nan, record, info.has_nan)) return entry.position;
    }
  }

  // Enters a record known to be absent, with its canonical position.
  void insert(std::string_view record, const RecordInfo& info, std::uint64_t position) {
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    place(Slot{mix(info.hash), entries_.size()});
    entries_.push_back(Entry{store(record), record.size(), info.has_nan, position});
  }

 private:
  struct Entry {
    const char* data;
    std::size_t size;
    bool has_nan;
    std::uint64_t position;  // in the canonical store
  };
  struct Slot {
    std::uint64_t hash = 0;
    std::uint64_t entry = kNoPosition;
  };

  static constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

  // Copies the record into a chunk that never moves.
  const char* store(std::string_view record) {
    if (record.size() > kChunkBytes / 4) {
      // A large record gets a chunk of its own and leaves the current one's
      // free space for the records after it.
      chunks_.emplace_back(new char[record.size()]);
      std::memcpy(chunks_.back().get(), record.data(), record.size());
      return chunks_.back().get();
    }
    if (current_ == nullptr || chunk_used_ + record.size() > kChunkBytes) {
      chunks_.emplace_back(new char[kChunkBytes]);
      current_ = chunks_.back().get();
      chunk_used_ = 0;
    }
    char* at = current_ + chunk_used_;
    std::memcpy(at, record.data(), record.size());
    chunk_used_ += record.size();
    return at;
  }

  void place(Slot slot) {
    for (std::size_t i = slot.hash & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].entry == kNoPosition) {
        slots_[i] = slot;
        return;
      }
    }
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.entry != kNoPosition) place(slot);
    }
  }

  std::vector<std::unique_ptr<char[]>> chunks_;
  char* current_ = nullptr;
  std::size_t chunk_used_ = 0;
  std::vector<Entry> entries_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

// ---------------------------------------------------------------------------

IncrementalReducer::IncrementalReducer()
    : canonical_(std::make_unique<GraphStore>()), commutative_(std::make_unique<CommutativeIndex>()) {}
IncrementalReducer::~IncrementalReducer() = default;
IncrementalReducer::IncrementalReducer(IncrementalReducer&&) noexcept = default;
IncrementalReducer& IncrementalReducer::operator=(IncrementalReducer&&) noexcept = default;

std::uint64_t IncrementalReducer::canonical_count() const { return canonical_->node_count(); }

NodeKey IncrementalReducer::canonical_node(std::uint64_t position) const {
  return canonical_->view().node(position);
}

// Hash-consing: the position of the equal canonical node, appended if new.
std::uint64_t IncrementalReducer::intern(std::string_view record) {
  auto position = canonical_->intern_record(record);
  check_invariant(position.has_value(), "canonical nodes read only earlier positions");
  return *position;
}

Status<BadNodeId> IncrementalReducer::consume(std::string_view record) {
  const RecordInputs inputs = record_inputs(record);
  const std::uint32_t count = inputs.size();
  scratch_.assign(record);

  // Inputs are read in store ids and written back as canonical positions.
  const std::size_t offset = input_offset(record, count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const NodeId id = inputs[i];
    if (id >= consumed_.size()) return unexpected(BadNodeId{id});
    std::memcpy(&scratch_[offset + 8 * static_cast<std::size_t>(i)], &consumed_[id], 8);
  }

  if (record_kind(record) == NodeKind::Op) {
    const RuleTables& rules = rule_tables();
    // The op's name and parameters, without the input count and ids.
    const std::string_view prefix(scratch_.data(), offset - 4);
    // Only a unary identity is its operand; with no or several inputs it is
    // an ordinary operation, as it is for the rewrite engine.
    if (count == 1 && RuleTables::holds(rules.identity, prefix)) {
      std::uint64_t operand;
      std::memcpy(&operand, &scratch_[offset], 8);
      consumed_.push_back(operand);
      return {};
    }
    if (count == 2 && RuleTables::holds(rules.commutative, prefix)) {
      const RecordInfo info = inspect_record(scratch_);
      std::uint64_t position = commutative_->find(scratch_, info);
      if (position == kNoPosition) {
        char* operands = &scratch_[offset];
        std::swap_ranges(operands, operands + 8, operands + 8);
        position = commutative_->find(scratch_, inspect_record(scratch_));
        std::swap_ranges(operands, operands + 8, operands + 8);  // keep the order first seen
      }
      if (position == kNoPosition) {
        position = intern(scratch_);
        commutative_->insert(scratch_, info, position);
      }
      consumed_.push_back(position);
      return {};
    }
  }

  consumed_.push_back(intern(scratch_));
  return {};
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(const std::vector<NodeKey>& delta) {
  std::string record;
  for (const NodeKey& node : delta) {
    record.clear();
    encode_record(node, record);
    if (auto status = consume(record); !status) return unexpected(status.error());
  }
  total_work_ += delta.size();
  return static_cast<std::uint64_t>(delta.size());
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(const ArenaView& view) {
  const std::uint64_t start = consumed_.size();
  const std::uint64_t end = std::max(start, view.size());
  for (NodeId id = start; id < end; ++id) {
    if (auto status = consume(view.record(id)); !status) return unexpected(status.error());
  }
  total_work_ += end - start;
  return end - start;
}

Result<Reduced, BadNodeId> IncrementalReducer::finalize(const NodeIds& outputs, const RewriteEngine& engine,
                                                        bool maximal) const {
  NodeIds canonical_outputs;
  canonical_outputs.reserve(outputs.size());
  for (NodeId id : outputs) {
    if (id >= consumed_.size()) return unexpected(BadNodeId{id});
    canonical_outputs.push_back(consumed_[id]);
  }

  // The canonical form is reduced in place, as packed records.
  const ArenaView view = canonical_->view();
  Reduced reduced = reduce_with_mode(NodeList(view), canonical_outputs, engine, maximal);
  check_invariant(reduced.node_map.size() == view.size(), "the node map covers every canonical node");

  // Store nodes that were folded into one canonical node share its landing.
  NodeMap by_store_id(consumed_.size());
  for (std::size_t id = 0; id < consumed_.size(); ++id) by_store_id.copy_from(id, reduced.node_map, consumed_[id]);
  reduced.node_map = std::move(by_store_id);
  return reduced;
}

}  // namespace korvane
