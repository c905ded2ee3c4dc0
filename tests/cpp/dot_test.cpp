#include <gtest/gtest.h>

#include "node_builders.hpp"
#include "store.hpp"

namespace korvane {
namespace {

using namespace test;

void add(GraphStore& store, const NodeKey& node) { ASSERT_TRUE(store.intern(node)); }

TEST(DotTest, EmptyStoreIsHeaderAndClosingLine) {
  EXPECT_EQ(GraphStore().to_dot(), "digraph korvane {\n}\n");
}

TEST(DotTest, VerticesOutputsAndEdges) {
  GraphStore store;
  add(store, source("s"));
  add(store, op("f", {0}));
  ASSERT_TRUE(store.mark_output(1));
  EXPECT_EQ(store.to_dot(),
            "digraph korvane {\n"
            "  n0 [label=\"Source s\"];\n"
            "  n1 [label=\"Op f\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(DotTest, AllVerticesPrecedeEdgesAndRepeatedInputsRepeatEdges) {
  GraphStore store;
  add(store, source("a"));
  add(store, source("b"));
  add(store, join({1, 0, 1}));
  add(store, op("g", {0, 0}));
  add(store, exchange());
  ASSERT_TRUE(store.mark_output(4));
  ASSERT_TRUE(store.mark_output(0));
  EXPECT_EQ(store.to_dot(),
            "digraph korvane {\n"
            "  n0 [label=\"Source a\", shape=doublecircle];\n"
            "  n1 [label=\"Source b\"];\n"
            "  n2 [label=\"Join\"];\n"
            "  n3 [label=\"Op g\"];\n"
            "  n4 [label=\"Exchange\", shape=doublecircle];\n"
            "  n1 -> n2;\n"
            "  n0 -> n2;\n"
            "  n1 -> n2;\n"
            "  n0 -> n3;\n"
            "  n0 -> n3;\n"
            "}\n");
}

TEST(DotTest, LabelsEscapeOnlyBackslashAndDoubleQuote) {
  GraphStore store;
  add(store, source("a\"b\\c|d;e\nf"));
  // The string parameter's label is already quoted and escaped; DOT escapes it again.
  add(store, source("s", params({entry("k", ParamValue::of_float(1.0)), entry("t", ParamValue::of_str("x\\"))})));
  EXPECT_EQ(store.to_dot(),
            "digraph korvane {\n"
            "  n0 [label=\"Source a\\\"b\\\\c|d;e\nf\"];\n"
            "  n1 [label=\"Source s {k=1, t=\\\"x\\\\\\\\\\\"}\"];\n"
            "}\n");
}

}  // namespace
}  // namespace korvane
