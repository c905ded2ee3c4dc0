#include "egraph/pattern.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "error.hpp"

namespace korvane::egraph {
namespace {

Pattern pattern(const char* text) {
  Result<Pattern, PatternError> parsed = Pattern::from_str(text);
  if (!parsed) throw std::runtime_error("test pattern does not parse: " + to_string(parsed.error()));
  return std::move(*parsed);
}

Var var(const char* name) { return Var::from_name(name); }
SymbolLang leaf(const char* op) { return SymbolLang::from_op(op, {}); }
SymbolLang node(const char* op, Children children) { return SymbolLang::from_op(op, std::move(children)); }

std::size_t count_substs(const std::vector<SearchMatches>& matches) {
  std::size_t total = 0;
  for (const SearchMatches& m : matches) total += m.substs.size();
  return total;
}

// ---------------------------------------------------------------------------
// Parsing and compaction

TEST(PatternParse, AtomsListsAndVariables) {
  auto ast = parse_pattern("  (op|add ?a (op|neg ?b))\n");
  ASSERT_TRUE(ast);
  ASSERT_EQ(ast->size(), 4u);
  EXPECT_TRUE((*ast)[0].is_var);
  EXPECT_EQ((*ast)[0].as_var(), var("?a"));
  EXPECT_EQ((*ast)[2], ENodeOrVar::enode(SymbolLang::from_op("op|neg", {1})));
  EXPECT_EQ(ast->root(), ENodeOrVar::enode(SymbolLang::from_op("op|add", {0, 2})));
  EXPECT_EQ(to_string(*ast), "(op|add ?a (op|neg ?b))");

  auto question = parse_pattern("?");
  ASSERT_TRUE(question);
  EXPECT_FALSE(question->root().is_var);  // "?" alone is an operator
  auto single_var_list = parse_pattern("(?x)");
  ASSERT_TRUE(single_var_list);
  EXPECT_TRUE(single_var_list->root().is_var);
  auto quoted = parse_pattern("(\"op|two words\" ?x)");
  ASSERT_TRUE(quoted);
  EXPECT_EQ(quoted->root().node.op.as_str(), "op|two words");
}

TEST(PatternParse, ErrorsAreValues) {
  auto var_op = parse_pattern("(?x a)");
  ASSERT_FALSE(var_op);
  EXPECT_EQ(var_op.error().kind, PatternError::Kind::BadOp);
  EXPECT_EQ(var_op.error().unexpected_var, "?x");

  for (const char* empty : {"", "   ", "()", "(f ())"}) {
    auto result = parse_pattern(empty);
    ASSERT_FALSE(result) << empty;
    EXPECT_EQ(result.error().kind, PatternError::Kind::EmptySexp) << empty;
  }

  auto head = parse_pattern("((a) b)");
  ASSERT_FALSE(head);
  EXPECT_EQ(head.error().kind, PatternError::Kind::HeadList);
  EXPECT_EQ(head.error().head_list, Sexp::list({Sexp::string("a")}));

  auto bad = parse_pattern("(op|add ?a");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind, PatternError::Kind::BadSexp);
  EXPECT_EQ(bad.error().sexp_error, (ParseError{"End of file reached", 1, 11}));
}

TEST(PatternCompact, SharesEqualSubPatterns) {
  auto repeated = parse_pattern("(op|add ?a ?a)");
  ASSERT_TRUE(repeated);
  PatternAst compacted = compact(*repeated);
  ASSERT_EQ(compacted.size(), 2u);
  EXPECT_EQ(compacted.root(), ENodeOrVar::enode(SymbolLang::from_op("op|add", {0, 0})));

  auto shared = parse_pattern("(f (g ?x) (g ?x) ?y)");
  PatternAst term = compact(*shared);
  ASSERT_EQ(term.size(), 4u);  // ?x, (g ?x), ?y, root
  EXPECT_EQ(term.root(), ENodeOrVar::enode(SymbolLang::from_op("f", {1, 1, 2})));
  EXPECT_EQ(to_string(term), "(f (g ?x) (g ?x) ?y)");
}

TEST(PatternVars, DistinctInOrderOfFirstAppearance) {
  EXPECT_EQ(pattern("(f ?b (g ?a ?b) ?c)").vars(), (std::vector<Var>{var("?b"), var("?a"), var("?c")}));
  EXPECT_TRUE(pattern("(f a b)").vars().empty());
}

// ---------------------------------------------------------------------------
// Compilation

TEST(PatternCompile, TwoVariableOperator) {
  Program program = pattern("(op|add ?a ?b)").program();
  ASSERT_EQ(program.instructions.size(), 1u);
  EXPECT_EQ(program.instructions[0],
            Instruction(Bind{SymbolLang::from_op("op|add", {0, 0}), 0, 1}));
  Subst expected;
  expected.insert(var("?a"), 1);
  expected.insert(var("?b"), 2);
  EXPECT_EQ(program.subst, expected);
}

TEST(PatternCompile, RepeatedVariableBecomesACompare) {
  Program program = pattern("(op|add ?a ?a)").program();
  ASSERT_EQ(program.instructions.size(), 2u);
  EXPECT_EQ(program.instructions[0],
            Instruction(Bind{SymbolLang::from_op("op|add", {0, 0}), 0, 1}));
  EXPECT_EQ(program.instructions[1], Instruction(Compare{2, 1}));
  Subst expected;
  expected.insert(var("?a"), 1);
  EXPECT_EQ(program.subst, expected);
}

TEST(PatternCompile, SingleVariableHasNoInstructions) {
  Program program = pattern("?x").program();
  EXPECT_TRUE(program.instructions.empty());
  Subst expected;
  expected.insert(var("?x"), 0);
  EXPECT_EQ(program.subst, expected);
}

TEST(PatternCompile, BoundSubTermsAreLookedUpAndConstantsBound) {
  Program program = pattern("(f ?x (g ?x) c)").program();
  // Bind f; ?x lands in register 1. The constant c (register 3) and the
  // ground (g ?x) (register 2) tie; the later sub-term goes first. The
  // constant is bound, never looked up; (g ?x) is checked by one lookup.
  ASSERT_EQ(program.instructions.size(), 3u);
  EXPECT_EQ(program.instructions[0], Instruction(Bind{SymbolLang::from_op("f", {0, 0, 0}), 0, 1}));
  EXPECT_EQ(program.instructions[1], Instruction(Bind{SymbolLang::from_op("c", {}), 3, 4}));
  EXPECT_EQ(program.instructions[2],
            Instruction(Lookup{{ENodeOrReg::in_reg(1), ENodeOrReg::enode(SymbolLang::from_op("g", {0}))}, 2}));
}

// ---------------------------------------------------------------------------
// Searching

struct AddGraph {
  EGraph g;
  Id x, y, z, xy, yx, xx;
  AddGraph() {
    x = g.add(leaf("x"));
    y = g.add(leaf("y"));
    z = g.add(leaf("z"));
    xy = g.add(node("op|add", {x, y}));
    yx = g.add(node("op|add", {y, x}));
    xx = g.add(node("op|add", {x, x}));
    g.add(node("op|neg", {z}));
    g.rebuild();
  }
};

TEST(PatternSearch, BindsChildrenInOrder) {
  AddGraph t;
  std::vector<SearchMatches> found = pattern("(op|add ?a ?b)").search(t.g);
  ASSERT_EQ(found.size(), 3u);
  std::set<std::pair<Id, std::pair<Id, Id>>> seen;
  for (const SearchMatches& m : found) {
    ASSERT_EQ(m.substs.size(), 1u);
    seen.insert({m.eclass, {*m.substs[0].get(var("?a")), *m.substs[0].get(var("?b"))}});
  }
  std::set<std::pair<Id, std::pair<Id, Id>>> expected{
      {t.xy, {t.x, t.y}}, {t.yx, {t.y, t.x}}, {t.xx, {t.x, t.x}}};
  EXPECT_EQ(seen, expected);
}

TEST(PatternSearch, RepeatedVariableMatchesOnlyEqualClasses) {
  AddGraph t;
  Pattern same = pattern("(op|add ?a ?a)");
  std::vector<SearchMatches> found = same.search(t.g);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].eclass, t.xx);

  t.g.union_(t.x, t.y);
  t.g.rebuild();
  // add(x, y), add(y, x) and add(x, x) are now one class holding one node.
  found = same.search(t.g);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].eclass, t.g.find(t.xy));
}

