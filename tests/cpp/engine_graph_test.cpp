#include "optimizer/engine_graph.hpp"

#include <gtest/gtest.h>

#include "optimizer/dce.hpp"
#include "optimizer/node_list.hpp"
#include "optimizer_support.hpp"
#include "param.hpp"

namespace korvane {
namespace {

using namespace korvane::testing;

PayloadDescriptor descriptor(std::string kind, std::string hash,
                             std::optional<std::string> ref = std::nullopt) {
  return PayloadDescriptor{std::move(kind), std::move(hash), "fw", "1", "io", std::move(ref)};
}

TEST(ToEngineGraph, CopiesTokensInputsAndBoundaryFlags) {
  const std::vector<NodeKey> nodes{
      src("s", params({{"path", ParamValue::of_str("a;b")}})), op("add", {0, 0}),
      red("sum", {1}), exch({2}, params({{"scheme", ParamValue::of_str("hash")}})),
      join({3, 0})};
  const EngineGraph graph = to_engine_graph(nodes, {4, 4});
  const std::vector<EngineNode> expected{
      {"src|s|path=sa%3Bb", {}, true},
      {"op|add", {0, 0}, false},
      {"red|sum", {1}, true},
      {"exch|scheme=shash", {2}, true},
      {"join", {3, 0}, true},
  };
  EXPECT_EQ(graph.to_nodes(), expected);
  EXPECT_EQ(graph.outputs, (Positions{4, 4}));
  EXPECT_EQ(to_engine_graph({}, {}).size(), 0u);
}

TEST(EngineToken, OperationTokensAreTheNodeTokens) {
  const NodeKey identity = op("add", {0}, identity_params(0.0, "r"));
  EXPECT_EQ(engine_token(identity), "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(engine_token(identity), token(identity));
  EXPECT_EQ(engine_token(src("x|y")), token(src("x|y")));
}

TEST(EngineToken, ExternalFieldsAreEscapedSoDifferentDescriptorsDiffer) {
  // These two descriptors give one public token, because the fields are
  // inserted as they are; the optimizer must still tell them apart.
  const NodeKey left = ext(descriptor("a|b", "c"), {});
  const NodeKey right = ext(descriptor("a", "b|c"), {});
  ASSERT_EQ(token(left), token(right));
  EXPECT_NE(engine_token(left), engine_token(right));
}

TEST(EngineToken, AbsentPreprocessingRefDiffersFromDash) {
  const NodeKey absent = ext(descriptor("k", "h"), {});
  const NodeKey dash = ext(descriptor("k", "h", "-"), {});
  const NodeKey empty = ext(descriptor("k", "h", ""), {});
  ASSERT_EQ(token(absent), token(dash));
  EXPECT_NE(engine_token(absent), engine_token(dash));
  EXPECT_NE(engine_token(absent), engine_token(empty));
  EXPECT_NE(engine_token(dash), engine_token(empty));
}

TEST(EngineToken, StagesAreIdentifiedByTheirMembers) {
  const NodeKey neg = stage({0}, {{"op|neg", {StageRef::input(0)}}});
  const NodeKey abs = stage({0}, {{"op|abs", {StageRef::input(0)}}});
  ASSERT_EQ(token(neg), token(abs));
  EXPECT_NE(engine_token(neg), engine_token(abs));

  // Same member tokens, different references.
  const NodeKey a = stage({0, 1}, {{"op|f", {StageRef::input(0)}}, {"op|g", {StageRef::member(0)}}});
  const NodeKey b = stage({0, 1}, {{"op|f", {StageRef::input(0)}}, {"op|g", {StageRef::input(1)}}});
  EXPECT_NE(engine_token(a), engine_token(b));

  // Reserved characters in member tokens cannot forge a member boundary.
  const NodeKey one = stage({0}, {{"op|f|k=sx;y=sz", {StageRef::input(0)}}});
  const NodeKey two = stage({0}, {{"op|f|k=sx", {StageRef::input(0)}}, {"y=sz", {}}});
  EXPECT_NE(engine_token(one), engine_token(two));
  EXPECT_TRUE(engine_token(one).starts_with("stage|1|"));
}

TEST(ToEngineGraph, StoreRecordsGiveTheSameGraphAsDecodedNodes) {
  // Repeated names and parameters exercise the record-prefix memo; the NaN
  // payloads differ in bytes but not in token.
  const double nan_a = std::numeric_limits<double>::quiet_NaN();
  const double nan_b = -std::numeric_limits<double>::quiet_NaN();
  const std::vector<NodeKey> nodes{
      src("s"),
      src("t", params({{"n", ParamValue::of_int(3)}})),
      op("map", {0}, params({{"f", ParamValue::of_str("inc")}})),
      op("map", {1}, params({{"f", ParamValue::of_str("inc")}})),
      op("map", {3}, params({{"x", ParamValue::of_float(nan_a)}})),
      op("map", {2}, params({{"x", ParamValue::of_float(nan_b)}})),
      ext(descriptor("a|b", "c"), {4}),
      ext(descriptor("a", "b|c"), {4}),
      stage({5, 6}, {{"op|f", {StageRef::input(1)}}}),
      stage({5, 6}, {{"op|g", {StageRef::input(1)}}}),
      join({8, 9, 7}),
  };
  auto store = store_of(nodes);
  ASSERT_EQ(store->node_count(), nodes.size());
  const ArenaView view = store->view();
  const NodeIds outputs{10};

  NodeIds first_packed;
  NodeIds first_decoded;
  const EngineGraph packed =
      to_engine_graph(NodeList(view), find_cone(NodeList(view), outputs), first_packed);
  const EngineGraph decoded =
      to_engine_graph(NodeList(nodes), find_cone(NodeList(nodes), outputs), first_decoded);
  EXPECT_EQ(packed.to_nodes(), decoded.to_nodes());
  EXPECT_EQ(packed.to_nodes(), to_engine_graph(nodes, outputs).to_nodes());
  EXPECT_EQ(first_packed, first_decoded);
  // Nodes 2 and 3 share a token, as do 4 and 5 (their NaNs are equal).
  EXPECT_EQ(packed.token(2), packed.token(3));
  EXPECT_EQ(packed.token(4), packed.token(5));
  EXPECT_NE(packed.token(6), packed.token(7));
  EXPECT_NE(packed.token(8), packed.token(9));
  EXPECT_EQ(first_packed[packed.token(3)], 2u);
}

}  // namespace
}  // namespace korvane
