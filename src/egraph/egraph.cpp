#include "egraph/egraph.hpp"

#include <algorithm>
#include <ostream>
#include <string>
#include <unordered_map>

#include "egraph/hashing.hpp"
#include "error.hpp"

namespace korvane::egraph {

std::uint64_t hash_enode(const SymbolLang& node) {
  std::uint64_t state = node.op.number() * 0x9e3779b97f4a7c15ULL + node.children.size();
  for (Id child : node.children) state = hash_step(state, child);
  return mix64(state);
}

std::ostream& operator<<(std::ostream& out, const SymbolLang& node) {
  if (node.children.empty()) return out << node.op;
  out << '(' << node.op;
  for (Id child : node.children) out << ' ' << child;
  return out << ')';
}

// ---------------------------------------------------------------------------
// Union-find

Id UnionFind::make_set() {
  check_invariant(parents_.size() < UINT32_MAX, "e-graph id space exhausted: 2^32 - 1 ids");
  Id id = static_cast<Id>(parents_.size());
  parents_.push_back(id);
  return id;
}

Id UnionFind::checked(Id id) const {
  if (id >= parents_.size()) {
    throw InternalError("e-class id " + std::to_string(id) + " out of range: " +
                        std::to_string(parents_.size()) + " ids exist");
  }
  return id;
}

Id UnionFind::find(Id id) const {
  checked(id);
  while (parents_[id] != id) id = parents_[id];
  return id;
}

Id UnionFind::find_compress(Id id) {
  checked(id);
  while (parents_[id] != id) {
    parents_[id] = parents_[parents_[id]];
    id = parents_[id];
  }
  return id;
}

// ---------------------------------------------------------------------------
// The hash-cons: keys and values in insertion order, found through an
// open-addressing table of (hash tag, entry) slots. Entries are overwritten,
// never removed, so the entry count is the hash-cons size.

class EGraph::NodeMemo {
 public:
  std::size_t size() const { return keys_.size(); }

  const Id* find(const SymbolLang& node) const {
    if (slots_.empty()) return nullptr;
    std::uint64_t hash = hash_enode(node);
    std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.entry == kEmpty) return nullptr;
      if (slot.tag == tag && keys_[slot.entry] == node) return &values_[slot.entry];
    }
  }

  // Inserts or overwrites; returns the value that was replaced, if any.
  std::optional<Id> insert(SymbolLang node, Id id) {
    if ((keys_.size() + 1) * 8 > slots_.size() * 5) grow(std::max<std::size_t>(64, slots_.size() * 2));
    std::uint64_t hash = hash_enode(node);
    std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t i = hash & mask_;
    for (;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.entry == kEmpty) break;
      if (slot.tag == tag && keys_[slot.entry] == node) {
        Id previous = values_[slot.entry];
        values_[slot.entry] = id;
        return previous;
      }
    }
    check_invariant(keys_.size() < kEmpty, "hash-cons longer than 2^32 - 1 entries");
    slots_[i] = Slot{tag, static_cast<std::uint32_t>(keys_.size())};
    keys_.push_back(std::move(node));
    values_.push_back(id);
    return std::nullopt;
  }

  void reserve(std::size_t count) {
    keys_.reserve(count);
    values_.reserve(count);
    std::size_t wanted = 64;
    while (count * 8 > wanted * 5) wanted *= 2;
    if (wanted > slots_.size()) grow(wanted);
  }

 private:
  struct Slot {
    std::uint32_t tag;
    std::uint32_t entry;
  };
  static constexpr std::uint32_t kEmpty = UINT32_MAX;

  void grow(std::size_t capacity) {
    slots_.assign(capacity, Slot{0, kEmpty});
    mask_ = capacity - 1;
    for (std::uint32_t e = 0; e < keys_.size(); ++e) {
      std::uint64_t hash = hash_enode(keys_[e]);
      std::size_t i = hash & mask_;
      while (slots_[i].entry != kEmpty) i = (i + 1) & mask_;
      slots_[i] = Slot{static_cast<std::uint32_t>(hash >> 32), e};
    }
  }

  std::vector<SymbolLang> keys_;
  std::vector<Id> values_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