TEST(PatternSearch, VariablePatternMatchesEveryClassOnce) {
  AddGraph t;
  std::vector<SearchMatches> found = pattern("?x").search(t.g);
  ASSERT_EQ(found.size(), t.g.class_count());
  for (const SearchMatches& m : found) {
    ASSERT_EQ(m.substs.size(), 1u);
    EXPECT_EQ(m.substs[0].get(var("?x")), m.eclass);
  }
}

TEST(PatternSearch, TwoMatchingNodesInOneClassGiveOneSubstEachInNodeOrder) {
  AddGraph t;
  t.g.union_(t.xy, t.xx);
  t.g.rebuild();
  std::vector<SearchMatches> found = pattern("(op|add ?a ?b)").search(t.g);
  const SearchMatches* merged = nullptr;
  for (const SearchMatches& m : found) {
    if (m.eclass == t.g.find(t.xy)) merged = &m;
  }
  ASSERT_NE(merged, nullptr);
  ASSERT_EQ(merged->substs.size(), 2u);
  const auto& nodes = t.g.class_of(t.xy).nodes;
  ASSERT_EQ(nodes.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(merged->substs[k].get(var("?a")), nodes[k].children[0]);
    EXPECT_EQ(merged->substs[k].get(var("?b")), nodes[k].children[1]);
  }
}

