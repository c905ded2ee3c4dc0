// Text forms of nodes. Tokens are built for every node of every reduction, so
// the builders append into one string and never look anything up.
#include "param.hpp"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

#include "error.hpp"

namespace korvane {

namespace {

constexpr char kHexLower[] = "0123456789abcdef";

void append_escaped(std::string& out, std::string_view text) {
  // Escaping "%" first and then the others is the same as mapping each
  // character once: no later replacement ever sees an inserted "%".
  for (char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case ';': out += "%3B"; break;
      case '=': out += "%3D"; break;
      case '|': out += "%7C"; break;
      default: out += c; break;
    }
  }
}

template <class Int>
void append_decimal(std::string& out, Int value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  check_invariant(ec == std::errc(), "integer does not fit its decimal buffer");
  out.append(buffer, end);
}

void append_value_token(std::string& out, const ParamValue& value) {
  switch (value.kind()) {
    case ParamKind::Int:
      out += 'i';
      append_decimal(out, value.as_int());
      return;
    case ParamKind::Float: {
      out += 'f';
      const std::uint64_t bits = canonical_float_bits(value.as_float());
      for (int shift = 60; shift >= 0; shift -= 4) out += kHexLower[(bits >> shift) & 0xF];
      return;
    }
    case ParamKind::Bool:
      out += value.as_bool() ? "btrue" : "bfalse";
      return;
    case ParamKind::Str:
      out += 's';
      append_escaped(out, value.as_str());
      return;
  }
  throw InternalError("parameter value of unknown kind");
}

void append_map_token(std::string& out, const ParamMap& params) {
  bool first = true;
  for (const ParamEntry& entry : params) {
    if (!first) out += ';';
    first = false;
    append_escaped(out, entry.key);
    out += '=';
    append_value_token(out, entry.value);
  }
}

void append_params(std::string& out, const ParamMap& params) {
  if (params.empty()) return;
  out += '|';
  append_map_token(out, params);
}

std::string named_token(std::string_view prefix, const std::string& name, const ParamMap& params) {
  std::string out(prefix);
  append_escaped(out, name);
  append_params(out, params);
  return out;
}

// ---------------------------------------------------------------------------
// Reading tokens back

// Unsigned hexadecimal with one optional leading "+"; rejects anything that
// does not fit in 64 bits, however many leading zeros it has.
std::optional<std::uint64_t> parse_hex_bits(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) return std::nullopt;
    value = (value << 4) | digit;
  }
  return value;
}

// Signed decimal with one optional leading "+" or "-", within 64 bits.
std::optional<std::int64_t> parse_decimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate the magnitude unsigned so that the most negative value fits.
  const std::uint64_t limit = negative
                                  ? std::uint64_t{1} << 63
                                  : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (!negative) return static_cast<std::int64_t>(magnitude);
  // Two's-complement negation of the magnitude; well defined for 2^63.
  return static_cast<std::int64_t>(~magnitude + 1);
}

std::optional<ParamValue> parse_value_token(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const char tag = text.front();
  const std::string_view payload = text.substr(1);
  switch (tag) {
    case 'b':
      if (payload == "true") return ParamValue::of_bool(true);
      if (payload == "false") return ParamValue::of_bool(false);
      return std::nullopt;
    case 'f': {
      auto bits = parse_hex_bits(payload);
      if (!bits) return std::nullopt;
      double value;
      std::memcpy(&value, &*bits, sizeof value);
      return ParamValue::of_float(value);
    }
    case 'i': {
      auto value = parse_decimal(payload);
      if (!value) return std::nullopt;
      return ParamValue::of_int(*value);
    }
    case 's':
      return ParamValue::of_str(unescape_token(payload));
    default:
      return std::nullopt;
  }
}

std::optional<ParamEntry> parse_entry_token(std::string_view text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  auto value = parse_value_token(text.substr(equals + 1));
  if (!value) return std::nullopt;
  return ParamEntry{unescape_token(text.substr(0, equals)), std::move(*value)};
}

