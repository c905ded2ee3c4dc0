#include "record_fields.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "node_builders.hpp"
#include "record.hpp"
#include "store.hpp"

namespace korvane {
namespace {

using namespace test;

ParamField field_of(const ParamEntry& e) {
  switch (e.value.kind()) {
    case ParamKind::Int:
      return ParamField::of_int(e.key, e.value.as_int());
    case ParamKind::Float:
      return ParamField::of_float(e.key, e.value.as_float());
    case ParamKind::Bool:
      return ParamField::of_bool(e.key, e.value.as_bool());
    case ParamKind::Str:
      return ParamField::of_str(e.key, e.value.as_str());
  }
  return {};
}

// Views of a node's fields as a converter hands them over: parameters in the
// order given (a dict's order, not sorted), pointing into `node`.
class FieldsOf {
 public:
  FieldsOf(const NodeKey& node, const std::vector<ParamEntry>& given_order) {
    for (const ParamEntry& e : given_order) params_.push_back(field_of(e));
    fields.kind = node.kind();
    fields.params = params_.data();
    fields.param_count = params_.size();
    fields.inputs = inputs(node).data();
    fields.input_count = inputs(node).size();
    if (const auto* n = node.get_if<SourceNode>()) fields.name = n->name;
    if (const auto* n = node.get_if<OpNode>()) fields.name = n->name;
    if (const auto* n = node.get_if<ReductionNode>()) fields.name = n->name;
    if (const auto* n = node.get_if<ExternalNode>()) {
      const PayloadDescriptor& d = *n->descriptor;
      descriptor_ = {d.kind, d.content_hash, d.framework, d.version, d.io_schema, std::nullopt};
      if (d.preprocessing_ref) descriptor_.preprocessing_ref = *d.preprocessing_ref;
      fields.descriptor = &descriptor_;
    }
  }
  NodeFields fields;

 private:
  std::vector<ParamField> params_;
  DescriptorFields descriptor_;
};

// Random nodes over the values where a packer could go wrong: extreme ints,
// signed zeros, NaN payloads, bool next to int, keys that are prefixes of
// one another or not ASCII, names with reserved characters and NUL bytes.
class NodeMaker {
 public:
  explicit NodeMaker(std::uint64_t seed) : rng_(seed) {}

  // A node whose inputs are below `count`, and its parameters in a shuffled order.
  std::pair<NodeKey, std::vector<ParamEntry>> make(std::uint64_t count) {
    std::vector<ParamEntry> entries;
    std::vector<std::string> keys = {"a",  "ab",       "b",      "",
                                     "Z", "\xc3\xa9", "key;=|%", "\xf0\x9f\x98\x80"};
    std::shuffle(keys.begin(), keys.end(), rng_);
    keys.resize(pick(keys.size() + 1));
    for (std::string& key : keys) entries.push_back({std::move(key), value()});
    std::vector<ParamEntry> given = entries;
    const ParamMap sorted = make_param_map(std::move(entries));
    const std::string name =
        pick_of<std::string>({"", "f", "a|b;c=d%", "\xc3\xa9t\xc3\xa9", std::string("nul\0x", 5)});
    NodeIds ids;
    for (std::size_t i = pick(4); count > 0 && i > 0; --i) ids.push_back(pick(count));
    NodeKey node;
    switch (pick(6)) {
      case 0:
        node = source(name, sorted);
        break;
      case 1:
        node = op(name, ids, sorted);
        break;
      case 2:
        node = reduction(name, ids, sorted);
        break;
      case 3:
        node = external(
            descriptor(pick_of<std::optional<std::string>>({std::nullopt, "", "-", "prep"})), ids,
            sorted);
        break;
      case 4:
        node = exchange(ids, sorted);
        break;
      default:
        node = join(ids, sorted);
        break;
    }
    return {node, given};
  }

 private:
  std::uint64_t pick(std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_);
  }
  template <class T>
  T pick_of(std::vector<T> options) { return options[pick(options.size())]; }

  ParamValue value() {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    switch (pick(4)) {
      case 0:
        return ParamValue::of_int(
            pick_of<std::int64_t>({kMin, -1, 0, 1, kMax, static_cast<std::int64_t>(rng_())}));
      case 1:
        return ParamValue::of_float(float_from_bits(pick_of<std::uint64_t>(
            {0, 0x8000000000000000ULL, 0x3FF0000000000000ULL, 0x7FF0000000000000ULL,
             0x7FF8000000000000ULL, 0x7FF0000000000123ULL, 0xFFF8000000000001ULL, 1, rng_()})));
      case 2:
        return ParamValue::of_bool(pick(2) == 1);
      default:
        return ParamValue::of_str(
            pick_of<std::string>({"", "x", "a;b|c", std::string("\0", 1), "\xce\xbb"}));
    }
  }