TEST(PatternSearch, LimitStopsInTheMiddleOfAClass) {
  AddGraph t;
  t.g.union_(t.xy, t.xx);
  t.g.union_(t.xy, t.yx);
  t.g.rebuild();
  Pattern add = pattern("(op|add ?a ?b)");
  std::vector<SearchMatches> one = add.search_with_limit(t.g, 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].substs.size(), 1u);
  EXPECT_EQ(count_substs(add.search_with_limit(t.g, 2)), 2u);
  EXPECT_EQ(count_substs(add.search_with_limit(t.g, 100)), 3u);
  EXPECT_TRUE(add.search_with_limit(t.g, 0).empty());

  EXPECT_EQ(add.search_eclass_with_limit(t.g, t.xy, 2)->substs.size(), 2u);
  EXPECT_EQ(add.search_eclass_with_limit(t.g, t.z, 5), std::nullopt);
}

TEST(PatternSearch, LookupChecksGroundSubTerms) {
  EGraph g;
  Id a = g.add(leaf("a"));
  Id b = g.add(leaf("b"));
  Id ga = g.add(node("g", {a}));
  Id gb = g.add(node("g", {b}));
  Id c = g.add(leaf("c"));
  Id match = g.add(node("f", {a, ga, c}));
  g.add(node("f", {a, gb, c}));          // (g ?x) is in the wrong class
  g.add(node("f", {b, ga, c}));          // likewise
  g.add(node("f", {b, gb, g.add(leaf("d"))}));  // the constant differs
  g.rebuild();
  std::vector<SearchMatches> found = pattern("(f ?x (g ?x) c)").search(g);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].eclass, match);
  EXPECT_EQ(found[0].substs[0].get(var("?x")), a);
}

TEST(PatternSearch, DirtyEGraphIsRefused) {
  AddGraph t;
  t.g.add(leaf("fresh"));
  try {
    pattern("(op|add ?a ?b)").search(t.g);
    FAIL() << "searched a dirty e-graph";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "Tried to search a dirty e-graph!");
  }
  // Also when no class holds the operator yet: the index is out of date.
  EGraph never_rebuilt;
  never_rebuilt.add(node("op|add", {never_rebuilt.add(leaf("x")), never_rebuilt.add(leaf("y"))}));
  EXPECT_THROW(pattern("(op|add ?a ?b)").search(never_rebuilt), InternalError);
  EXPECT_TRUE(pattern("(op|add ?a ?b)").search(EGraph()).empty());
}

