#include "egraph/egraph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "error.hpp"

namespace korvane::egraph {
namespace {

SymbolLang leaf(const char* op) { return SymbolLang::from_op(op, {}); }
SymbolLang node(const char* op, Children children) { return SymbolLang::from_op(op, std::move(children)); }

TEST(EGraphTest, AddingTheSameNodeTwiceReturnsTheSameIdAndKeepsTheCleanFlag) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Id fx = g.add(node("f", {x}));
  EXPECT_FALSE(g.is_clean());
  EXPECT_EQ(g.rebuild(), 0u);
  EXPECT_TRUE(g.is_clean());
  EXPECT_EQ(g.add(node("f", {x})), fx);
  EXPECT_TRUE(g.is_clean());
  EXPECT_EQ(g.lookup(node("f", {x})), fx);
  EXPECT_EQ(g.lookup(node("f", {fx})), std::nullopt);
  EXPECT_EQ(g.hashcons_size(), 2u);
  EXPECT_EQ(g.class_count(), 2u);
  g.add(leaf("y"));
  EXPECT_FALSE(g.is_clean());
}

TEST(EGraphTest, UnionKeepsTheRootWithTheLongerParentListAndAddCanonicalizesFirst) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Id y = g.add(leaf("y"));
  Id fy = g.add(node("f", {y}));
  EXPECT_TRUE(g.union_(x, y));
  EXPECT_EQ(g.find(x), y);
  EXPECT_EQ(g.find(y), y);
  // f(x) is f(y) once x's child is canonicalized: found before any rebuild.
  EXPECT_EQ(g.add(node("f", {x})), fy);
  EXPECT_EQ(g.class_count(), 2u);
}

TEST(EGraphTest, UnionOfOneClassReturnsFalseButMarksDirty) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Id y = g.add(leaf("y"));
  g.rebuild();
  EXPECT_FALSE(g.union_(x, x));
  EXPECT_FALSE(g.is_clean());
  g.rebuild();
  EXPECT_TRUE(g.union_(x, y));
  g.rebuild();
  EXPECT_FALSE(g.union_(y, x));
  EXPECT_FALSE(g.is_clean());
}

TEST(EGraphTest, EqualParentListsKeepTheFirstArgumentsRoot) {
  EGraph g;
  Id a = g.add(leaf("a"));
  Id b = g.add(leaf("b"));
  EXPECT_TRUE(g.union_(b, a));
  EXPECT_EQ(g.find(a), b);
  // Node lists concatenate with the survivor's first on equal lengths.
  g.rebuild();
  const EClass& merged = g.class_of(a);
  EXPECT_EQ(merged.id, b);
  ASSERT_EQ(merged.nodes.size(), 2u);
}

// x, y, f(x) and f(y), rebuilt.
struct FOfTwoLeaves {
  EGraph g;
  Id x = g.add(leaf("x"));
  Id y = g.add(leaf("y"));
  Id fx = g.add(node("f", {x}));
  Id fy = g.add(node("f", {y}));
  FOfTwoLeaves() { g.rebuild(); }
};

TEST(EGraphTest, CongruenceMergesParentsOnRebuild) {
  auto [g, x, y, fx, fy] = FOfTwoLeaves();
  EXPECT_TRUE(g.union_(x, y));
  EXPECT_NE(g.find(fx), g.find(fy));
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_EQ(g.find(fx), g.find(fy));
  EXPECT_EQ(g.find(fy), fx);  // equal parent lists; the earlier memo entry is the first argument
  EXPECT_EQ(g.rebuild(), 0u);
  EXPECT_EQ(g.class_count(), 2u);
  EXPECT_EQ(g.hashcons_size(), 4u);  // the stale f(x) form stays

  // The merged class keeps one node: both became f(canonical x).
  const EClass& f = g.class_of(fy);
  ASSERT_EQ(f.nodes.size(), 1u);
  EXPECT_EQ(f.nodes[0], node("f", {g.find(x)}));
}

TEST(EGraphTest, MovedFromEGraphIsEmptyAndUsable) {
  EGraph g;
  Id x = g.add(leaf("x"));
  g.add(node("f", {x}));
  EGraph taken = std::move(g);
  EXPECT_EQ(taken.class_count(), 2u);
  EXPECT_EQ(g.class_count(), 0u);  // NOLINT: moved-from e-graphs are empty by contract
  EXPECT_EQ(g.hashcons_size(), 0u);
  EXPECT_EQ(g.add(leaf("y")), 0u);
  g.rebuild();
  EXPECT_EQ(g.classes_with_op(intern("y")), std::vector<Id>{0});
  EXPECT_TRUE(g.classes_with_op(intern("f")).empty());
}