// ---------------------------------------------------------------------------
// The search index: for every operator, the classes holding an e-node with
// it. Kept up to date incrementally: a rebuild lists the classes it tidied
// under their new operators and drops merged-away classes from the lists of
// the operators they were listed under.

class EGraph::SearchIndex {
 public:
  const std::vector<Id>& classes_with(GlobalSymbol op) const {
    auto found = bucket_of_.find(op);
    return found == bucket_of_.end() ? kNone : buckets_[found->second].ids;
  }

  void add(GlobalSymbol op, Id id) { buckets_[bucket(op)].ids.push_back(id); }

  // `op`'s list holds a class that no longer exists.
  void mark_stale(GlobalSymbol op) {
    std::uint32_t b = bucket(op);
    if (!buckets_[b].stale) {
      buckets_[b].stale = true;
      stale_.push_back(b);
    }
  }

  template <class IsLive>
  void drop_stale(IsLive is_live) {
    for (std::uint32_t b : stale_) {
      std::vector<Id>& ids = buckets_[b].ids;
      ids.erase(std::remove_if(ids.begin(), ids.end(), [&](Id id) { return !is_live(id); }),
                ids.end());
      buckets_[b].stale = false;
    }
    stale_.clear();
  }

 private:
  struct Bucket {
    std::vector<Id> ids;
    bool stale = false;
  };

  std::uint32_t bucket(GlobalSymbol op) {
    if (op == last_op_ && !buckets_.empty()) return last_bucket_;
    auto [found, inserted] = bucket_of_.try_emplace(op, static_cast<std::uint32_t>(buckets_.size()));
    if (inserted) buckets_.emplace_back();
    last_op_ = op;
    last_bucket_ = found->second;
    return last_bucket_;
  }

  static inline const std::vector<Id> kNone{};
  std::unordered_map<GlobalSymbol, std::uint32_t> bucket_of_;
  std::vector<Bucket> buckets_;
  std::vector<std::uint32_t> stale_;
  GlobalSymbol last_op_ = GlobalSymbol::from_number(0);
  std::uint32_t last_bucket_ = 0;
};

// ---------------------------------------------------------------------------
// The e-graph

EGraph::EGraph() : memo_(std::make_unique<NodeMemo>()), index_(std::make_unique<SearchIndex>()) {}
EGraph::EGraph(EGraph&&) noexcept = default;
EGraph& EGraph::operator=(EGraph&&) noexcept = default;
EGraph::~EGraph() = default;

std::size_t EGraph::hashcons_size() const { return memo_->size(); }

void EGraph::reserve(std::size_t node_count) {
  memo_->reserve(memo_->size() + node_count);
  classes_.reserve(classes_.size() + node_count);
  worklist_.reserve(worklist_.size() + node_count);
}

const std::vector<Id>& EGraph::classes_with_op(GlobalSymbol op) const {
  return index_->classes_with(op);
}

EClass& EGraph::class_record(Id root) {
  EClass& eclass = classes_[root];
  if (!eclass.live) throw InternalError("Invalid id " + std::to_string(root));
  return eclass;
}

const EClass& EGraph::class_of(Id id) const {
  Id root = find(id);
  const EClass& eclass = classes_[root];
  if (!eclass.live) throw InternalError("Invalid id " + std::to_string(root));
  return eclass;
}

void EGraph::canonicalize(SymbolLang& node) const {
  for (Id& child : node.children) child = union_find_.find(child);
}

void EGraph::canonicalize_compress(SymbolLang& node) {
  for (Id& child : node.children) child = union_find_.find_compress(child);
}

