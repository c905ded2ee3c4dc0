#include "param.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace korvane {
namespace {

ParamMap params(std::vector<ParamEntry> entries) { return make_param_map(std::move(entries)); }

NodeKey op(std::string name, ParamMap p = {}, NodeIds inputs = {}) {
  return NodeKey{OpNode{std::move(name), std::move(p), std::move(inputs)}};
}

double from_bits(std::uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

std::uint64_t bits_of(double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

PayloadDescriptor descriptor(std::optional<std::string> preprocessing_ref) {
  return PayloadDescriptor{"k", "abc", "fw", "2", "schema", std::move(preprocessing_ref)};
}

NodeKey external(std::optional<std::string> preprocessing_ref, ParamMap p = {}) {
  return NodeKey{ExternalNode{std::make_shared<const PayloadDescriptor>(descriptor(std::move(preprocessing_ref))),
                              std::move(p),
                              {0}}};
}

// The four replacements applied literally, each over the whole text, in order.
std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(from, start)) != std::string::npos; start = at + from.size()) {
    out.append(text, start, at - start);
    out += to;
  }
  out.append(text, start, std::string::npos);
  return out;
}

std::string reference_unescape(std::string text) {
  text = replace_all(text, "%7C", "|");
  text = replace_all(text, "%3D", "=");
  text = replace_all(text, "%3B", ";");
  return replace_all(text, "%25", "%");
}

std::string random_text(std::mt19937_64& rng, std::string_view alphabet, std::size_t max_length) {
  std::string text(rng() % (max_length + 1), ' ');
  for (char& c : text) c = alphabet[rng() % alphabet.size()];
  return text;
}

// ---------------------------------------------------------------------------
// Escaping

TEST(Escape, ReservedCharactersAndRoundTrip) {
  EXPECT_EQ(escape_token("a%b;c=d|e"), "a%25b%3Bc%3Dd%7Ce");
  EXPECT_EQ(unescape_token("a%25b%3Bc%3Dd%7Ce"), "a%b;c=d|e");
  // An escape-looking text is escaped again, and comes back as itself.
  EXPECT_EQ(escape_token("%3B"), "%253B");
  EXPECT_EQ(unescape_token("%253B"), "%3B");
  EXPECT_EQ(escape_token(""), "");
}

TEST(Escape, UnknownAndLowerCaseSequencesStay) {
  EXPECT_EQ(unescape_token("%3b%7c%zz%"), "%3b%7c%zz%");
  EXPECT_EQ(unescape_token("%3"), "%3");
  EXPECT_EQ(unescape_token("%%3B"), "%;");
  EXPECT_EQ(unescape_token("%2525"), "%25");
}

TEST(Escape, RandomTextsRoundTripAndMatchOrderedReplacements) {
  std::mt19937_64 rng(7);
  const std::string_view alphabet = "%;=|37CDB25ab";
  for (int i = 0; i < 20000; ++i) {
    const std::string text = random_text(rng, alphabet, 12);
    EXPECT_EQ(unescape_token(escape_token(text)), text);
    EXPECT_EQ(unescape_token(text), reference_unescape(text)) << text;
  }
}

// ---------------------------------------------------------------------------
// Tokens

TEST(ValueToken, EveryKind) {
  EXPECT_EQ(param_value_token(ParamValue::of_int(7)), "i7");
  EXPECT_EQ(param_value_token(ParamValue::of_int(-3)), "i-3");
  EXPECT_EQ(param_value_token(ParamValue::of_int(std::numeric_limits<std::int64_t>::min())),
            "i-9223372036854775808");
  EXPECT_EQ(param_value_token(ParamValue::of_float(2.5)), "f4004000000000000");
  EXPECT_EQ(param_value_token(ParamValue::of_float(1.0)), "f3ff0000000000000");
  EXPECT_EQ(param_value_token(ParamValue::of_float(0.0)), "f0000000000000000");
  EXPECT_EQ(param_value_token(ParamValue::of_float(-0.0)), "f8000000000000000");
  EXPECT_EQ(param_value_token(ParamValue::of_bool(true)), "btrue");
  EXPECT_EQ(param_value_token(ParamValue::of_bool(false)), "bfalse");
  EXPECT_EQ(param_value_token(ParamValue::of_str("a;b")), "sa%3Bb");
  EXPECT_EQ(param_value_token(ParamValue::of_str("")), "s");
}

