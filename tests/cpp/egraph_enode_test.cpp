#include "egraph/enode.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace korvane::egraph {
namespace {

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

TEST(SymbolLangTest, EqualNodesHashEquallyAndPrintAsTerms) {
  EXPECT_EQ(hash_enode(node("f", {1, 2})), hash_enode(node("f", {1, 2})));
  EXPECT_NE(hash_enode(node("f", {1, 2})), hash_enode(node("f", {2, 1})));
  EXPECT_NE(hash_enode(node("f", {1})), hash_enode(node("f", {1, 0})));
  std::ostringstream out;
  out << node("op|add", {3, 4}) << ' ' << node("src|a", {});
  EXPECT_EQ(out.str(), "(op|add 3 4) src|a");
}

}  // namespace
}  // namespace korvane::egraph
