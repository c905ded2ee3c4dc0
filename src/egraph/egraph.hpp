// The e-graph: terms over operator symbols grouped into equivalence classes,
// with hash-consing (each distinct e-node is stored once) and congruence
// closure (equal operators over equal children end up in one class).
//
// Typical use, as the rewrite engine does it:
//
//   EGraph graph;
//   Id a = graph.add(SymbolLang::from_op("source|name=sa", {}));
//   Id b = graph.add(SymbolLang::from_op("source|name=sb", {}));
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
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/small_vector.hpp"
#include "egraph/symbol.hpp"

namespace korvane::egraph {

// An e-class id: dense from 0 in creation order. Canonical when the union-find
// maps it to itself.
using Id = std::uint32_t;

// Child lists of up to three ids live inside the e-node.
using Children = SmallVector<Id, 3>;

// An e-node: an operator symbol applied to an ordered list of class ids.
struct SymbolLang {
  GlobalSymbol op;
  Children children;

  SymbolLang(GlobalSymbol op_symbol, Children child_ids)
      : op(op_symbol), children(std::move(child_ids)) {}

  // The e-node for an operator text: interns the text. Cannot fail.
  static SymbolLang from_op(std::string_view op_text, Children child_ids) {
    return SymbolLang(GlobalSymbol::intern(op_text), std::move(child_ids));
  }

  // Same operator and same number of children; the child ids are not compared.
  bool matches(const SymbolLang& other) const {
    return op == other.op && children.size() == other.children.size();
  }

  friend bool operator==(const SymbolLang&, const SymbolLang&) = default;
  // By operator number (unsigned), then the child lists element by element;
  // a prefix orders first.
  friend auto operator<=>(const SymbolLang&, const SymbolLang&) = default;
};

std::uint64_t hash_enode(const SymbolLang& node);

// "(op c1 c2)" with child ids in decimal, or "op" without children.
std::ostream& operator<<(std::ostream& out, const SymbolLang& node);

// A parent entry: an e-node as it was created and the id it was created with.
using ParentPair = std::pair<SymbolLang, Id>;

class UnionFind {
 public:
  // Appends a new singleton set and returns its id.
  Id make_set();
  std::size_t size() const { return parents_.size(); }

  Id parent(Id id) const { return parents_[checked(id)]; }
  void set_parent(Id id, Id parent) { parents_[checked(id)] = parent; }

  // The root of `id`'s set; changes nothing.
  Id find(Id id) const;
  // The root, halving the path on the way (every visited node skips a level).
  Id find_compress(Id id);

 private:
  Id checked(Id id) const;
  std::vector<Id> parents_;
};

// The record of one canonical class.
struct EClass {
  Id id = 0;
  // The class's e-nodes; sorted and free of duplicates after a rebuild.
  SmallVector<SymbolLang, 1> nodes;
  // One entry per creation of an e-node that has this class among its
  // children; moved and concatenated by unions, never deduplicated.
  SmallVector<ParentPair, 1> parents;

  // Bookkeeping of the e-graph: whether the slot holds a class, the operators
  // under which the class is listed in the search index, and the rebuild that
  // last tidied the class.
  bool live = false;
  SmallVector<GlobalSymbol, 2> indexed_ops;
  std::uint32_t tidied_in = 0;
};

class EGraph {
 public:
  EGraph();
  EGraph(EGraph&&) noexcept;
  EGraph& operator=(EGraph&&) noexcept;
  EGraph(const EGraph&) = delete;
  EGraph& operator=(const EGraph&) = delete;
  ~EGraph();

  // Adds an e-node whose children are existing ids and returns the canonical
  // id of the class holding it. A node already present (after canonicalizing
  // its children) returns its class and leaves the clean flag as it was.
  Id add(SymbolLang node);

  // The canonical id of the class holding `node`, if any. Read-only.
  std::optional<Id> lookup(SymbolLang node) const;

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
  const EClass& class_of(Id id) const;

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

  // The worklist of pending re-canonicalizations, for tests and diagnostics.
  std::size_t pending_count() const { return worklist_.size(); }

  // Makes room for `node_count` more e-nodes; only an optimization.
  void reserve(std::size_t node_count);

 private:
  class NodeMemo;
  class SearchIndex;

  bool perform_union(Id a, Id b);
  std::size_t process_unions();
  void rebuild_classes();
  void tidy_class(EClass& eclass);
  EClass& class_record(Id root);
  void canonicalize_compress(SymbolLang& node);
  void canonicalize(SymbolLang& node) const;

  UnionFind union_find_;
  std::unique_ptr<NodeMemo> memo_;
  std::vector<ParentPair> worklist_;
  // The class table, addressed by id; slots of merged-away ids are not live.
  std::vector<EClass> classes_;
  std::size_t class_count_ = 0;
  std::unique_ptr<SearchIndex> index_;
  // Ids whose classes may need tidying at the next rebuild: new classes,
  // union survivors and the holders of nodes whose children were merged.
  std::vector<Id> touched_;
  std::uint32_t rebuild_count_ = 0;
  bool clean_ = false;
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
    iterator(const EClass* at, const EClass* end) : at_(at), end_(end) { skip_dead(); }
    const EClass& operator*() const { return *at_; }
    const EClass* operator->() const { return at_; }
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
      while (at_ != end_ && !at_->live) ++at_;
    }
    const EClass* at_ = nullptr;
    const EClass* end_ = nullptr;
  };

  ClassRange(const EClass* first, const EClass* last) : first_(first), last_(last) {}
  iterator begin() const { return iterator(first_, last_); }
  iterator end() const { return iterator(last_, last_); }

 private:
  const EClass* first_;
  const EClass* last_;
};

inline EGraph::ClassRange EGraph::classes() const {
  return ClassRange(classes_.data(), classes_.data() + classes_.size());
}

}  // namespace korvane::egraph