TEST(ValueToken, EveryNanIsTheCanonicalOne) {
  for (std::uint64_t bits : {0x7FF8000000000000ull, 0x7FF0000000000001ull, 0xFFF8000000000000ull,
                             0x7FFFFFFFFFFFFFFFull}) {
    EXPECT_EQ(param_value_token(ParamValue::of_float(from_bits(bits))), "f7ff8000000000000");
  }
}

TEST(MapToken, SortedEntriesWithEscapedKeys) {
  EXPECT_EQ(param_map_token({}), "");
  EXPECT_EQ(param_map_token(params({{"b", ParamValue::of_bool(true)}, {"a", ParamValue::of_int(2)}})),
            "a=i2;b=btrue");
  EXPECT_EQ(param_map_token(params({{"k=;", ParamValue::of_str("v|")}})), "k%3D%3B=sv%7C");
  EXPECT_EQ(with_params("exch", {}), "exch");
  EXPECT_EQ(with_params("exch", params({{"scheme", ParamValue::of_str("hash")}})), "exch|scheme=shash");
}

TEST(NodeToken, NamedKinds) {
  EXPECT_EQ(token(op("f")), "op|f");
  EXPECT_EQ(token(op("f", params({{"b", ParamValue::of_bool(true)}, {"a", ParamValue::of_int(2)}}))),
            "op|f|a=i2;b=btrue");
  EXPECT_EQ(token(NodeKey{SourceNode{"x|y", {}}}), "src|x%7Cy");
  EXPECT_EQ(token(NodeKey{ReductionNode{"sum", params({{"axis", ParamValue::of_int(0)}}), {1}}}),
            "red|sum|axis=i0");
  // Inputs never show.
  EXPECT_EQ(token(op("add", {}, {3, 4})), token(op("add", {}, {4})));
  EXPECT_EQ(token(op("add", params({{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str("r")}}))),
            "op|add|scalar=f0000000000000000;side=sr");
}

TEST(NodeToken, ExternalInsertsDescriptorFieldsAsTheyAre) {
  EXPECT_EQ(token(external(std::nullopt)), "ext|k|abc|fw|2|schema|-");
  EXPECT_EQ(token(external("-")), token(external(std::nullopt)));
  EXPECT_EQ(token(external("")), "ext|k|abc|fw|2|schema|");
  EXPECT_EQ(token(external("p", params({{"n", ParamValue::of_int(1)}}))), "ext|k|abc|fw|2|schema|p|n=i1");
  PayloadDescriptor raw{"a|b", "x;y", "f=", "1%", "s", std::nullopt};
  EXPECT_EQ(token(NodeKey{ExternalNode{std::make_shared<const PayloadDescriptor>(raw), {}, {}}}),
            "ext|a|b|x;y|f=|1%|s|-");
}

TEST(NodeToken, StageExchangeJoin) {
  StageNode stage{{0, 1}, {StageOp{"op|a", {StageRef::input(0)}}, StageOp{"op|b", {StageRef::member(0)}},
                           StageOp{"op|c", {StageRef::input(1)}}}};
  EXPECT_EQ(token(NodeKey{stage}), "stage|3");
  EXPECT_EQ(token(NodeKey{StageNode{{}, {}}}), "stage|0");
  EXPECT_EQ(token(NodeKey{ExchangeNode{{}, {}}}), "exch");
  EXPECT_EQ(token(NodeKey{ExchangeNode{params({{"scheme", ParamValue::of_str("hash")}}), {0}}}),
            "exch|scheme=shash");
  EXPECT_EQ(token(NodeKey{JoinNode{{}, {0, 1}}}), "join");
  EXPECT_EQ(token(NodeKey{JoinNode{params({{"how", ParamValue::of_str("inner")}}), {0, 1}}}), "join|how=sinner");
}

