#include "serialize.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "record.hpp"
#include "store.hpp"

namespace korvane {
namespace {

// Builds blob bytes field by field, little-endian like the format.
class Bytes {
 public:
  Bytes& raw(std::string_view text) {
    bytes_.append(text);
    return *this;
  }
  Bytes& u8(unsigned v) {
    bytes_.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& u32(std::uint32_t v) { return put(&v, 4); }
  Bytes& u64(std::uint64_t v) { return put(&v, 8); }
  Bytes& str(std::string_view text) {
    u32(static_cast<std::uint32_t>(text.size()));
    return raw(text);
  }
  Bytes& header(std::uint32_t nodes) { return raw("KIR1").u32(nodes); }
  // A Source record named `name` without parameters.
  Bytes& source(std::string_view name) { return u8(0).str(name).u32(0); }
  // An Op record named `name` with the given inputs and no parameters.
  Bytes& op(std::string_view name, std::initializer_list<std::uint64_t> inputs) {
    u8(1).str(name).u32(0).u32(static_cast<std::uint32_t>(inputs.size()));
    for (auto id : inputs) u64(id);
    return *this;
  }
  Bytes& no_outputs() { return u32(0); }
  const std::string& str() const { return bytes_; }
  operator std::string_view() const { return bytes_; }

 private:
  Bytes& put(const void* v, std::size_t n) {
    bytes_.append(static_cast<const char*>(v), n);
    return *this;
  }
  std::string bytes_;
};

ParamMap params(std::vector<ParamEntry> entries) { return make_param_map(std::move(entries)); }

NodeKey source(std::string name, ParamMap p = {}) {
  return NodeKey{SourceNode{std::move(name), std::move(p)}};
}
NodeKey op(std::string name, NodeIds inputs, ParamMap p = {}) {
  return NodeKey{OpNode{std::move(name), std::move(p), std::move(inputs)}};
}

NodeId add(GraphStore& store, const NodeKey& node) {
  auto id = store.intern(node);
  EXPECT_TRUE(id.has_value());
  return id.has_value() ? *id : 0;
}

std::string blob_of(const GraphStore& store, const NodeIds& outputs) {
  auto blob = serialize_with(store.view(), outputs);
  EXPECT_TRUE(blob.has_value());
  return blob.has_value() ? *blob : std::string();
}
std::string blob_of(const GraphStore& store) { return blob_of(store, store.outputs()); }

std::unique_ptr<GraphStore> read(std::string_view bytes) {
  auto store = deserialize(bytes);
  EXPECT_TRUE(store.has_value()) << decode_error_message(store.error());
  return store.has_value() ? std::move(store).value() : nullptr;
}

// The message of the reader's refusal, or "accepted".
std::string refusal(std::string_view bytes) {
  auto store = deserialize(bytes);
  return store.has_value() ? "accepted" : decode_error_message(store.error());
}

double float_of_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

// One store holding every node kind and every parameter kind.
std::unique_ptr<GraphStore> every_kind_store() {
  auto store = std::make_unique<GraphStore>();
  const NodeId s = add(*store, source("src", params({{"path", ParamValue::of_str("a/ü.csv")},
                                                     {"rows", ParamValue::of_int(-42)},
                                                     {"fast", ParamValue::of_bool(true)},
                                                     {"slow", ParamValue::of_bool(false)},
                                                     {"scale", ParamValue::of_float(0.5)}})));
  const NodeId pos = add(*store, op("add", {s, s}, params({{"c", ParamValue::of_float(0.0)}})));
  const NodeId neg = add(*store, op("add", {s, s}, params({{"c", ParamValue::of_float(-0.0)}})));
  const NodeId nan = add(
      *store,
      op("mul", {pos}, params({{"c", ParamValue::of_float(float_of_bits(0x7FF0000000000123ull))}})));
  const NodeId red = add(*store, NodeKey{ReductionNode{"sum", {}, {nan, neg}}});
  auto with_ref = std::make_shared<PayloadDescriptor>(
      PayloadDescriptor{"model", "sha256:00", "torch", "2.1", "{}", std::string("prep")});
  auto empty_ref = std::make_shared<PayloadDescriptor>(*with_ref);
  empty_ref->preprocessing_ref = std::string();
  auto no_ref = std::make_shared<PayloadDescriptor>(*with_ref);
  no_ref->preprocessing_ref.reset();
  const NodeId e1 = add(*store, NodeKey{ExternalNode{with_ref, {}, {red}}});
  const NodeId e2 = add(*store, NodeKey{ExternalNode{empty_ref, {}, {red}}});
  const NodeId e3 = add(
      *store, NodeKey{ExternalNode{no_ref, params({{"k", ParamValue::of_int(1)}}), {red, s}}});
  const NodeId stage = add(
      *store,
      NodeKey{StageNode{{e1, e2},
                        {StageOp{"op|neg", {StageRef::input(1)}},
                         StageOp{"op|add", {StageRef::member(0), StageRef::input(0)}},
                         StageOp{"op|sub", {StageRef::member(1), StageRef::member(0)}}}}});
  const NodeId ex = add(*store, NodeKey{ExchangeNode{params({{"scheme", ParamValue::of_str("hash")}}),
                                                     {stage}}});
  const NodeId join = add(*store, NodeKey{JoinNode{{}, {ex, e3, ex}}});
  add(*store, NodeKey{JoinNode{{}, {}}});
  EXPECT_TRUE(store->mark_output(join));
  EXPECT_TRUE(store->mark_output(nan));
  return store;
}

// ---------------------------------------------------------------------------
// Byte layout

TEST(BlobLayout, WorkedExampleIsByteForByte) {
  GraphStore store;
  ASSERT_TRUE(store.mark_output(add(store, source("s"))));
  const std::string expected(
      "\x4b\x49\x52\x31"
      "\x01\x00\x00\x00"
      "\x00"
      "\x01\x00\x00\x00\x73"
      "\x00\x00\x00\x00"
      "\x01\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00",
      30);
  EXPECT_EQ(blob_of(store), expected);
}

TEST(BlobLayout, EmptyStoreIsTwelveBytes) {
  GraphStore store;
  const std::string blob = blob_of(store);
  EXPECT_EQ(blob, std::string("KIR1\0\0\0\0\0\0\0\0", 12));
  auto back = read(blob);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->node_count(), 0u);
  EXPECT_TRUE(back->outputs().empty());
  EXPECT_TRUE(back->node_map().empty());
}

TEST(BlobLayout, RecordsAreTheStoredRecords) {
  auto store = every_kind_store();
  const ArenaView view = store->view();
  std::string expected = Bytes().header(static_cast<std::uint32_t>(view.size())).str();
  for (NodeId id = 0; id < view.size(); ++id) encode_record(view.node(id), expected);
  expected += Bytes().u32(1).u64(3).str();
  EXPECT_EQ(blob_of(*store, {3}), expected);
}

TEST(BlobLayout, ExplicitOutputsKeepOrderAndRepeats) {
  GraphStore store;
  const NodeId a = add(store, source("a"));
  const NodeId b = add(store, source("b"));
  const NodeId c = add(store, op("f", {a, b}));
  ASSERT_TRUE(store.mark_output(a));
  const std::string blob = blob_of(store, {c, a, c});
  EXPECT_EQ(blob.substr(blob.size() - 28), Bytes().u32(3).u64(c).u64(a).u64(c).str());
  const std::string none = blob_of(store, {});
  EXPECT_EQ(none.substr(none.size() - 4), Bytes().u32(0).str());

  auto back = read(blob);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->outputs(), (NodeIds{c, a}));
  // Marked once, so its own blob differs from the one it was read from.
  EXPECT_NE(blob_of(*back), blob);
  EXPECT_EQ(blob_of(*back, {c, a, c}), blob);
}

// ---------------------------------------------------------------------------
// Round trips

TEST(BlobRoundTrip, EveryKindKeepsIdsNodesAndBytes) {
  auto store = every_kind_store();
  const std::string blob = blob_of(*store);
  auto back = read(blob);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->node_count(), store->node_count());
  const auto original = store->snapshot();
  const auto copy = back->snapshot();
  for (std::size_t id = 0; id < original.nodes.size(); ++id) {
    EXPECT_EQ(copy.nodes[id], original.nodes[id]) << "node " << id;
  }
  EXPECT_EQ(copy.outputs, original.outputs);
  EXPECT_EQ(blob_of(*back), blob);
}

