#include "record.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "error.hpp"
#include "node_builders.hpp"

namespace korvane {
namespace {

using namespace test;

std::string encoded(const NodeKey& node) {
  std::string out;
  encode_record(node, out);
  return out;
}

// Expected record bytes, spelled out field by field from the format.
class Bytes {
 public:
  Bytes& u8(std::uint8_t v) {
    out_ += static_cast<char>(v);
    return *this;
  }
  Bytes& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& str(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    out_ += s;
    return *this;
  }
  const std::string& done() const { return out_; }

 private:
  std::string out_;
};

TEST(RecordTest, SourceMatchesTheWorkedBlobExample) {
  // Tag 0, name "s", no parameters: the record inside the 30-byte example blob.
  EXPECT_EQ(encoded(source("s")), std::string("\x00\x01\x00\x00\x00\x73\x00\x00\x00\x00", 10));
}

TEST(RecordTest, OpLayoutWithEveryValueKind) {
  const NodeKey node = op("add", {3, 1},
                          params({entry("s", ParamValue::of_str("x")), entry("i", ParamValue::of_int(-2)),
                                  entry("f", ParamValue::of_float(-0.0)), entry("b", ParamValue::of_bool(true))}));
  const std::string expected = Bytes()
                                   .u8(1)
                                   .str("add")
                                   .u32(4)
                                   .str("b").u8(2).u8(1)
                                   .str("f").u8(1).u64(0x8000000000000000ULL)
                                   .str("i").u8(0).u64(static_cast<std::uint64_t>(-2))
                                   .str("s").u8(3).str("x")
                                   .u32(2).u64(3).u64(1)
                                   .done();
  EXPECT_EQ(encoded(node), expected);
}

TEST(RecordTest, ExternalAndStageLayouts) {
  const std::string with_ref = Bytes()
                                   .u8(3)
                                   .str("model").str("abc123").str("torch").str("2.1").str("f32[3]->f32[1]")
                                   .u8(1).str("")
                                   .u32(0)
                                   .u32(1).u64(0)
                                   .done();
  EXPECT_EQ(encoded(external(descriptor(""), {0})), with_ref);
  const std::string without_ref = Bytes()
                                      .u8(3)
                                      .str("model").str("abc123").str("torch").str("2.1").str("f32[3]->f32[1]")
                                      .u8(0)
                                      .u32(0)
                                      .u32(0)
                                      .done();
  EXPECT_EQ(encoded(external(descriptor())), without_ref);

  const NodeKey fused = stage({4, 2}, {StageOp{"op|f", {StageRef::input(1), StageRef::input(0)}},
                                       StageOp{"op|g", {StageRef::member(0)}}});
  const std::string expected = Bytes()
                                   .u8(4)
                                   .u32(2).u64(4).u64(2)
                                   .u32(2)
                                   .str("op|f").u32(2).u8(0).u32(1).u8(0).u32(0)
                                   .str("op|g").u32(1).u8(1).u32(0)
                                   .done();
  EXPECT_EQ(encoded(fused), expected);
  EXPECT_EQ(encoded(exchange()), Bytes().u8(5).u32(0).u32(0).done());
  EXPECT_EQ(encoded(join({1, 1})), Bytes().u8(6).u32(0).u32(2).u64(1).u64(1).done());
}

TEST(RecordTest, EveryKindRoundTrips) {
  for (const NodeKey& node : one_of_each_kind()) {
    const std::string record = encoded(node);
    const NodeKey back = decode_record(record);
    EXPECT_EQ(back, node) << kind_string(node.kind());
    EXPECT_EQ(encoded(back), record);
    EXPECT_EQ(record_kind(record), node.kind());

    const RecordInputs ids = record_inputs(record);
    ASSERT_EQ(ids.size(), inputs(node).size());
    for (std::uint32_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], inputs(node)[i]);

    const RecordInfo info = inspect_record(record);
    EXPECT_TRUE(info.canonical);
    EXPECT_FALSE(info.has_nan);
    EXPECT_EQ(info.hash, hash_node(node));
  }
}

TEST(RecordTest, NanPayloadIsStoredButNanNodesAreEqual) {
  const auto with_float = [](std::uint64_t bits) {
    return op("f", {0}, params({entry("x", ParamValue::of_float(float_from_bits(bits)))}));
  };
  const std::string a = encoded(with_float(0x7FF0000000000001ULL));
  const std::string b = encoded(with_float(0xFFF8000000000ABCULL));
  const std::string one = encoded(with_float(0x3FF0000000000000ULL));

  // The payload survives encoding and decoding bit for bit.
  EXPECT_NE(a, b);
  EXPECT_NE(a.find(Bytes().u64(0x7FF0000000000001ULL).done()), std::string::npos);
  const double back = decode_record(a).as<OpNode>().params[0].value.as_float();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(back), 0x7FF0000000000001ULL);