// ---------------------------------------------------------------------------
// Reading tokens back

TEST(ParseOpToken, Rejects) {
  for (const char* text :
       {"src|x", "op", "", "opx|f", "OP|f", "red", "op|f|a", "op|f|a=x1", "op|f|a=i", "op|f|a=i1;",
        "op|f|;a=i1", "op|f|a=i1;;b=i2", "op|f|a=f10000000000000000", "op|f|a=", "op|f|a=b", "op|f|a=bTrue",
        "op|f|a=f", "op|f|a=f+", "op|f|a=f-1", "op|f|a=fg", "op|f|a=i+", "op|f|a=i-", "op|f|a=i1.5",
        "op|f|a=i+-1", "op|f|a=i9223372036854775808", "op|f|a=i-9223372036854775809",
        "op|f|a=i99999999999999999999", "op|f|a=f1ffffffffffffffff"}) {
    EXPECT_FALSE(parse_op_token(text).has_value()) << text;
  }
}

TEST(ParseOpToken, Accepts) {
  auto empty_rest = parse_op_token("op|f|");
  ASSERT_TRUE(empty_rest);
  EXPECT_EQ(empty_rest->kind, "op");
  EXPECT_EQ(empty_rest->name, "f");
  EXPECT_TRUE(empty_rest->params.empty());

  auto plus = parse_op_token("op|f|a=i+5");
  ASSERT_TRUE(plus);
  EXPECT_EQ(plus->params, params({{"a", ParamValue::of_int(5)}}));

  auto hex = parse_op_token("op|f|a=fFF");
  ASSERT_TRUE(hex);
  EXPECT_EQ(hex->params, params({{"a", ParamValue::of_float(from_bits(0xFF))}}));

  auto empty_str = parse_op_token("op|f|a=s");
  ASSERT_TRUE(empty_str);
  EXPECT_EQ(empty_str->params, params({{"a", ParamValue::of_str("")}}));

  auto red = parse_op_token("red|sum");
  ASSERT_TRUE(red);
  EXPECT_EQ(red->kind, "red");
  EXPECT_EQ(red->name, "sum");
}

TEST(ParseOpToken, FieldsAndLimits) {
  // Leading zeros do not count towards the 64 bits.
  auto padded = parse_op_token("op|f|a=f+00003ff0000000000000");
  ASSERT_TRUE(padded);
  EXPECT_EQ(padded->params, params({{"a", ParamValue::of_float(1.0)}}));

  auto limits = parse_op_token("op|f|lo=i-9223372036854775808;hi=i9223372036854775807;x=fffffffffffffffff");
  ASSERT_TRUE(limits);
  EXPECT_EQ(limits->params, params({{"hi", ParamValue::of_int(std::numeric_limits<std::int64_t>::max())},
                                    {"lo", ParamValue::of_int(std::numeric_limits<std::int64_t>::min())},
                                    {"x", ParamValue::of_float(from_bits(~0ull))}}));

  // The name keeps no "|" of the rest; the value keeps every further "=";
  // escapes in the name, keys and strings are undone.
  auto escaped = parse_op_token("op|n%7Cm|k%3Dey=sa=b%3B|c");
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->name, "n|m");
  EXPECT_EQ(escaped->params, params({{"k=ey", ParamValue::of_str("a=b;|c")}}));

  // Unsorted and repeated keys are sorted stably, not merged.
  auto repeated = parse_op_token("op|f|b=i1;a=i2;b=i3");
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->params, (ParamMap{{"a", ParamValue::of_int(2)},
                                        {"b", ParamValue::of_int(1)},
                                        {"b", ParamValue::of_int(3)}}));

  auto empty_name = parse_op_token("op|");
  ASSERT_TRUE(empty_name);
  EXPECT_EQ(empty_name->name, "");
}