TEST(BlobRoundTrip, FloatBitsAreKept) {
  auto store = every_kind_store();
  auto back = read(blob_of(*store));
  ASSERT_TRUE(back);
  const auto nodes = back->snapshot().nodes;
  const double pos = nodes[1].as<OpNode>().params[0].value.as_float();
  const double neg = nodes[2].as<OpNode>().params[0].value.as_float();
  const double nan = nodes[3].as<OpNode>().params[0].value.as_float();
  EXPECT_FALSE(std::signbit(pos));
  EXPECT_TRUE(std::signbit(neg));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(nan), 0x7FF0000000000123ull);
}

TEST(BlobRoundTrip, PreprocessingRefAbsentEmptyAndSetStayDistinct) {
  auto store = every_kind_store();
  auto back = read(blob_of(*store));
  ASSERT_TRUE(back);
  const auto nodes = back->snapshot().nodes;
  EXPECT_EQ(nodes[5].as<ExternalNode>().descriptor->preprocessing_ref, std::optional<std::string>("prep"));
  EXPECT_EQ(nodes[6].as<ExternalNode>().descriptor->preprocessing_ref, std::optional<std::string>(""));
  EXPECT_EQ(nodes[7].as<ExternalNode>().descriptor->preprocessing_ref, std::nullopt);
}