  const RecordInfo ia = inspect_record(a), ib = inspect_record(b), ione = inspect_record(one);
  EXPECT_TRUE(ia.has_nan);
  EXPECT_TRUE(ib.has_nan);
  EXPECT_FALSE(ione.has_nan);
  EXPECT_EQ(ia.hash, ib.hash);
  EXPECT_TRUE(record_equal(a, true, b, true));
  EXPECT_FALSE(record_equal(a, true, one, false));
  EXPECT_TRUE(record_equal(one, false, one, false));
}

TEST(RecordTest, NanComparisonStillSeesOtherFields) {
  const auto node = [](std::string name, std::uint64_t nan_bits, double other) {
    return op(std::move(name), {0},
              params({entry("n", ParamValue::of_float(float_from_bits(nan_bits))),
                      entry("o", ParamValue::of_float(other))}));
  };
  const std::string base = encoded(node("f", 0x7FF0000000000001ULL, 1.0));
  EXPECT_TRUE(record_equal(base, true, encoded(node("f", 0x7FF8000000000000ULL, 1.0)), true));
  EXPECT_FALSE(record_equal(base, true, encoded(node("g", 0x7FF0000000000001ULL, 1.0)), true));
  EXPECT_FALSE(record_equal(base, true, encoded(node("f", 0x7FF0000000000001ULL, -1.0)), true));
}

TEST(RecordTest, ReaderFormIsCanonicalized) {
  // Any non-zero byte is true, and entries may come in any order.
  const std::string loose = Bytes()
                                .u8(0).str("s")
                                .u32(2)
                                .str("z").u8(2).u8(7)
                                .str("a").u8(0).u64(5)
                                .done();
  const NodeKey expected =
      source("s", params({entry("a", ParamValue::of_int(5)), entry("z", ParamValue::of_bool(true))}));
  EXPECT_FALSE(inspect_record(loose).canonical);
  std::string canonical;
  canonicalize_record(loose, canonical);
  EXPECT_EQ(canonical, encoded(expected));
  EXPECT_EQ(decode_record(loose), expected);

  const std::string flag_two = Bytes()
                                   .u8(3)
                                   .str("k").str("h").str("f").str("v").str("io")
                                   .u8(2).str("p")
                                   .u32(0)
                                   .u32(0)
                                   .done();
  EXPECT_FALSE(inspect_record(flag_two).canonical);
  canonical.clear();
  canonicalize_record(flag_two, canonical);
  EXPECT_EQ(canonical, encoded(external(PayloadDescriptor{"k", "h", "f", "v", "io", "p"})));

  // Equal keys in order are canonical; they are not merged.
  const std::string repeated = encoded(
      source("s", params({entry("k", ParamValue::of_int(2)), entry("k", ParamValue::of_int(1))})));
  EXPECT_TRUE(inspect_record(repeated).canonical);
}

TEST(RecordTest, OversizedFieldsAreRefusedNotTruncated) {
  const NodeKey far_member = stage({0}, {StageOp{"op|f", {StageRef::member(std::uint64_t{1} << 32)}}});
  std::string out;
  EXPECT_THROW(encode_record(far_member, out), std::length_error);
}

TEST(RecordTest, MalformedRecordsAreInternalErrorsNotOverreads) {
  const std::string good = encoded(op("f", {0, 1}, params({entry("a", ParamValue::of_str("xyz"))})));
  for (std::size_t cut = 1; cut < good.size(); ++cut) {
    const std::string_view truncated(good.data(), cut);
    EXPECT_THROW(decode_record(truncated), InternalError) << cut;
    EXPECT_THROW(inspect_record(truncated), InternalError) << cut;
  }
  EXPECT_THROW(decode_record(good + "x"), InternalError);
  EXPECT_THROW(decode_record(std::string(1, '\x07')), InternalError);
}

}  // namespace
}  // namespace korvane
