#include "fusion.hpp"

#include "error.hpp"
#include "node_list.hpp"
#include "prefetch.hpp"

namespace korvane {

void TemplateTable::rebuild(TokenId token, std::span<const NodeId> inputs,
                            std::string& out) const {
  check_invariant(token < first_.size() && first_[token] != kNoTemplate,
                  "boundary token missing from the template table");
  list_.write_with_inputs(first_[token], inputs, out);
}

namespace {

// Union-find over positions whose root is the smallest position of its set.
class ChainSets {
 public:
  explicit ChainSets(std::size_t n) : parent_(n) {
    for (std::size_t p = 0; p < n; ++p) parent_[p] = static_cast<Position>(p);
  }

  Position find(Position p) {
    Position root = p;
    while (parent_[root] != root) root = parent_[root];
    while (parent_[p] != root) {
      const Position next = parent_[p];
      parent_[p] = root;
      p = next;
    }
    return root;
  }

  void join(Position a, Position b) {
    const Position ra = find(a);
    const Position rb = find(b);
    if (ra == rb) return;
    if (ra < rb) {
      parent_[rb] = ra;
    } else {
      parent_[ra] = rb;
    }
  }

 private:
  Positions parent_;
};

// Single-use rule: an operation that is not an output joins its one
// consumer when that consumer is an operation too. Only the number of uses
// (none, one, more) and the one consumer matter, so no consumer lists are
// built.
Positions single_use_groups(const EngineGraph& graph, const std::vector<std::uint8_t>& is_output) {
  const std::size_t n = graph.size();
  std::vector<std::uint8_t> uses(n, 0);  // 0, 1, or 2 for "more than one"
  Positions consumer(n, kNoPosition);
  for (Position p = 0; p < n; ++p) {
    for (Position x : graph.inputs(p)) {
      if (uses[x] < 2) ++uses[x];
      consumer[x] = p;
    }
  }
  ChainSets sets(n);
  for (Position p = 0; p < n; ++p) {
    if (graph.boundary(p) || is_output[p] || uses[p] != 1) continue;
    if (!graph.boundary(consumer[p])) sets.join(p, consumer[p]);
  }
  Positions group(n);
  for (Position p = 0; p < n; ++p) group[p] = graph.boundary(p) ? p : sets.find(p);
  return group;
}

// Maximal rule: an operation that is not an output joins the group its
// consumers all share, when they are all operations. Consumers come later,
// so walking downwards every consumer's group is final before the nodes it
// reads are decided; each consumer reports its group to its inputs as soon as
// it is decided, so no consumer lists are built.
Positions maximal_groups(const EngineGraph& graph, const std::vector<std::uint8_t>& is_output) {
  constexpr Position kUnused = kNoPosition;
  constexpr Position kMixed = kNoPosition - 1;  // consumers in several groups, or a boundary
  const std::size_t n = graph.size();
  Positions group(n);
  Positions shared(n, kUnused);  // the group all consumers seen so far share
  for (std::size_t i = n; i-- > 0;) {
    const auto p = static_cast<Position>(i);
    group[p] = p;
    if (!graph.boundary(p) && !is_output[p] && shared[p] != kUnused && shared[p] != kMixed) {
      group[p] = shared[p];
    }
    for (Position x : graph.inputs(p)) {
      if (graph.boundary(p)) {
        shared[x] = kMixed;
      } else if (shared[x] == kUnused) {
        shared[x] = group[p];
      } else if (shared[x] != group[p]) {
        shared[x] = kMixed;
      }
    }
  }
  return group;
}

class StageEmitter {
 public:
  StageEmitter(const EngineGraph& graph, const TemplateTable& templates, const Positions& group,
               RecordSink& out, FusionResult& result)
      : graph_(graph),
        templates_(templates),
        group_(group),
        out_(out),
        result_(result),
        rank_(graph.size()),
        emitted_(graph.size(), kNoPosition) {}

  // Emits every group when its largest member comes up: a value leaving a
  // group comes from that member, which lies below all of its consumers, so
  // this order puts every group after the groups that feed it.
  void run() {
    const std::size_t n = graph_.size();
    Positions begin(n + 1, 0);  // positions fit 32 bits, and so do their counts
    Positions last(n, 0);
    // Groups are addressed by their root, scattered over the graph: each
    // pass hints the entries a few positions ahead will touch.
    constexpr Position kAhead = 16;
    for (Position p = 0; p < n; ++p) {
      if (p + kAhead < n) {
        prefetch(&begin[group_[p + kAhead] + 1]);
        prefetch(&last[group_[p + kAhead]]);
      }
      rank_[p] = begin[group_[p] + 1]++;
      last[group_[p]] = p;
    }
    for (std::size_t g = 0; g < n; ++g) begin[g + 1] += begin[g];
    members_.resize(n);
    for (Position p = 0; p < n; ++p) {
      if (p + kAhead < n) prefetch(&begin[group_[p + kAhead]]);
      members_[begin[group_[p]] + rank_[p]] = p;
    }

    result_.landings = NodeMap(n);
    for (Position p = 0; p < n; ++p) {
      if (p + kAhead < n) prefetch(&last[group_[p + kAhead]]);
      const Position g = group_[p];
      if (last[g] != p) continue;
      if (graph_.boundary(p)) {
        emit_boundary(p);
      } else {
        emit_stage(g, {members_.data() + begin[g], begin[g + 1] - begin[g]});
      }
    }
  }

