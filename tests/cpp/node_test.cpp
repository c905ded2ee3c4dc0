#include "node.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <unordered_set>

#include "node_builders.hpp"

namespace korvane {
namespace {

using namespace test;

constexpr std::uint64_t kCanonicalNan = 0x7FF8000000000000ULL;

TEST(ParamValueTest, FloatsCompareByCanonicalBits) {
  const double nan_a = float_from_bits(0x7FF0000000000001ULL);  // signalling payload
  const double nan_b = float_from_bits(0xFFF8000000000123ULL);  // negative, other payload
  EXPECT_EQ(canonical_float_bits(nan_a), kCanonicalNan);
  EXPECT_EQ(canonical_float_bits(nan_b), kCanonicalNan);
  EXPECT_EQ(ParamValue::of_float(nan_a), ParamValue::of_float(nan_b));
  EXPECT_EQ(ParamValue::of_float(std::numeric_limits<double>::quiet_NaN()), ParamValue::of_float(nan_a));

  EXPECT_NE(ParamValue::of_float(0.0), ParamValue::of_float(-0.0));
  EXPECT_EQ(canonical_float_bits(-0.0), 0x8000000000000000ULL);
  EXPECT_NE(ParamValue::of_float(std::numeric_limits<double>::infinity()), ParamValue::of_float(nan_a));
  EXPECT_EQ(ParamValue::of_float(2.5), ParamValue::of_float(2.5));
}

TEST(ParamValueTest, AlternativesAreDistinctEvenWhenNumericallyEqual) {
  const ParamValue values[] = {ParamValue::of_int(1), ParamValue::of_float(1.0), ParamValue::of_bool(true),
                               ParamValue::of_str("1")};
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(values[i] == values[j], i == j) << i << " vs " << j;
  }
  EXPECT_NE(ParamValue::of_int(0), ParamValue::of_bool(false));
  EXPECT_NE(ParamValue::of_str("a"), ParamValue::of_str("b"));
}

TEST(ParamMapTest, SortsKeysAsUnsignedBytesPrefixFirst) {
  const ParamMap map = params({entry("\xC3\xA9", ParamValue::of_int(1)),  // "é": high bytes sort last
                               entry("ab", ParamValue::of_int(2)), entry("a", ParamValue::of_int(3)),
                               entry("B", ParamValue::of_int(4)), entry("", ParamValue::of_int(5))});
  std::vector<std::string> keys;
  for (const ParamEntry& e : map) keys.push_back(e.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "\xC3\xA9"}));
}

TEST(ParamMapTest, EqualKeysKeepTheirGivenOrder) {
  const ParamMap map = params({entry("k", ParamValue::of_int(2)), entry("a", ParamValue::of_int(0)),
                               entry("k", ParamValue::of_int(1)), entry("k", ParamValue::of_int(3))});
  ASSERT_EQ(map.size(), 4u);
  EXPECT_EQ(map[0].key, "a");
  EXPECT_EQ(map[1].value.as_int(), 2);
  EXPECT_EQ(map[2].value.as_int(), 1);
  EXPECT_EQ(map[3].value.as_int(), 3);
}

TEST(NodeKeyTest, IdentityCoversKindNameParamsAndInputOrder) {
  EXPECT_EQ(op("f", {1, 2}), op("f", {1, 2}));
  EXPECT_NE(op("f", {1, 2}), op("f", {2, 1}));
  EXPECT_NE(op("f", {1}), op("f", {1, 1}));
  EXPECT_NE(op("f", {1}), reduction("f", {1}));
  EXPECT_NE(op("f"), op("g"));
  EXPECT_NE(exchange({0}), join({0}));
  // An empty map and "no parameters" are one value.
  EXPECT_EQ(source("s", params({})), source("s"));
  // Maps built from the same entries in any order are one value.
  const ParamEntry a = entry("a", ParamValue::of_int(1)), b = entry("b", ParamValue::of_str("x"));
  EXPECT_EQ(source("s", params({a, b})), source("s", params({b, a})));
  EXPECT_EQ(hash_node(source("s", params({a, b}))), hash_node(source("s", params({b, a}))));

  const auto with_x = [](ParamValue v) { return op("f", {0}, params({entry("x", std::move(v))})); };
  EXPECT_NE(with_x(ParamValue::of_int(1)), with_x(ParamValue::of_float(1.0)));
  EXPECT_NE(with_x(ParamValue::of_int(1)), with_x(ParamValue::of_bool(true)));
  EXPECT_NE(with_x(ParamValue::of_float(0.0)), with_x(ParamValue::of_float(-0.0)));
  EXPECT_EQ(with_x(ParamValue::of_float(float_from_bits(0x7FF0000000000001ULL))),
            with_x(ParamValue::of_float(float_from_bits(0x7FF8000000000002ULL))));
}