// ---------------------------------------------------------------------------
// Labels

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes one well-formed UTF-8 sequence at the front of `text`, returning
// the code point and its length, or the replacement character and length 1
// for a byte that does not start one (overlong forms, surrogates and values
// above U+10FFFF are not well formed).
std::pair<char32_t, std::size_t> decode_utf8(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1};
  std::size_t length;
  char32_t cp;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return {kReplacementCharacter, 1};
  }
  if (text.size() < length) return {kReplacementCharacter, 1};
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return {kReplacementCharacter, 1};
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return {kReplacementCharacter, 1};
  }
  return {cp, length};
}

// Control characters (C0, DEL and C1) have no visible form of their own.
bool is_control(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    auto [cp, length] = decode_utf8(text);
    text.remove_prefix(length);
    switch (cp) {
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (is_control(cp)) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(cp));
      out += buffer;
    } else {
      // Bytes that are not valid UTF-8 show as the replacement character so
      // that labels are always valid text.
      append_utf8(out, cp);
    }
  }
  out += '"';
}

void append_float_label(std::string& out, double value) {
  if (value != value) {
    out += "NaN";
    return;
  }
  if (value == std::numeric_limits<double>::infinity()) {
    out += "inf";
    return;
  }
  if (value == -std::numeric_limits<double>::infinity()) {
    out += "-inf";
    return;
  }
  // The shortest round-trip form in scientific notation gives the significant
  // digits and the decimal exponent; they are then laid out positionally.
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  check_invariant(ec == std::errc(), "float does not fit its decimal buffer");
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));

  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  check_invariant(e != std::string_view::npos, "scientific float form without exponent");
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::string_view exponent_text = text.substr(e + 1);
  if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
  auto parsed = std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  check_invariant(parsed.ec == std::errc(), "scientific float form with a bad exponent");
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  // digits = d0 d1 ... dn-1 stands for d0.d1...dn-1 x 10^exponent, so the
  // decimal point goes after exponent + 1 digits.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
}

void append_value_label(std::string& out, const ParamValue& value) {
  switch (value.kind()) {
    case ParamKind::Int:
      append_decimal(out, value.as_int());
      return;
    case ParamKind::Float:
      append_float_label(out, value.as_float());
      return;
    case ParamKind::Bool:
      out += value.as_bool() ? "true" : "false";
      return;
    case ParamKind::Str:
      append_quoted(out, value.as_str());
      return;
  }
  throw InternalError("parameter value of unknown kind");
}

void append_map_label(std::string& out, const ParamMap& params) {
  out += '{';
  bool first = true;
  for (const ParamEntry& entry : params) {
    if (!first) out += ", ";
    first = false;
    out += entry.key;
    out += '=';
    append_value_label(out, entry.value);
  }
  out += '}';
}

