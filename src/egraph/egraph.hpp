// The e-graph: terms over operator symbols grouped into equivalence classes,
// with hash-consing (each distinct e-node is stored once) and congruence
// closure (equal operators over equal children end up in one class).
//
// Typical use, as the rewrite engine does it:
//
//   EGraph graph;
//   Id a = graph.add(SymbolLang::from_op("src|a", {}));
//   Id b = graph.add(SymbolLang::from_op("src|b", {}));
//   Id ab = graph.add(SymbolLang::from_op("op|add", {a, b}));
//   graph.union_(a, b);
//   graph.rebuild();          // restores congruence; required before searching
//   Id canonical = graph.find(ab);
//
// An e-graph belongs to one thread. Broken invariants (an id that was never
// created, a missing class record) throw korvane::InternalError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "egraph/chunked_vector.hpp"
#include "egraph/egraph_tables.hpp"
#include "egraph/enode.hpp"
#include "egraph/small_vector.hpp"
#include "egraph/symbol.hpp"
#include "large_alloc.hpp"
#include "prefetch.hpp"

namespace korvane::egraph {

class UnionFind {
 public:
  // Appends a new singleton set and returns its id.
  Id make_set();
  std::size_t size() const { return parents_.size(); }
  void reserve(std::size_t count) { parents_.reserve(count); }

  Id parent(Id id) const { return parents_[checked(id)]; }
  void prefetch(Id id) const { korvane::prefetch(parents_.data() + id); }
  void set_parent(Id id, Id parent) { parents_[checked(id)] = parent; }

  // The root of `id`'s set; changes nothing.
  Id find(Id id) const {
    checked(id);
    while (parents_[id] != id) id = parents_[id];
    return id;
  }

  // The root, halving the path on the way (every visited node skips a level).
  Id find_compress(Id id) {
    checked(id);
    while (parents_[id] != id) {
      parents_[id] = parents_[parents_[id]];
      id = parents_[id];
    }
    return id;
  }

 private:
  Id checked(Id id) const {
    if (id >= parents_.size()) [[unlikely]] throw_out_of_range(id);
    return id;
  }
  [[noreturn]] void throw_out_of_range(Id id) const;

  std::vector<Id, LargeAllocator<Id>> parents_;
};

// The record of one canonical class. A record fills one cache line (and is
// aligned to it): e-matching reads one record per candidate class, and a
// record straddling two lines would cost two memory reads.
struct alignas(64) EClass {
  Id id = 0;
  // The class's e-nodes; sorted and free of duplicates after a rebuild.
  SmallVector<SymbolLang, 1> nodes;
  // The parent list: one entry per creation of an e-node that has this class
  // among its children (twice for a node with the class twice), moved and
  // concatenated by unions, never deduplicated. An entry is the id the e-node
  // was created with; the e-node as it was created is
  // EGraph::created_node(entry), so the list holds the (e-node, id) pairs
  // without copying each e-node.
  SmallVector<Id, 2> parents;

  // A class always holds at least one e-node; the slot of a merged-away id
  // holds none.
  bool is_live() const { return !nodes.empty(); }

 private:
  friend class EGraph;
  // The e-graph's bookkeeping for rebuilds: the rebuild that last tidied the
  // class, and the operators under which the search index lists it (the
  // first here, any further ones in a side table; most classes have one).
  std::uint32_t tidied_in_ = 0;
  GlobalSymbol indexed_op_ = GlobalSymbol::from_number(0);
  bool more_indexed_ops_ = false;
};

static_assert(sizeof(EClass) == 64, "a class record fills exactly one cache line");

class EGraph {
 public:
  EGraph();
  EGraph(EGraph&& other) noexcept;  // leaves `other` empty
  EGraph& operator=(EGraph&& other) noexcept;
  void swap(EGraph& other) noexcept;
  EGraph(const EGraph&) = delete;
  EGraph& operator=(const EGraph&) = delete;
  ~EGraph();

  // Adds an e-node whose children are existing ids and returns the canonical
  // id of the class holding it. A node already present (after canonicalizing
  // its children) returns its class and leaves the clean flag as it was.
  Id add(SymbolLang node);

  // The canonical id of the class holding `node`, if any. Read-only.
  std::optional<Id> lookup(SymbolLang node) const;

  // Whether `id`'s class is known to hold `node` (children canonicalized):
  // then add(node) would return that class. Only short node lists are
  // searched; for a long one the answer is false (unknown). Read-only.
  bool holds(Id id, SymbolLang node) const;

  // The canonical id of `id`. Read-only: no path compression.
  Id find(Id id) const { return union_find_.find(id); }

  // Merges the classes of `a` and `b`; true if they were distinct. Always
  // marks the e-graph not clean. The class with the longer parent list
  // survives (on a tie, the class of `a`).
  bool union_(Id a, Id b);

  // Restores congruence and tidies the classes: canonical children, sorted
  // node lists without duplicates, an up-to-date search index. Returns the
  // number of merges it performed and sets the clean flag.
  std::size_t rebuild();

  bool is_clean() const { return clean_; }

  // The record of `id`'s class. Throws "Invalid id {root}" if there is none.
  const EClass& class_of(Id id) const {
    Id root = find(id);
    const EClass& eclass = classes_[root];
    if (!eclass.is_live()) [[unlikely]] throw_invalid_id(root);
    return eclass;
  }