// ---------------------------------------------------------------------------
// Reader checks, in order

TEST(BlobReader, ShortInputsAreTruncatedAndOthersBadMagic) {
  const std::string kTruncated = "truncated korvane IR blob";
  const std::string kBadMagic = "not a korvane IR blob (bad magic/version)";
  EXPECT_EQ(refusal(""), kTruncated);
  EXPECT_EQ(refusal("KI"), kTruncated);
  EXPECT_EQ(refusal("xyz"), kTruncated);
  EXPECT_EQ(refusal("KIR1"), kTruncated);
  EXPECT_EQ(refusal("KIR1\0\0\0"), kTruncated);
  EXPECT_EQ(refusal("KIR2"), kBadMagic);
  EXPECT_EQ(refusal(Bytes().raw("KIR0").u32(0).u32(0)), kBadMagic);
  EXPECT_EQ(refusal("kir1\0\0\0\0\0\0\0\0"), kBadMagic);
  // Header present, output count missing.
  EXPECT_EQ(refusal(Bytes().header(0)), kTruncated);
}

TEST(BlobReader, EveryProperPrefixIsTruncated) {
  const std::string blob = blob_of(*every_kind_store());
  for (std::size_t n = 0; n < blob.size(); ++n) {
    ASSERT_EQ(refusal(std::string_view(blob).substr(0, n)), "truncated korvane IR blob") << n;
  }
  EXPECT_EQ(refusal(blob), "accepted");
}

TEST(BlobReader, HugeCountsFailFastAsTruncated) {
  EXPECT_EQ(refusal(Bytes().header(0xFFFFFFFF).u32(0)), "truncated korvane IR blob");
  EXPECT_EQ(refusal(Bytes().header(0).u32(0xFFFFFFFF)), "truncated korvane IR blob");
  EXPECT_EQ(refusal(Bytes().header(1).u8(0).u32(0xFFFFFFFF)), "truncated korvane IR blob");
  EXPECT_EQ(refusal(Bytes().header(1).u8(0).str("s").u32(0xFFFFFFFF)), "truncated korvane IR blob");
  EXPECT_EQ(refusal(Bytes().header(2).source("s").u8(1).str("f").u32(0).u32(0xFFFFFFFF).u64(0)),
            "truncated korvane IR blob");
  EXPECT_EQ(refusal(Bytes().header(1).u8(4).u32(0).u32(0xFFFFFFFF)), "truncated korvane IR blob");
}

TEST(BlobReader, InvalidTagsNameWhatWasRead) {
  EXPECT_EQ(refusal(Bytes().header(1).u8(7)), "invalid node tag 7");
  EXPECT_EQ(refusal(Bytes().header(1).u8(255)), "invalid node tag 255");
  EXPECT_EQ(refusal(Bytes().header(1).u8(0).str("s").u32(1).str("k").u8(4)), "invalid param tag 4");
  EXPECT_EQ(refusal(Bytes().header(2).source("s").u8(4).u32(1).u64(0).u32(1).str("t").u32(1).u8(2).u32(0)),
            "invalid stage-ref tag 2");
}

