#include "egraph/egraph.hpp"

#include <algorithm>
#include <ostream>
#include <string>

#include "egraph/egraph_tables.hpp"
#include "egraph/hashing.hpp"
#include "error.hpp"

namespace korvane::egraph {

// ---------------------------------------------------------------------------
// Union-find

Id UnionFind::make_set() {
  check_invariant(parents_.size() < UINT32_MAX, "e-graph id space exhausted: 2^32 - 1 ids");
  Id id = static_cast<Id>(parents_.size());
  parents_.push_back(id);
  return id;
}

void UnionFind::throw_out_of_range(Id id) const {
  throw InternalError("e-class id " + std::to_string(id) + " out of range: " +
                      std::to_string(parents_.size()) + " ids exist");
}

// ---------------------------------------------------------------------------
// The e-graph

EGraph::EGraph() = default;
EGraph::~EGraph() = default;

// A moved-from e-graph is an empty one, as if just created.
EGraph::EGraph(EGraph&& other) noexcept { swap(other); }

EGraph& EGraph::operator=(EGraph&& other) noexcept {
  if (this != &other) {
    EGraph taken(std::move(other));
    swap(taken);
  }
  return *this;
}

void EGraph::swap(EGraph& other) noexcept {
  using std::swap;
  swap(union_find_, other.union_find_);
  swap(created_, other.created_);
  swap(memo_, other.memo_);
  swap(worklist_, other.worklist_);
  swap(classes_, other.classes_);
  swap(class_count_, other.class_count_);
  swap(index_, other.index_);
  swap(more_indexed_ops_, other.more_indexed_ops_);
  swap(touched_, other.touched_);
  swap(rebuild_count_, other.rebuild_count_);
  swap(unioned_, other.unioned_);
  swap(clean_, other.clean_);
}

std::size_t EGraph::hashcons_size() const { return memo_.size(); }

void EGraph::reserve(std::size_t node_count) {
  // Rules add ids too; room for some of them spares copying the union-find.
  union_find_.reserve(union_find_.size() + node_count + node_count / 2);
  memo_.reserve(memo_.size() + node_count, created_);
  classes_.reserve(classes_.size() + node_count);
  created_.reserve(created_.size() + node_count);
  worklist_.reserve(worklist_.size() + node_count);
}

const SymbolLang& EGraph::created_node(Id id) const {
  union_find_.parent(id);  // checks the id
  return created_[id];
}

const std::vector<Id>& EGraph::classes_with_op(GlobalSymbol op) const {
  return index_.classes_with(op);
}

void EGraph::throw_invalid_id(Id root) const {
  throw InternalError("Invalid id " + std::to_string(root));
}

void EGraph::prefetch_add(GlobalSymbol op, std::span<const Id> children) const {
  for (Id child : children) prefetch_class(child);
  memo_.prefetch(op, children);
}

Id EGraph::add(SymbolLang node) {
  canonicalize(node);
  memo_.make_room(created_);
  detail::NodeMemo::Probe probe = memo_.probe(node, created_);
  if (probe.value) return find(*probe.value);

  Id id = union_find_.make_set();
  EClass& eclass = classes_.emplace_back();
  eclass.id = id;
  eclass.nodes.push_back(node);
  for (Id child : node.children) class_record(child).parents.push_back(id);
  worklist_.push_back(id);
  ++class_count_;
  created_.emplace_back(std::move(node));
  memo_.insert_created(probe, id);
  clean_ = false;
  return id;
}

std::optional<Id> EGraph::lookup(SymbolLang node) const {
  canonicalize(node);
  if (const Id* existing = memo_.find(node, created_)) return find(*existing);
  return std::nullopt;
}

// A node in a class's list either was canonical at the last rebuild, which
// left every listed node in the hash-cons under an id of its class, or came
// with an add() or a union since, which keep that true for the class it is
// in now. So a listed node equal to the canonical `node` is in the hash-cons
// under an id of this class. Lists are unsorted between rebuilds (unions
// concatenate them); a bound on the scan keeps a large class from making
// each check cost its size.
bool EGraph::holds(Id id, SymbolLang node) const {
  constexpr std::size_t kScanned = 8;
  canonicalize(node);
  const auto& nodes = class_of(id).nodes;
  return nodes.size() <= kScanned && std::find(nodes.begin(), nodes.end(), node) != nodes.end();
}

bool EGraph::union_(Id a, Id b) { return perform_union(a, b); }

// Appends `shorter` to `longer` after making `into` the longer of the two;
// on equal lengths `into` keeps its place in front.
template <class List>
static void concatenate(List& into, List& other) {
  if (other.size() > into.size()) std::swap(into, other);
  into.append(std::make_move_iterator(other.begin()), std::make_move_iterator(other.end()));
  other = List();
}

bool EGraph::perform_union(Id a, Id b) {
  clean_ = false;
  Id root_a = union_find_.find_compress(a);
  Id root_b = union_find_.find_compress(b);
  if (root_a == root_b) return false;
  unioned_ = true;

  EClass& class_a = class_record(root_a);
  EClass& class_b = class_record(root_b);
  bool b_survives = class_b.parents.size() > class_a.parents.size();
  EClass& winner = b_survives ? class_b : class_a;
  EClass& loser = b_survives ? class_a : class_b;

  union_find_.set_parent(loser.id, winner.id);
  --class_count_;
  unindex(loser);

  worklist_.insert(worklist_.end(), loser.parents.begin(), loser.parents.end());
  concatenate(winner.nodes, loser.nodes);
  concatenate(winner.parents, loser.parents);
  touched_.push_back(winner.id);
  return true;
}

std::size_t EGraph::rebuild() {
  if (!unioned_) {
    index_new_classes();
    clean_ = true;
    return 0;
  }
  std::size_t merges = process_unions();
  unioned_ = false;
  rebuild_classes();
  clean_ = true;
  return merges;
}

// A rebuild with no union since the last one: every pending pair was pushed
// by add(), for a class that holds just that node, with children that were
// canonical then and still are. Re-canonicalizing would change nothing, so
// the classes are only indexed, in the order the full rebuild tidies them
// (the worklist's, last first).
void EGraph::index_new_classes() {
  ++rebuild_count_;
  for (auto pending = worklist_.rbegin(); pending != worklist_.rend(); ++pending) {
    EClass& eclass = class_record(*pending);
    eclass.tidied_in_ = rebuild_count_;
    const GlobalSymbol op = eclass.nodes[0].op;
    if (!is_indexed_under(eclass, op)) index_under(eclass, op);
  }
  worklist_.clear();
}

std::size_t EGraph::process_unions() {
  std::size_t merges = 0;
  while (!worklist_.empty()) {
    Id id = worklist_.back();
    worklist_.pop_back();
    touched_.push_back(id);
    SymbolLang node = created_[id];
    canonicalize_compress(node);
    // A node still in the form add() stored it under needs no new entry:
    // that entry holds `id` or, if another node's entry overwrote it, an id
    // that was unioned with `id` at that moment, so re-inserting would only
    // union two ids already in one class. Skipping it spares a hash-cons
    // probe per new node.
    if (node == created_[id]) continue;
    std::optional<Id> previous = memo_.insert(node, id, created_);
    if (previous && perform_union(*previous, id)) ++merges;
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
  constexpr std::size_t kLookahead = 8;
  for (std::size_t t = 0; t < touched_.size(); ++t) {
    if (t + kLookahead < touched_.size()) prefetch_class(touched_[t + kLookahead]);
    Id root = union_find_.find_compress(touched_[t]);
    EClass& eclass = class_record(root);
    if (eclass.tidied_in_ == rebuild_count_) continue;
    eclass.tidied_in_ = rebuild_count_;
    tidy_class(eclass);
  }
  touched_.clear();
  index_.drop_stale([this](Id id) { return union_find_.parent(id) == id; });
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
    if (!is_indexed_under(eclass, op)) index_under(eclass, op);
  }
}

bool EGraph::is_indexed_under(const EClass& eclass, GlobalSymbol op) const {
  if (eclass.indexed_op_ == op) return true;
  if (!eclass.more_indexed_ops_) return false;
  const auto& more = more_indexed_ops_.at(eclass.id);
  return std::find(more.begin(), more.end(), op) != more.end();
}

void EGraph::index_under(EClass& eclass, GlobalSymbol op) {
  if (eclass.indexed_op_.number() == 0) {
    eclass.indexed_op_ = op;
  } else {
    more_indexed_ops_[eclass.id].push_back(op);
    eclass.more_indexed_ops_ = true;
  }
  index_.add(op, eclass.id);
}

// The class is merged away: the lists it is in name a dead class now.
void EGraph::unindex(EClass& eclass) {
  if (eclass.indexed_op_.number() != 0) index_.mark_stale(eclass.indexed_op_);
  if (eclass.more_indexed_ops_) {
    auto found = more_indexed_ops_.find(eclass.id);
    for (GlobalSymbol op : found->second) index_.mark_stale(op);
    more_indexed_ops_.erase(found);
  }
  eclass.indexed_op_ = GlobalSymbol::from_number(0);
  eclass.more_indexed_ops_ = false;
}

}  // namespace korvane::egraph