  std::mt19937_64 rng_;
};

TEST(RecordFieldsTest, PacksTheBytesOfTheNodeRecord) {
  NodeMaker maker(1);
  for (int i = 0; i < 3000; ++i) {
    auto [node, given] = maker.make(50);
    FieldsOf views(node, given);
    std::string packed;
    const PackedFields facts = encode_fields(views.fields, packed);
    std::string expected;
    encode_record(node, expected);
    ASSERT_EQ(packed, expected) << i;

    const RecordInfo info = inspect_record(packed);
    EXPECT_EQ(facts.has_nan, info.has_nan);
    EXPECT_TRUE(info.canonical);
    if (!info.has_nan) {
      EXPECT_EQ(record_hash(packed), info.hash);
    }
    const RecordInputs in_place = record_inputs(packed);
    const RecordInputs reported(packed.data() + facts.inputs_at, facts.input_count);
    ASSERT_EQ(reported.size(), in_place.size());
    for (std::uint32_t k = 0; k < reported.size(); ++k) EXPECT_EQ(reported[k], in_place[k]);
  }
}

TEST(RecordFieldsTest, EqualKeysKeepTheirGivenOrderShortAndLong) {
  // Only C++ callers can pass equal keys; they sort stably, like make_param_map.
  for (const std::size_t extra : {std::size_t{0}, std::size_t{20}}) {
    std::vector<ParamEntry> given = {entry("k", ParamValue::of_int(2)),
                                     entry("a", ParamValue::of_int(0)),
                                     entry("k", ParamValue::of_int(1))};
    for (std::size_t i = 0; i < extra; ++i) {
      std::string key = "k";
      key += std::to_string(i % 3);
      given.push_back(entry(key, ParamValue::of_int(static_cast<std::int64_t>(i))));
    }
    const NodeKey node = source("s", make_param_map(given));
    FieldsOf views(node, given);
    std::string packed, expected;
    encode_fields(views.fields, packed);
    encode_record(node, expected);
    EXPECT_EQ(packed, expected) << extra;
  }
}

TEST(RecordFieldsTest, OversizedFieldIsRefusedBeforeAnyByteIsRead) {
  // A view as long as the format cannot count; its bytes are never touched.
  const char* text = "x";
  const std::string_view huge(text, std::size_t{1} << 32);
  NodeFields fields;
  fields.kind = NodeKind::Source;
  fields.name = huge;
  EXPECT_THROW(packed_size(fields), std::length_error);
  ParamField param = ParamField::of_str("k", huge);
  fields.name = "s";
  fields.params = &param;
  fields.param_count = 1;
  EXPECT_THROW(packed_size(fields), std::length_error);
}

TEST(RecordFieldsTest, StoreGivesFieldsAndNodesTheSameIds) {
  // One store fed half by fields and half by whole nodes, one fed only whole
  // nodes: every node gets the same id in both, repeats included.
  GraphStore mixed, reference;
  NodeMaker maker(2);
  std::vector<std::pair<NodeKey, std::vector<ParamEntry>>> made;
  for (int i = 0; i < 1500; ++i) {
    made.push_back(i % 3 == 2 && !made.empty() ? made[static_cast<std::size_t>(i) * 7 % made.size()]
                                                : maker.make(reference.node_count()));
    const auto& [node, given] = made.back();
    const auto expected = reference.intern(node);
    ASSERT_TRUE(expected.has_value());
    FieldsOf views(node, given);
    const auto got = i % 2 == 0 ? mixed.intern_fields(views.fields) : mixed.intern(node);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, *expected) << i;
  }
  EXPECT_EQ(mixed.node_count(), reference.node_count());
}

TEST(RecordFieldsTest, ThreadsInterningEqualFieldsAgree) {
  GraphStore store;
  ASSERT_TRUE(store.intern(source("root")));
  constexpr int kThreads = 4;
  constexpr NodeId kNodes = 400;
  std::vector<std::vector<NodeId>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (NodeId k = 0; k < kNodes; ++k) {
        const NodeId input = 0;
        ParamField param = ParamField::of_int("k", static_cast<std::int64_t>(k));
        NodeFields fields;
        fields.kind = NodeKind::Op;
        fields.name = t % 2 == 0 ? "even" : "odd";
        fields.params = &param;
        fields.param_count = 1;
        fields.inputs = &input;
        fields.input_count = 1;
        seen[t].push_back(*store.intern_fields(fields));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(store.node_count(), 1 + 2 * kNodes);
  for (int t = 2; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[t % 2]);
}

}  // namespace
}  // namespace korvane
