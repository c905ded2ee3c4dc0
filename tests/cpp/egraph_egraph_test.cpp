#include "egraph/egraph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "error.hpp"

namespace korvane::egraph {
namespace {

SymbolLang leaf(const char* op) { return SymbolLang::from_op(op, {}); }
SymbolLang node(const char* op, Children children) { return SymbolLang::from_op(op, std::move(children)); }

TEST(SymbolLangTest, SmallNodesStayInline) {
  SymbolLang three = node("f", {1, 2, 3});
  EXPECT_TRUE(three.children.is_inline());
  SymbolLang copy = three;
  EXPECT_TRUE(copy.children.is_inline());
  EXPECT_EQ(copy, three);
  SymbolLang four = node("f", {1, 2, 3, 4});
  EXPECT_FALSE(four.children.is_inline());
  SymbolLang moved = std::move(four);
  EXPECT_EQ(moved.children.size(), 4u);
  EXPECT_EQ(moved.children[3], 4u);
}

TEST(SymbolLangTest, OrderIsBySymbolNumberThenChildrenWithPrefixFirst) {
  GlobalSymbol f = intern("egraph-order-f");
  SymbolLang a(f, {1, 2});
  SymbolLang b(f, {1, 3});
  SymbolLang prefix(f, {1});
  EXPECT_LT(a, b);
  EXPECT_LT(prefix, a);
  SymbolLang other(intern("egraph-order-g"), {0});
  EXPECT_EQ(other < a, other.op.number() < f.number());
  EXPECT_TRUE(a.matches(SymbolLang(f, {7, 7})));
  EXPECT_FALSE(a.matches(prefix));
}

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

TEST(EGraphTest, CongruenceMergesParentsOnRebuild) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Id y = g.add(leaf("y"));
  Id fx = g.add(node("f", {x}));
  Id fy = g.add(node("f", {y}));
  g.rebuild();
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

TEST(EGraphTest, CongruencePropagatesUpwardThroughSeveralLevels) {
  EGraph g;
  Id a = g.add(leaf("a"));
  Id b = g.add(leaf("b"));
  Id ga = g.add(node("g", {a}));
  Id fa = g.add(node("f", {a}));
  Id fb = g.add(node("f", {b}));
  Id hfa = g.add(node("h", {fa, ga}));
  Id hfb = g.add(node("h", {fb, g.add(node("g", {b}))}));
  g.rebuild();
  g.union_(a, b);
  EXPECT_EQ(g.rebuild(), 3u);  // f, g and then h
  EXPECT_EQ(g.find(hfa), g.find(hfb));
  EXPECT_EQ(g.class_count(), 4u);
}

TEST(EGraphTest, HashconsSizeNeverShrinksWhileClassCountDoes) {
  EGraph g;
  std::vector<Id> leaves;
  for (int i = 0; i < 10; ++i) leaves.push_back(g.add(SymbolLang::from_op("v" + std::to_string(i), {})));
  std::vector<Id> users;
  for (Id leaf_id : leaves) users.push_back(g.add(node("use", {leaf_id})));
  g.rebuild();
  std::size_t before = g.hashcons_size();
  for (int i = 1; i < 10; ++i) g.union_(leaves[0], leaves[i]);
  g.rebuild();
  EXPECT_GE(g.hashcons_size(), before);
  EXPECT_EQ(g.class_count(), 2u);
  for (Id user : users) EXPECT_EQ(g.find(user), g.find(users[0]));
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

// The incremental tidying of a rebuild must leave every class exactly as a
// full pass would: canonical children, sorted and unique node lists,
// congruence, memo consistency and an exact search index.
void expect_rebuilt_invariants(const EGraph& g) {
  ASSERT_TRUE(g.is_clean());
  std::size_t classes = 0;
  std::set<std::pair<std::uint32_t, Id>> index_expected;
  std::vector<SymbolLang> all_nodes;
  for (const EClass& eclass : g.classes()) {
    ++classes;
    EXPECT_EQ(g.find(eclass.id), eclass.id);
    for (std::size_t i = 0; i < eclass.nodes.size(); ++i) {
      const SymbolLang& n = eclass.nodes[i];
      for (Id child : n.children) EXPECT_EQ(g.find(child), child);
      if (i > 0) {
        EXPECT_LT(eclass.nodes[i - 1], n);
      }
      EXPECT_EQ(g.lookup(n), eclass.id);
      index_expected.insert({n.op.number(), eclass.id});
      all_nodes.push_back(n);
    }
  }
  EXPECT_EQ(classes, g.class_count());
  std::sort(all_nodes.begin(), all_nodes.end());
  EXPECT_EQ(std::adjacent_find(all_nodes.begin(), all_nodes.end()), all_nodes.end())
      << "two classes hold an equal node";
  std::set<std::pair<std::uint32_t, Id>> index_actual;
  std::set<std::uint32_t> ops;
  for (const auto& [op, id] : index_expected) ops.insert(op);
  for (std::uint32_t op : ops) {
    const auto& listed = g.classes_with_op(GlobalSymbol::from_number(op));
    std::set<Id> unique(listed.begin(), listed.end());
    EXPECT_EQ(unique.size(), listed.size()) << "a class is listed twice";
    for (Id id : listed) index_actual.insert({op, id});
  }
  EXPECT_EQ(index_actual, index_expected);
}

TEST(EGraphTest, RandomUnionsKeepTheRebuildInvariants) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    EGraph g;
    std::vector<Id> ids;
    const char* ops[] = {"a", "b", "f", "g", "h"};
    for (int i = 0; i < 6; ++i) ids.push_back(g.add(SymbolLang::from_op("leaf" + std::to_string(i), {})));
    for (int step = 0; step < 200; ++step) {
      int action = random() % 10;
      if (action < 6) {
        const char* op = ops[random() % 5];
        Children children;
        int arity = random() % 3;
        for (int k = 0; k < arity; ++k) children.push_back(ids[random() % ids.size()]);
        ids.push_back(g.add(SymbolLang::from_op(op, children)));
      } else if (action < 9) {
        g.union_(ids[random() % ids.size()], ids[random() % ids.size()]);
      } else {
        g.rebuild();
        expect_rebuilt_invariants(g);
      }
    }
    g.rebuild();
    expect_rebuilt_invariants(g);
  }
}

}  // namespace
}  // namespace korvane::egraph