Id EGraph::add(SymbolLang node) {
  canonicalize(node);
  if (const Id* existing = memo_->find(node)) return find(*existing);

  Id id = union_find_.make_set();
  classes_.emplace_back();
  EClass& eclass = classes_.back();
  eclass.id = id;
  eclass.nodes.push_back(node);
  for (Id child : node.children) class_record(child).parents.emplace_back(node, id);
  worklist_.emplace_back(node, id);
  eclass.live = true;
  ++class_count_;
  if (memo_->insert(std::move(node), id)) {
    throw InternalError("assertion failed: self.memo.insert(enode, id).is_none()");
  }
  clean_ = false;
  return id;
}

std::optional<Id> EGraph::lookup(SymbolLang node) const {
  canonicalize(node);
  if (const Id* existing = memo_->find(node)) return find(*existing);
  return std::nullopt;
}

bool EGraph::union_(Id a, Id b) { return perform_union(a, b); }

// Appends `shorter` to `longer` after making `into` the longer of the two;
// on equal lengths `into` keeps its place in front.
template <class List>
static void concatenate(List& into, List& other) {
  if (other.size() > into.size()) std::swap(into, other);
  into.append(std::make_move_iterator(other.begin()), std::make_move_iterator(other.end()));
  other.clear();
}

bool EGraph::perform_union(Id a, Id b) {
  clean_ = false;
  Id root_a = union_find_.find_compress(a);
  Id root_b = union_find_.find_compress(b);
  if (root_a == root_b) return false;

  EClass& class_a = class_record(root_a);
  EClass& class_b = class_record(root_b);
  bool b_survives = class_b.parents.size() > class_a.parents.size();
  EClass& winner = b_survives ? class_b : class_a;
  EClass& loser = b_survives ? class_a : class_b;

  union_find_.set_parent(loser.id, winner.id);
  loser.live = false;
  --class_count_;
  for (GlobalSymbol op : loser.indexed_ops) index_->mark_stale(op);
  loser.indexed_ops.clear();

  worklist_.insert(worklist_.end(), loser.parents.begin(), loser.parents.end());
  concatenate(winner.nodes, loser.nodes);
  concatenate(winner.parents, loser.parents);
  touched_.push_back(winner.id);
  return true;
}

std::size_t EGraph::rebuild() {
  std::size_t merges = process_unions();
  rebuild_classes();
  clean_ = true;
  return merges;
}

std::size_t EGraph::process_unions() {
  std::size_t merges = 0;
  while (!worklist_.empty()) {
    ParentPair pending = std::move(worklist_.back());
    worklist_.pop_back();
    canonicalize_compress(pending.first);
    touched_.push_back(pending.second);
    std::optional<Id> previous = memo_->insert(std::move(pending.first), pending.second);
    if (previous && perform_union(*previous, pending.second)) ++merges;
  }
  return merges;
}

// Only classes that changed since the last rebuild can hold non-canonical
// children, unsorted nodes or unindexed operators: those created since, union
// survivors, and the holders of nodes over a merged-away class (their parent
// entries went through the worklist). Every other class is already tidy, so
// a rebuild costs what changed rather than the size of the e-graph.
void EGraph::rebuild_classes() {
  ++rebuild_count_;
  for (Id touched : touched_) {
    EClass& eclass = class_record(union_find_.find_compress(touched));
    if (eclass.tidied_in == rebuild_count_) continue;
    eclass.tidied_in = rebuild_count_;
    tidy_class(eclass);
  }
  touched_.clear();
  index_->drop_stale([this](Id id) { return classes_[id].live; });
}

void EGraph::tidy_class(EClass& eclass) {
  auto& nodes = eclass.nodes;
  for (SymbolLang& node : nodes) canonicalize_compress(node);
  if (nodes.size() > 1) {
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    GlobalSymbol op = nodes[i].op;
    if (i > 0 && nodes[i - 1].op == op) continue;
    auto& listed = eclass.indexed_ops;
    if (std::find(listed.begin(), listed.end(), op) != listed.end()) continue;
    listed.push_back(op);
    index_->add(op, eclass.id);
  }
}

}  // namespace korvane::egraph