ParamValue random_value(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0: {
      const std::int64_t pick[] = {0, -1, 1, std::numeric_limits<std::int64_t>::min(),
                                   std::numeric_limits<std::int64_t>::max(), static_cast<std::int64_t>(rng())};
      return ParamValue::of_int(pick[rng() % 6]);
    }
    case 1: {
      double d = from_bits(rng());
      if (std::isnan(d)) d = -0.0;
      return ParamValue::of_float(d);
    }
    case 2:
      return ParamValue::of_bool(rng() % 2 == 0);
    default:
      return ParamValue::of_str(random_text(rng, "ab%;=|3B\xc3\xa9", 6));
  }
}

TEST(ParseOpToken, InvertsTokensOfOpsAndReductions) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 5000; ++i) {
    std::vector<ParamEntry> entries;
    const std::size_t count = rng() % 5;
    for (std::size_t k = 0; k < count; ++k) {
      entries.push_back({random_text(rng, "ab%;=|", 3), random_value(rng)});
    }
    const std::string name = random_text(rng, "xy%;=|7C", 5);
    const ParamMap map = params(std::move(entries));
    const bool reduction = rng() % 2 == 0;
    const NodeKey node = reduction ? NodeKey{ReductionNode{name, map, {}}} : NodeKey{OpNode{name, map, {}}};

    const auto parsed = parse_op_token(token(node));
    ASSERT_TRUE(parsed) << token(node);
    EXPECT_EQ(parsed->kind, reduction ? "red" : "op");
    EXPECT_EQ(parsed->name, name);
    EXPECT_EQ(parsed->params, map) << token(node);
  }
}

TEST(ParseOpToken, NanComesBackCanonical) {
  const NodeKey node = op("f", params({{"x", ParamValue::of_float(from_bits(0xFFF0000000000123ull))}}));
  const auto parsed = parse_op_token(token(node));
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->params.size(), 1u);
  EXPECT_EQ(bits_of(parsed->params[0].value.as_float()), 0x7FF8000000000000ull);
}

// ---------------------------------------------------------------------------
// Labels