// The operator index must not change which matches a search finds.
TEST(PatternSearch, IndexedSearchFindsWhatAFullScanFinds) {
  std::mt19937 random(11);
  EGraph g;
  std::vector<Id> ids;
  const char* ops[] = {"op|add", "op|mul", "op|neg"};
  for (int i = 0; i < 8; ++i) ids.push_back(g.add(SymbolLang::from_op("s" + std::to_string(i), {})));
  for (int i = 0; i < 300; ++i) {
    const char* op = ops[random() % 3];
    Children children{ids[random() % ids.size()]};
    if (op[3] != 'n') children.push_back(ids[random() % ids.size()]);
    ids.push_back(g.add(SymbolLang::from_op(op, children)));
    if (i % 7 == 0) g.union_(ids[random() % ids.size()], ids[random() % ids.size()]);
  }
  g.rebuild();
  for (const char* text : {"(op|add ?a ?b)", "(op|add ?a ?a)", "(op|mul (op|neg ?a) ?b)", "?x"}) {
    Pattern p = pattern(text);
    std::set<std::pair<Id, std::string>> indexed, scanned;
    for (const SearchMatches& m : p.search(g)) {
      for (const Subst& s : m.substs) indexed.insert({m.eclass, to_string(s)});
    }
    for (const EClass& eclass : g.classes()) {
      if (auto m = p.search_eclass_with_limit(g, eclass.id, SIZE_MAX)) {
        for (const Subst& s : m->substs) scanned.insert({m->eclass, to_string(s)});
      }
    }
    EXPECT_EQ(indexed, scanned) << text;
    EXPECT_FALSE(scanned.empty()) << text;
  }
}

// ---------------------------------------------------------------------------
// Applying

TEST(PatternApply, UnionsTheInstanceWithTheMatchedClass) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Id y = g.add(leaf("y"));
  Id c = g.add(leaf("c"));
  g.rebuild();
  Subst subst;
  subst.insert(var("?a"), x);
  subst.insert(var("?b"), y);
  Pattern b = pattern("?b");
  std::vector<Id> changed = b.apply_matches(g, {SearchMatches{c, {subst}}});
  EXPECT_EQ(changed, std::vector<Id>{y});
  EXPECT_EQ(g.find(y), g.find(c));
  // Applying again merges nothing and reports nothing.
  g.rebuild();
  EXPECT_TRUE(b.apply_matches(g, {SearchMatches{c, {subst}}}).empty());
}

TEST(PatternApply, UnboundVariableIsFatal) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Subst subst;
  subst.insert(var("?a"), x);
  std::vector<Id> ids;
  try {
    pattern("(f ?missing)").apply_pat(g, subst, ids);
    FAIL() << "instantiated an unbound variable";
  } catch (const InternalError& error) {
    EXPECT_EQ(std::string(error.what()), "Var '?missing=?missing' not found in {?a: 0}");
  }
}

TEST(PatternSearch, WideNodesAndManyVariables) {
  EGraph g;
  Children leaves;
  for (const char* name : {"w", "x", "y", "z", "v"}) leaves.push_back(g.add(leaf(name)));
  Id wide = g.add(node("f", leaves));
  Id other = g.add(node("f", {leaves[4], leaves[3], leaves[2], leaves[1], leaves[0]}));
  g.rebuild();
  Pattern five = pattern("(f ?a ?b ?c ?d ?e)");
  std::vector<SearchMatches> found = five.search(g);
  ASSERT_EQ(found.size(), 2u);
  for (const SearchMatches& m : found) {
    const Subst& s = m.substs[0];
    EXPECT_FALSE(s.is_inline());
    const SymbolLang& matched = g.class_of(m.eclass).nodes[0];
    EXPECT_EQ(s.get(var("?a")), matched.children[0]);
    EXPECT_EQ(s.get(var("?e")), matched.children[4]);
  }
  // Reversing the children maps each match onto the other node.
  std::vector<Id> changed = pattern("(f ?e ?d ?c ?b ?a)").apply_matches(g, found);
  EXPECT_EQ(changed.size(), 1u);
  g.rebuild();
  EXPECT_EQ(g.find(wide), g.find(other));
}

TEST(SubstTest, InsertReplacesInPlaceAndStaysInlineUpToThree) {
  Subst s;
  s.insert(var("?a"), 1);
  s.insert(var("?b"), 2);
  s.insert(var("?a"), 5);
  EXPECT_EQ(s.size(), 2u);
  EXPECT_EQ(to_string(s), "{?a: 5, ?b: 2}");
  s.insert(var("?c"), 3);
  EXPECT_TRUE(s.is_inline());
  s.insert(var("?d"), 4);
  EXPECT_FALSE(s.is_inline());
  EXPECT_EQ(s.get(var("?d")), 4u);
  EXPECT_EQ(s.get(var("?e")), std::nullopt);
}

}  // namespace
}  // namespace korvane::egraph