TEST(BlobReader, InvalidUtf8InAnyString) {
  const std::string kInvalid = "invalid utf-8 in korvane IR blob";
  EXPECT_EQ(refusal(Bytes().header(1).u8(0).str("a\xFF").u32(0).no_outputs()), kInvalid);
  // Parameter name, Str value, descriptor field, stage token.
  EXPECT_EQ(refusal(Bytes().header(1).u8(0).str("s").u32(1).str("\xC0\x80").u8(0).u64(0)), kInvalid);
  EXPECT_EQ(refusal(Bytes().header(1).u8(0).str("s").u32(1).str("k").u8(3).str("\xED\xA0\x80")),
            kInvalid);
  EXPECT_EQ(refusal(Bytes().header(1).u8(3).str("m").str("h").str("f").str("v").str("\xF4\x90\x80\x80")),
            kInvalid);
  EXPECT_EQ(refusal(Bytes().header(1).u8(4).u32(0).u32(1).str("\x80")), kInvalid);
  EXPECT_EQ(refusal(Bytes().header(1).u8(0).str("\xE2\x82\xAC\xF0\x9F\x98\x80").u32(0).no_outputs()),
            "accepted");
}

TEST(BlobReader, ReferencesMustBeEarlierRecords) {
  // An Op at position 3 naming 3.
  Bytes blob;
  blob.header(4).source("a").source("b").source("c").op("f", {0, 3});
  EXPECT_EQ(refusal(blob), "node reference 3 out of range");
  EXPECT_EQ(refusal(Bytes().header(1).op("f", {0})), "node reference 0 out of range");
  // Output id equal to N.
  EXPECT_EQ(refusal(Bytes().header(1).source("a").u32(2).u64(0).u64(1)), "node reference 1 out of range");
}

TEST(BlobReader, FirstFailureInReadingOrderWins) {
  // A bad name is found before a bad parameter tag after it.
  EXPECT_EQ(refusal(Bytes().header(1).u8(0).str("\xFF").u32(1).str("k").u8(9)),
            "invalid utf-8 in korvane IR blob");
  // An out-of-range input is found before the input list runs out.
  EXPECT_EQ(refusal(Bytes().header(1).u8(1).str("f").u32(0).u32(3).u64(5)),
            "node reference 5 out of range");
  // A stage reference cut short is truncated even if its alternative is bad.
  EXPECT_EQ(refusal(Bytes().header(1).u8(4).u32(0).u32(1).str("t").u32(1).u8(9).u8(0)),
            "truncated korvane IR blob");
  // A bad alternative is reported before its index is checked.
  EXPECT_EQ(refusal(Bytes().header(1).u8(4).u32(0).u32(1).str("t").u32(1).u8(9).u32(99)),
            "invalid stage-ref tag 9");
  // Records are checked before the output list is read.
  EXPECT_EQ(refusal(Bytes().header(2).source("a").u8(8)), "invalid node tag 8");
  // A missing output id is reported before an earlier one is checked.
  EXPECT_EQ(refusal(Bytes().header(1).source("a").u32(2).u64(7)), "truncated korvane IR blob");
}

TEST(BlobReader, StageReferencesStayInsideTheStage) {
  auto stage = [](unsigned alternative, std::uint32_t index) {
    // Two outside inputs; member 0 refers to input 0, member 1 uses the reference under test.
    return Bytes()
        .header(3)
        .source("a")
        .source("b")
        .u8(4)
        .u32(2)
        .u64(0)
        .u64(1)
        .u32(2)
        .str("op|neg")
        .u32(1)
        .u8(0)
        .u32(0)
        .str("op|add")
        .u32(1)
        .u8(alternative)
        .u32(index)
        .no_outputs()
        .str();
  };
  EXPECT_EQ(refusal(stage(0, 1)), "accepted");
  EXPECT_EQ(refusal(stage(1, 0)), "accepted");
  EXPECT_EQ(refusal(stage(0, 2)), "node reference 2 out of range");
  EXPECT_EQ(refusal(stage(1, 1)), "node reference 1 out of range");
  EXPECT_EQ(refusal(stage(0, 0xFFFFFFFF)), "node reference 4294967295 out of range");
}

TEST(BlobReader, EqualRecordsAreRefused) {
  EXPECT_EQ(refusal(Bytes().header(3).source("a").source("b").source("a").no_outputs()),
            "duplicate node record 2 in korvane IR blob");
  // Equal only once canonical: parameters in another order, a Bool byte other than 1.
  Bytes blob;
  blob.header(2);
  blob.u8(0).str("s").u32(2).str("a").u8(2).u8(1).str("b").u8(0).u64(1);
  blob.u8(0).str("s").u32(2).str("b").u8(0).u64(1).str("a").u8(2).u8(0x80);
  EXPECT_EQ(refusal(blob.no_outputs()), "duplicate node record 1 in korvane IR blob");
  // Two NaN payloads are the same value.
  Bytes nans;
  nans.header(2);
  nans.u8(0).str("s").u32(1).str("x").u8(1).u64(0x7FF8000000000000ull);
  nans.u8(0).str("s").u32(1).str("x").u8(1).u64(0xFFF0000000000001ull);
  EXPECT_EQ(refusal(nans.no_outputs()), "duplicate node record 1 in korvane IR blob");
}