TEST(FloatLabel, PositionalShortestForms) {
  EXPECT_EQ(float_label(1.0), "1");
  EXPECT_EQ(float_label(0.5), "0.5");
  EXPECT_EQ(float_label(-2.25), "-2.25");
  EXPECT_EQ(float_label(0.1), "0.1");
  EXPECT_EQ(float_label(0.3), "0.3");
  EXPECT_EQ(float_label(100.0), "100");
  EXPECT_EQ(float_label(123.456), "123.456");
  EXPECT_EQ(float_label(1e21), "1" + std::string(21, '0'));
  EXPECT_EQ(float_label(1.5e22), "15" + std::string(21, '0'));
  EXPECT_EQ(float_label(1e-7), "0.0000001");
  EXPECT_EQ(float_label(-1.25e-5), "-0.0000125");
  EXPECT_EQ(float_label(0.0), "0");
  EXPECT_EQ(float_label(-0.0), "-0");
  EXPECT_EQ(float_label(std::nan("")), "NaN");
  EXPECT_EQ(float_label(-std::nan("")), "NaN");
  EXPECT_EQ(float_label(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(float_label(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(float_label(9007199254740993.0), "9007199254740992");
}

TEST(FloatLabel, ExtremesAreWrittenInFull) {
  const std::string big = float_label(1e300);
  EXPECT_EQ(big, "1" + std::string(300, '0'));

  const std::string max = float_label(std::numeric_limits<double>::max());
  EXPECT_EQ(max.size(), 309u);
  EXPECT_EQ(max.substr(0, 17), "17976931348623157");
  EXPECT_EQ(max.find_first_not_of('0', 17), std::string::npos);

  const std::string tiny = float_label(5e-324);
  EXPECT_EQ(tiny, "0." + std::string(323, '0') + "5");
}

TEST(FloatLabel, RandomFloatsReadBack) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 20000; ++i) {
    const double d = from_bits(rng());
    if (!std::isfinite(d)) continue;
    const std::string text = float_label(d);
    EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    EXPECT_EQ(bits_of(std::strtod(text.c_str(), nullptr)), bits_of(d)) << text;
  }
}

TEST(StrLabel, QuotingAndEscapes) {
  EXPECT_EQ(quoted_label("x"), "\"x\"");
  EXPECT_EQ(quoted_label(""), "\"\"");
  EXPECT_EQ(quoted_label("a\\b\"c'd"), "\"a\\\\b\\\"c'd\"");
  EXPECT_EQ(quoted_label(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(quoted_label("\x01\x1b\x7f"), "\"\\u{1}\\u{1b}\\u{7f}\"");
  // C1 controls are non-printable too; printable non-ASCII is kept as is.
  EXPECT_EQ(quoted_label("\xc2\x85"), "\"\\u{85}\"");
  EXPECT_EQ(quoted_label("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"");
  // A byte that is not UTF-8 shows as the replacement character.
  EXPECT_EQ(quoted_label("a\xff" "b\xc3"), "\"a\xef\xbf\xbd" "b\xef\xbf\xbd\"");
  EXPECT_EQ(quoted_label("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");  // a surrogate
}

TEST(Label, ValuesAndMaps) {
  EXPECT_EQ(param_value_label(ParamValue::of_int(-4)), "-4");
  EXPECT_EQ(param_value_label(ParamValue::of_bool(false)), "false");
  EXPECT_EQ(param_value_label(ParamValue::of_float(1.0)), "1");
  EXPECT_EQ(param_map_label({}), "{}");
  EXPECT_EQ(param_map_label(params({{"b|", ParamValue::of_str("y")}, {"a=", ParamValue::of_int(1)}})),
            "{a==1, b|=\"y\"}");
}

TEST(Label, EveryKind) {
  EXPECT_EQ(label(NodeKey{SourceNode{"s", params({{"t", ParamValue::of_str("x")}, {"k", ParamValue::of_float(1.0)}})}}),
            "Source s {k=1, t=\"x\"}");
  EXPECT_EQ(label(NodeKey{SourceNode{"a|b", {}}}), "Source a|b");
  EXPECT_EQ(label(op("add", params({{"scalar", ParamValue::of_float(0.5)}}), {0})), "Op add {scalar=0.5}");
  EXPECT_EQ(label(NodeKey{ReductionNode{"sum", {}, {0}}}), "Reduction sum");
  EXPECT_EQ(label(external("p")), "External k:abc [fw 2]");
  EXPECT_EQ(label(external(std::nullopt, params({{"n", ParamValue::of_bool(true)}}))),
            "External k:abc [fw 2] {n=true}");
  EXPECT_EQ(label(NodeKey{StageNode{{0}, {StageOp{"op|a", {}}, StageOp{"op|b", {}}}}}), "Stage[2 members]");
  EXPECT_EQ(label(NodeKey{ExchangeNode{{}, {0}}}), "Exchange");
  EXPECT_EQ(label(NodeKey{ExchangeNode{params({{"scheme", ParamValue::of_str("hash")}}), {0}}}),
            "Exchange {scheme=\"hash\"}");
  EXPECT_EQ(label(NodeKey{JoinNode{{}, {0, 1}}}), "Join");
  EXPECT_EQ(label(NodeKey{JoinNode{params({{"on", ParamValue::of_str("id")}}), {0, 1}}}), "Join {on=\"id\"}");
}

}  // namespace
}  // namespace korvane