// "text" alone, or "text P" when there are parameters.
std::string with_param_label(std::string text, const ParamMap& params) {
  if (!params.empty()) {
    text += ' ';
    append_map_label(text, params);
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string escape_token(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

std::string unescape_token(std::string_view text) {
  // Every escape is "%" and two characters that are not "%", so escapes never
  // overlap. The first three replacements insert no "%" and so cannot create
  // an escape for a later one; the last one can ("%253B" becomes "%3B") but
  // runs last. One left-to-right pass that does not rescan what it wrote
  // therefore gives the same text as the four replacements in order.
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const std::string_view code = text.substr(i + 1, 2);
      char replacement = 0;
      if (code == "7C") {
        replacement = '|';
      } else if (code == "3D") {
        replacement = '=';
      } else if (code == "3B") {
        replacement = ';';
      } else if (code == "25") {
        replacement = '%';
      }
      if (replacement != 0) {
        out += replacement;
        i += 3;
        continue;
      }
    }
    out += text[i];
    ++i;
  }
  return out;
}

std::string param_value_token(const ParamValue& value) {
  std::string out;
  append_value_token(out, value);
  return out;
}

std::string param_map_token(const ParamMap& params) {
  std::string out;
  append_map_token(out, params);
  return out;
}

std::string with_params(std::string base, const ParamMap& params) {
  append_params(base, params);
  return base;
}

std::string token(const NodeKey& node) {
  switch (node.kind()) {
    case NodeKind::Source: {
      const auto& n = node.as<SourceNode>();
      return named_token("src|", n.name, n.params);
    }
    case NodeKind::Op: {
      const auto& n = node.as<OpNode>();
      return named_token("op|", n.name, n.params);
    }
    case NodeKind::Reduction: {
      const auto& n = node.as<ReductionNode>();
      return named_token("red|", n.name, n.params);
    }
    case NodeKind::External: {
      // Descriptor fields go in as they are; the descriptor is identified by
      // the node's record, and the token only has to name the operation.
      const auto& n = node.as<ExternalNode>();
      const PayloadDescriptor& d = *n.descriptor;
      std::string out = "ext|";
      for (const std::string* field : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
        out += *field;
        out += '|';
      }
      out += d.preprocessing_ref ? *d.preprocessing_ref : std::string("-");
      append_params(out, n.params);
      return out;
    }
    case NodeKind::Stage: {
      std::string out = "stage|";
      append_decimal(out, node.as<StageNode>().members.size());
      return out;
    }
    case NodeKind::Exchange:
      return with_params("exch", node.as<ExchangeNode>().params);
    case NodeKind::Join:
      return with_params("join", node.as<JoinNode>().params);
  }
  throw InternalError("node of unknown kind");
}

std::optional<ParsedOpToken> parse_op_token(std::string_view text) {
  const std::size_t first_bar = text.find('|');
  const std::string_view kind = text.substr(0, first_bar);
  if (kind != "op" && kind != "red") return std::nullopt;
  if (first_bar == std::string_view::npos) return std::nullopt;

  const std::string_view after_kind = text.substr(first_bar + 1);
  const std::size_t second_bar = after_kind.find('|');
  const std::string_view name_piece = after_kind.substr(0, second_bar);
  const std::string_view rest =
      second_bar == std::string_view::npos ? std::string_view() : after_kind.substr(second_bar + 1);

  std::vector<ParamEntry> entries;
  if (!rest.empty()) {
    std::size_t start = 0;
    while (true) {
      const std::size_t semicolon = rest.find(';', start);
      auto entry = parse_entry_token(rest.substr(start, semicolon - start));
      if (!entry) return std::nullopt;
      entries.push_back(std::move(*entry));
      if (semicolon == std::string_view::npos) break;
      start = semicolon + 1;
    }
  }
  return ParsedOpToken{std::string(kind), unescape_token(name_piece),
                       make_param_map(std::move(entries))};
}

std::string float_label(double value) {
  std::string out;
  append_float_label(out, value);
  return out;
}

std::string quoted_label(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_quoted(out, text);
  return out;
}

std::string param_value_label(const ParamValue& value) {
  std::string out;
  append_value_label(out, value);
  return out;
}

std::string param_map_label(const ParamMap& params) {
  std::string out;
  append_map_label(out, params);
  return out;
}

std::string label(const NodeKey& node) {
  switch (node.kind()) {
    case NodeKind::Source: {
      const auto& n = node.as<SourceNode>();
      return with_param_label("Source " + n.name, n.params);
    }
    case NodeKind::Op: {
      const auto& n = node.as<OpNode>();
      return with_param_label("Op " + n.name, n.params);
    }
    case NodeKind::Reduction: {
      const auto& n = node.as<ReductionNode>();
      return with_param_label("Reduction " + n.name, n.params);
    }
    case NodeKind::External: {
      const auto& n = node.as<ExternalNode>();
      const PayloadDescriptor& d = *n.descriptor;
      return with_param_label(
          "External " + d.kind + ":" + d.content_hash + " [" + d.framework + " " + d.version + "]",
          n.params);
    }
    case NodeKind::Stage: {
      std::string out = "Stage[";
      append_decimal(out, node.as<StageNode>().members.size());
      out += " members]";
      return out;
    }
    case NodeKind::Exchange:
      return with_param_label("Exchange", node.as<ExchangeNode>().params);
    case NodeKind::Join:
      return with_param_label("Join", node.as<JoinNode>().params);
  }
  throw InternalError("node of unknown kind");
}

}  // namespace korvane
