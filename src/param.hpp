// Text forms of nodes: the token (machine-readable identity without inputs,
// the operator symbol the rewrite engine sees) and the label (for people).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "node.hpp"

namespace korvane {

// Escapes "%", ";", "=" and "|" as %25, %3B, %3D, %7C ("%" first).
std::string escape_token(std::string_view text);
// Reverses escape_token: %7C, %3D, %3B, then %25. Other "%" sequences stay.
std::string unescape_token(std::string_view text);

std::string param_value_token(const ParamValue& value);
std::string param_map_token(const ParamMap& params);
// base, or base + "|" + the parameter token when params is not empty.
std::string with_params(std::string base, const ParamMap& params);

// The node's token; its inputs never appear in it.
std::string token(const NodeKey& node);

// Kind text ("op" or "red"), name and parameters read back from an Op or
// Reduction token; nothing for any other text.
struct ParsedOpToken {
  std::string kind;
  std::string name;
  ParamMap params;
};
std::optional<ParsedOpToken> parse_op_token(std::string_view token);

// Shortest decimal that reads back to `value`, positional, no exponent;
// integral values without a fraction; "NaN", "inf", "-inf", "-0".
std::string float_label(double value);
// A Str value as a label: quoted, with \\ \" \t \r \n \0 and \u{..} escapes.
std::string quoted_label(std::string_view text);
std::string param_value_label(const ParamValue& value);
std::string param_map_label(const ParamMap& params);

// The node's human-readable label (used by DOT rendering).
std::string label(const NodeKey& node);

}  // namespace korvane