TEST(EGraphTest, HoldsFindsOnlyWhatAddWouldReturnThatClassFor) {
  auto [g, x, y, fx, fy] = FOfTwoLeaves();
  EXPECT_TRUE(g.holds(fx, node("f", {x})));
  EXPECT_FALSE(g.holds(fy, node("f", {x})));
  EXPECT_FALSE(g.holds(fx, node("g", {x})));
  // Between rebuilds a merged class lists both classes' nodes as they were;
  // the one whose child is the surviving root is found, and add() agrees.
  g.union_(x, y);
  const Id root = g.find(x);
  g.union_(fx, fy);
  EXPECT_TRUE(g.holds(fx, node("f", {root})));
  EXPECT_EQ(g.add(node("f", {root})), g.find(fx));
  g.rebuild();
  EXPECT_TRUE(g.holds(fx, node("f", {x})));
  EXPECT_TRUE(g.holds(fy, node("f", {y})));

  // A class with a long node list is not searched.
  EGraph big;
  Id a = big.add(leaf("a"));
  for (int k = 0; k < 12; ++k) big.union_(a, big.add(leaf(("b" + std::to_string(k)).c_str())));
  big.rebuild();
  EXPECT_FALSE(big.holds(a, leaf("a")));
}

TEST(EGraphTest, RebuildWithNothingPendingReturnsZeroAndSetsClean) {
  EGraph g;
  EXPECT_FALSE(g.is_clean());
  EXPECT_EQ(g.rebuild(), 0u);
  EXPECT_TRUE(g.is_clean());
  EXPECT_EQ(g.class_count(), 0u);
}

TEST(EGraphTest, ClassOfAndFindRejectUnknownIds) {
  EGraph g;
  g.add(leaf("x"));
  EXPECT_THROW(g.find(5), InternalError);
  EXPECT_THROW(g.class_of(1), InternalError);
  EXPECT_THROW(g.add(node("f", {3})), InternalError);
  EXPECT_THROW(g.union_(0, 9), InternalError);
}

TEST(EGraphTest, ParentListsRecordEveryCreationAndFollowUnions) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Id y = g.add(leaf("y"));
  g.add(node("pair", {x, x}));
  g.add(node("f", {y}));
  EXPECT_EQ(g.class_of(x).parents.size(), 2u);  // once per occurrence
  EXPECT_EQ(g.class_of(y).parents.size(), 1u);
  g.union_(y, x);  // x has the longer list and survives
  EXPECT_EQ(g.find(y), x);
  EXPECT_EQ(g.class_of(x).parents.size(), 3u);
}

TEST(EGraphTest, SearchIndexListsClassesByOperator) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Id y = g.add(leaf("y"));
  Id fx = g.add(node("f", {x}));
  Id gy = g.add(node("g", {y}));
  g.rebuild();
  GlobalSymbol f = intern("f");
  GlobalSymbol gop = intern("g");
  EXPECT_EQ(g.classes_with_op(f), std::vector<Id>{fx});
  EXPECT_EQ(g.classes_with_op(gop), std::vector<Id>{gy});
  EXPECT_TRUE(g.classes_with_op(intern("egraph-absent-op")).empty());

  g.union_(fx, gy);
  g.rebuild();
  Id merged = g.find(fx);
  EXPECT_EQ(g.classes_with_op(f), std::vector<Id>{merged});
  EXPECT_EQ(g.classes_with_op(gop), std::vector<Id>{merged});
}

// A literal, unoptimized model of the e-graph's algorithms: plain maps, parent
// lists of copied e-nodes, every class tidied at every rebuild. The e-graph
// must agree with it id for id: same results of add, union and rebuild, same
// roots, same node lists and sizes.
class ReferenceEGraph {
 public:
  Id add(SymbolLang node) {
    for (Id& child : node.children) child = find(child);
    if (auto found = memo_.find(node); found != memo_.end()) return find(found->second);
    Id id = static_cast<Id>(parent_.size());
    parent_.push_back(id);
    classes_[id].nodes = {node};
    for (Id child : node.children) classes_.at(child).parents.emplace_back(node, id);
    worklist_.emplace_back(node, id);
    memo_.emplace(node, id);
    return id;
  }

  Id find(Id id) const {
    while (parent_[id] != id) id = parent_[id];
    return id;
  }