TEST(NodeKeyTest, DescriptorPreprocessingRefAbsentDiffersFromEmpty) {
  EXPECT_NE(external(descriptor(std::nullopt)), external(descriptor("")));
  EXPECT_EQ(external(descriptor("")), external(descriptor("")));
  EXPECT_NE(hash_node(external(descriptor(std::nullopt))), hash_node(external(descriptor(""))));
  PayloadDescriptor other = descriptor();
  other.io_schema = "other";
  EXPECT_NE(external(descriptor()), external(other));
}

TEST(NodeKeyTest, StageIdentityCoversMembersAndReferences) {
  const auto member = [](StageRef ref) { return stage({0}, {StageOp{"op|f", {ref}}}); };
  EXPECT_EQ(member(StageRef::input(0)), member(StageRef::input(0)));
  EXPECT_NE(member(StageRef::input(0)), member(StageRef::member(0)));
  EXPECT_NE(member(StageRef::input(0)), member(StageRef::input(1)));
  EXPECT_NE(stage({0}, {}), stage({0}, {StageOp{"op|f", {}}}));
}

TEST(NodeKeyTest, HashAgreesWithEquality) {
  const auto nan_node = [](std::uint64_t bits) {
    return source("s", params({entry("x", ParamValue::of_float(float_from_bits(bits)))}));
  };
  EXPECT_EQ(hash_node(nan_node(0x7FF0000000000001ULL)), hash_node(nan_node(0xFFFFFFFFFFFFFFFFULL)));
  EXPECT_NE(hash_node(nan_node(0)), hash_node(nan_node(0x8000000000000000ULL)));
  for (const NodeKey& node : one_of_each_kind()) EXPECT_EQ(hash_node(node), hash_node(NodeKey(node)));
}

TEST(NodeKeyTest, HashSpreadsNearlyIdenticalNodes) {
  // Nodes that differ in one input or one parameter bit must not collide, in
  // the full hash or in the low 32 bits the store keeps for its index.
  std::unordered_set<std::uint64_t> full, low;
  constexpr int kNodes = 20000;
  for (int i = 0; i < kNodes; ++i) {
    const std::uint64_t h = hash_node(op("f", {static_cast<NodeId>(i), 7}));
    full.insert(h);
    low.insert(h & 0xFFFFFFFF);
  }
  EXPECT_EQ(full.size(), static_cast<std::size_t>(kNodes));
  EXPECT_GT(low.size(), static_cast<std::size_t>(kNodes) - 3);  // birthday bound in 2^32

  std::unordered_set<std::uint64_t> one_bit;
  for (int b = 0; b < 64; ++b) {
    one_bit.insert(hash_node(op("f", {}, params({entry("k", ParamValue::of_int(std::int64_t(std::uint64_t{1} << b)))}))));
  }
  EXPECT_EQ(one_bit.size(), 64u);
}

TEST(NodeKeyTest, InputsAndWithInputs) {
  EXPECT_TRUE(inputs(source("s")).empty());
  EXPECT_EQ(inputs(join({2, 0, 2})), (NodeIds{2, 0, 2}));
  EXPECT_EQ(inputs(stage({4, 3}, {})), (NodeIds{4, 3}));

  // A source has no inputs to replace.
  EXPECT_EQ(with_inputs(source("s"), {1, 2}), source("s"));
  // The list is taken as given: no sorting, repeats kept.
  const NodeKey renumbered = with_inputs(op("f", {0, 1}, params({entry("a", ParamValue::of_int(1))})), {5, 3, 5});
  EXPECT_EQ(renumbered, op("f", {5, 3, 5}, params({entry("a", ParamValue::of_int(1))})));
  const NodeKey ext = with_inputs(external(descriptor("p"), {0}), {9});
  EXPECT_EQ(ext, external(descriptor("p"), {9}));
  EXPECT_EQ(with_inputs(exchange(), {}), exchange());
}

TEST(NodeKeyTest, KindStrings) {
  const char* expected[] = {"source", "op", "reduction", "external", "stage", "exchange", "join"};
  for (int k = 0; k < kNodeKindCount; ++k) EXPECT_EQ(kind_string(static_cast<NodeKind>(k)), expected[k]);
}

}  // namespace
}  // namespace korvane