  Position emitted(Position p) const {
    const Position at = emitted_[group_[p]];
    check_invariant(at != kNoPosition, "fused group emitted before its consumers");
    return at;
  }

 private:
  // Sends the record built in record_ out; the id it gets there.
  Position emit_record() {
    ++result_.emitted;
    const NodeId id = out_.add(record_);
    check_invariant(id < kNoPosition, "reduced ids fit the optimizer's positions");
    return static_cast<Position>(id);
  }

  void emit_boundary(Position b) {
    inputs_.clear();
    for (Position x : graph_.inputs(b)) inputs_.push_back(emitted(x));
    record_.clear();
    templates_.rebuild(graph_.token(b), inputs_, record_);
    const Position at = emit_record();
    ++result_.boundary_nodes;
    emitted_[b] = at;
    result_.landings.set(b, Landing{at, std::nullopt});
  }

  // The stage input slot of the group `producer` (which `x` belongs to):
  // members that read the same outside group share one slot. Most stages
  // read a handful of groups, found in a short list of this stage's own;
  // past that, tables indexed by group (made when first needed) take over,
  // so a stage with many inputs stays linear.
  Position slot_of(Position producer, Position x, Position stamp) {
    constexpr std::size_t kListed = 16;
    for (const auto& [listed, slot] : stage_slots_) {
      if (listed == producer) return slot;
    }
    if (stage_slots_.size() < kListed) {
      const auto slot = static_cast<Position>(inputs_.size());
      stage_slots_.emplace_back(producer, slot);
      inputs_.push_back(emitted(x));
      return slot;
    }
    if (slot_stamp_.empty()) {
      slot_stamp_.assign(graph_.size(), kNoPosition);
      slot_.resize(graph_.size());
    }
    if (slot_stamp_[producer] != stamp) {
      slot_stamp_[producer] = stamp;
      slot_[producer] = static_cast<Position>(inputs_.size());
      inputs_.push_back(emitted(x));
    }
    return slot_[producer];
  }

  void emit_stage(Position g, std::span<const Position> members) {
    const auto stamp = static_cast<Position>(result_.stages);
    inputs_.clear();
    stage_slots_.clear();
    member_bytes_.clear();
    for (Position m : members) {
      refs_.clear();
      for (Position x : graph_.inputs(m)) {
        const Position producer = group_[x];
        if (producer == g) {
          refs_.push_back(StageRef::member(rank_[x]));
          continue;
        }
        refs_.push_back(StageRef::input(slot_of(producer, x, stamp)));
      }
      append_stage_member(member_bytes_, graph_.token_text(m), refs_);
    }
    record_.clear();
    write_stage(record_, inputs_, static_cast<std::uint32_t>(members.size()), member_bytes_);
    const Position at = emit_record();
    ++result_.stages;
    emitted_[g] = at;
    for (Position m : members) result_.landings.set(m, Landing{at, rank_[m]});
  }

  const EngineGraph& graph_;
  const TemplateTable& templates_;
  const Positions& group_;
  RecordSink& out_;
  FusionResult& result_;
  Positions rank_;        // member index of each position within its group
  Positions members_;     // group members, ascending, grouped by group id
  Positions emitted_;     // group id -> reduced position
  std::vector<std::pair<Position, Position>> stage_slots_;  // the stage's first groups and slots
  Positions slot_stamp_;  // producer group -> stage that last gave it a slot (large stages)
  Positions slot_;        // producer group -> its slot in that stage
  NodeIds inputs_;              // the node being emitted: its inputs
  std::vector<StageRef> refs_;  // the member being written: its references
  std::string member_bytes_;    // the stage being written: its members
  std::string record_;          // the node being emitted: its record
};

}  // namespace

FusionResult stage_fusion(const EngineGraph& graph, const TemplateTable& templates, bool maximal,
                          RecordSink& out) {
  const std::size_t n = graph.size();
  std::vector<std::uint8_t> is_output(n, 0);
  for (Position o : graph.outputs) is_output[o] = 1;

  const Positions group =
      maximal ? maximal_groups(graph, is_output) : single_use_groups(graph, is_output);

  FusionResult result;
  StageEmitter emitter(graph, templates, group, out, result);
  emitter.run();
  result.outputs.reserve(graph.outputs.size());
  for (Position o : graph.outputs) result.outputs.push_back(emitter.emitted(o));
  return result;
}

}  // namespace korvane