TEST(BlobReader, TrailingBytesAreIgnored) {
  GraphStore store;
  add(store, source("s"));
  const std::string blob = blob_of(store, {0});
  auto back = read(blob + "KIR1 trailing \xFF bytes");
  ASSERT_TRUE(back);
  EXPECT_EQ(blob_of(*back), blob);
}

// ---------------------------------------------------------------------------
// Canonical form of what is read

TEST(BlobCanonical, ParametersAreSortedStablyAndFlagsNormalised) {
  Bytes blob;
  blob.header(2);
  // Descending names, a repeated name (kept in blob order), Bool byte 7.
  blob.u8(0).str("s").u32(4);
  blob.str("zeta").u8(0).u64(1);
  blob.str("b").u8(3).str("first");
  blob.str("b").u8(3).str("second");
  blob.str("ab").u8(2).u8(7);
  // External with presence flag 9.
  blob.u8(3).str("m").str("h").str("f").str("v").str("io").u8(9).str("ref").u32(0).u32(1).u64(0);
  blob.u32(1).u64(1);
  auto back = read(blob);
  ASSERT_TRUE(back);
  const auto nodes = back->snapshot().nodes;
  const ParamMap& p = nodes[0].as<SourceNode>().params;
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0].key, "ab");
  EXPECT_EQ(p[0].value, ParamValue::of_bool(true));
  EXPECT_EQ(p[1].value, ParamValue::of_str("first"));
  EXPECT_EQ(p[2].value, ParamValue::of_str("second"));
  EXPECT_EQ(p[3].key, "zeta");
  EXPECT_EQ(nodes[1].as<ExternalNode>().descriptor->preprocessing_ref, std::optional<std::string>("ref"));

  // The store holds the canonical records, which its blob then shows.
  Bytes canonical;
  canonical.header(2);
  canonical.u8(0).str("s").u32(4);
  canonical.str("ab").u8(2).u8(1);
  canonical.str("b").u8(3).str("first");
  canonical.str("b").u8(3).str("second");
  canonical.str("zeta").u8(0).u64(1);
  canonical.u8(3).str("m").str("h").str("f").str("v").str("io").u8(1).str("ref").u32(0).u32(1).u64(0);
  canonical.u32(1).u64(1);
  EXPECT_EQ(blob_of(*back), canonical.str());
  EXPECT_EQ(blob_of(*read(canonical)), canonical.str());
}

TEST(BlobCanonical, PrefixNamesSortFirst) {
  Bytes blob;
  blob.header(1).u8(0).str("s").u32(2).str("ab").u8(0).u64(1).str("a").u8(0).u64(2).no_outputs();
  auto back = read(blob);
  ASSERT_TRUE(back);
  const auto nodes = back->snapshot().nodes;
  const ParamMap& p = nodes[0].as<SourceNode>().params;
  EXPECT_EQ(p[0].key, "a");
  EXPECT_EQ(p[1].key, "ab");
}

// ---------------------------------------------------------------------------
// Writer limits

TEST(BlobWriter, RefusesCountsBeyondTheLimit) {
  GraphStore store;
  const NodeId a = add(store, source("a"));
  add(store, source("b"));
  const ArenaView view = store.view();
  EXPECT_TRUE(serialize_with_limit(view, {a, a}, 2).has_value());
  EXPECT_FALSE(serialize_with_limit(view, {a, a, a}, 2).has_value());
  EXPECT_FALSE(serialize_with_limit(view, {}, 1).has_value());
  EXPECT_EQ(std::string(kTooLargeMessage), "too large for korvane IR blob");
}

TEST(BlobWriter, WritesTheViewNotLaterNodes) {
  GraphStore store;
  add(store, source("a"));
  const ArenaView view = store.view();
  add(store, source("b"));
  auto blob = serialize_with(view, {});
  ASSERT_TRUE(blob.has_value());
  EXPECT_EQ(*blob, Bytes().header(1).source("a").no_outputs().str());
}

}  // namespace
}  // namespace korvane