  bool union_(Id a, Id b) {
    Id ra = find_compress(a);
    Id rb = find_compress(b);
    if (ra == rb) return false;
    bool b_survives = classes_.at(rb).parents.size() > classes_.at(ra).parents.size();
    Id winner = b_survives ? rb : ra;
    Id loser = b_survives ? ra : rb;
    parent_[loser] = winner;
    Class gone = std::move(classes_.at(loser));
    classes_.erase(loser);
    worklist_.insert(worklist_.end(), gone.parents.begin(), gone.parents.end());
    Class& kept = classes_.at(winner);
    concatenate(kept.nodes, gone.nodes);
    concatenate(kept.parents, gone.parents);
    return true;
  }

  std::size_t rebuild() {
    std::size_t merges = 0;
    while (!worklist_.empty()) {
      auto [node, id] = worklist_.back();
      worklist_.pop_back();
      for (Id& child : node.children) child = find_compress(child);
      auto found = memo_.find(node);
      if (found == memo_.end()) {
        memo_.emplace(node, id);
        continue;
      }
      Id previous = std::exchange(found->second, id);
      if (union_(previous, id)) ++merges;
    }
    for (auto& [id, eclass] : classes_) {
      for (SymbolLang& node : eclass.nodes) {
        for (Id& child : node.children) child = find_compress(child);
      }
      std::sort(eclass.nodes.begin(), eclass.nodes.end());
      eclass.nodes.erase(std::unique(eclass.nodes.begin(), eclass.nodes.end()), eclass.nodes.end());
    }
    return merges;
  }

  std::size_t hashcons_size() const { return memo_.size(); }
  std::size_t class_count() const { return classes_.size(); }
  const std::vector<SymbolLang>& nodes_of(Id root) const { return classes_.at(root).nodes; }

 private:
  struct Class {
    std::vector<SymbolLang> nodes;
    std::vector<std::pair<SymbolLang, Id>> parents;
  };

  template <class List>
  static void concatenate(List& into, List& other) {
    if (other.size() > into.size()) std::swap(into, other);
    into.insert(into.end(), other.begin(), other.end());
  }

  Id find_compress(Id id) {
    while (parent_[id] != id) {
      parent_[id] = parent_[parent_[id]];
      id = parent_[id];
    }
    return id;
  }

  std::vector<Id> parent_;
  std::map<SymbolLang, Id> memo_;
  std::vector<std::pair<SymbolLang, Id>> worklist_;
  std::map<Id, Class> classes_;
};

TEST(EGraphTest, AgreesWithTheReferenceModelIdForId) {
  const char* ops[] = {"a", "b", "f", "g", "h"};
  for (unsigned seed = 1; seed <= 30; ++seed) {
    std::mt19937 random(seed);
    EGraph g;
    ReferenceEGraph model;
    std::size_t ids = 0;
    for (int step = 0; step < 400; ++step) {
      int action = random() % 20;
      if (ids < 4 || action < 11) {
        Children children;
        int arity = ids == 0 ? 0 : random() % 4;
        for (int k = 0; k < arity; ++k) children.push_back(random() % ids);
        SymbolLang made = SymbolLang::from_op(ops[random() % 5], children);
        Id id = g.add(made);
        ASSERT_EQ(id, model.add(made)) << "seed " << seed << " step " << step;
        ids = std::max<std::size_t>(ids, id + 1);
      } else if (action < 18) {
        Id a = random() % ids;
        Id b = random() % ids;
        ASSERT_EQ(g.union_(a, b), model.union_(a, b)) << "seed " << seed << " step " << step;
      } else {
        ASSERT_EQ(g.rebuild(), model.rebuild()) << "seed " << seed << " step " << step;
        for (Id id = 0; id < ids; ++id) ASSERT_EQ(g.find(id), model.find(id));
        ASSERT_EQ(g.class_count(), model.class_count());
        ASSERT_EQ(g.hashcons_size(), model.hashcons_size());
        // Same classes with the same nodes, and a search index that lists
        // exactly the classes holding each operator.
        std::map<std::uint32_t, std::set<Id>> holders;
        for (const EClass& eclass : g.classes()) {
          const auto& expected = model.nodes_of(eclass.id);
          ASSERT_EQ(std::vector<SymbolLang>(eclass.nodes.begin(), eclass.nodes.end()), expected);
          for (const SymbolLang& n : eclass.nodes) holders[n.op.number()].insert(eclass.id);
        }
        for (const auto& [op, expected] : holders) {
          const auto& listed = g.classes_with_op(GlobalSymbol::from_number(op));
          ASSERT_EQ(listed.size(), expected.size());
          ASSERT_EQ(std::set<Id>(listed.begin(), listed.end()), expected);
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvane::egraph