  // Number of classes.
  std::size_t class_count() const { return class_count_; }
  // Number of hash-cons entries, stale forms included; never shrinks.
  std::size_t hashcons_size() const;
  // Number of ids ever created.
  std::size_t id_count() const { return union_find_.size(); }

  // Every class, in the class table's order (ascending id).
  class ClassRange;
  ClassRange classes() const;

  // The search index: the canonical ids of the classes holding at least one
  // e-node with operator `op`, each once. Valid while the e-graph is clean.
  const std::vector<Id>& classes_with_op(GlobalSymbol op) const;

  // Hints that `id`'s class record (and union-find entry) will be read soon.
  // E-matching visits candidate classes scattered over the whole table; with
  // a hint a few candidates ahead their memory reads overlap.
  void prefetch_class(Id id) const {
    if (id < classes_.size()) {
      korvane::prefetch(&classes_[id]);
      union_find_.prefetch(id);
    }
  }

  // Hints that the node `op` over `children` will be added soon: starts
  // reading the memory its children's classes and its hash-cons probe will
  // touch. Loading a large graph is a stream of such random reads; issued a
  // few nodes ahead they overlap instead of following one another.
  void prefetch_add(GlobalSymbol op, std::span<const Id> children) const;
  // The same for the hash-cons probe alone, when the children's classes are
  // known to be in cache (a graph loaded in order mostly reads recent ones).
  void prefetch_probe(GlobalSymbol op, std::span<const Id> children) const {
    memo_.prefetch(op, children);
  }

  // The e-node that `id` was created for, with its children as they were
  // when it was added (each id names the class one e-node was created in).
  const SymbolLang& created_node(Id id) const;

  // The worklist of pending re-canonicalizations, for tests and diagnostics.
  std::size_t pending_count() const { return worklist_.size(); }

  // Makes room for `node_count` more e-nodes; only an optimization.
  void reserve(std::size_t node_count);

 private:
  bool perform_union(Id a, Id b);
  std::size_t process_unions();
  void index_new_classes();
  void rebuild_classes();
  void tidy_class(EClass& eclass);
  bool is_indexed_under(const EClass& eclass, GlobalSymbol op) const;
  void index_under(EClass& eclass, GlobalSymbol op);
  void unindex(EClass& eclass);
  EClass& class_record(Id root) {
    EClass& eclass = classes_[root];
    if (!eclass.is_live()) [[unlikely]] throw_invalid_id(root);
    return eclass;
  }
  [[noreturn]] void throw_invalid_id(Id root) const;
  void canonicalize_compress(SymbolLang& node) {
    for (Id& child : node.children) child = union_find_.find_compress(child);
  }
  void canonicalize(SymbolLang& node) const {
    for (Id& child : node.children) child = union_find_.find(child);
  }

  UnionFind union_find_;
  // created_[id]: the e-node id was created for, never canonicalized. Parent
  // lists and the worklist name their (e-node, id) pairs by the id alone.
  ChunkedVector<SymbolLang> created_;
  detail::NodeMemo memo_;
  // Ids whose creation e-nodes wait for re-canonicalization; used as a stack.
  std::vector<Id> worklist_;
  // The class table, addressed by id; slots of merged-away ids are not live.
  ChunkedVector<EClass> classes_;
  std::size_t class_count_ = 0;
  detail::SearchIndex index_;
  // The operators beyond the first under which a class is indexed.
  std::unordered_map<Id, SmallVector<GlobalSymbol, 2>> more_indexed_ops_;
  // Ids whose classes may need tidying at the next rebuild: new classes,
  // union survivors and the holders of nodes whose children were merged.
  std::vector<Id> touched_;
  std::uint32_t rebuild_count_ = 0;
  bool clean_ = false;
  // Whether a union has merged two classes since the last rebuild.
  bool unioned_ = false;
};

class EGraph::ClassRange {
 public:
  class iterator {
   public:
    using value_type = EClass;
    using difference_type = std::ptrdiff_t;
    using reference = const EClass&;
    using pointer = const EClass*;
    using iterator_category = std::forward_iterator_tag;

    iterator() = default;
    iterator(const ChunkedVector<EClass>* table, std::size_t at) : table_(table), at_(at) {
      skip_dead();
    }
    const EClass& operator*() const { return (*table_)[at_]; }
    const EClass* operator->() const { return &(*table_)[at_]; }
    iterator& operator++() {
      ++at_;
      skip_dead();
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.at_ == b.at_; }

   private:
    void skip_dead() {
      while (at_ < table_->size() && !(*table_)[at_].is_live()) ++at_;
    }
    const ChunkedVector<EClass>* table_ = nullptr;
    std::size_t at_ = 0;
  };

  explicit ClassRange(const ChunkedVector<EClass>& table) : table_(&table) {}
  iterator begin() const { return iterator(table_, 0); }
  iterator end() const { return iterator(table_, table_->size()); }

 private:
  const ChunkedVector<EClass>* table_;
};

inline EGraph::ClassRange EGraph::classes() const { return ClassRange(classes_); }

}  // namespace korvane::egraph
