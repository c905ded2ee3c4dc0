// Fuzz target for the s-expression reader. Every text either reads as one
// expression or fails with one of the reader's two messages at a position
// inside the text; an expression whose atoms print unambiguously reads back
// equal from its printed form.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "egraph/symbol.hpp"

namespace {

using korvane::egraph::Sexp;

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "s-expression reader: %s\n", what);
    std::abort();
  }
}

// An atom prints unambiguously when reading its text alone gives it back: it
// is not empty, does not start with a blank or a quote, and holds none of the
// characters that end an atom.
bool prints_unambiguously(const Sexp& sexp) {
  if (sexp.is_list()) return std::all_of(sexp.items.begin(), sexp.items.end(), prints_unambiguously);
  if (!sexp.is_string()) return true;
  const std::string& text = sexp.text;
  if (text.empty() || text[0] == ' ' || text[0] == '\t' || text[0] == '"') return false;
  return text.find_first_of(" \r\n()") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto read = korvane::egraph::parse_str(input);
  if (!read) {
    const auto& error = read.error();
    require(error.message == "End of file reached" || error.message == "Unexpected )",
            "unknown error message");
    const std::size_t lines = 1 + static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n'));
    require(error.line >= 1 && error.line <= lines, "error line outside the text");
    require(error.column >= 1 && error.column <= size + 1, "error column outside the text");
    return 0;
  }
  require(read->is_empty() == input.empty(), "only the empty text reads as empty");
  if (!prints_unambiguously(*read)) return 0;
  const std::string printed = korvane::egraph::to_string(*read);
  const auto again = korvane::egraph::parse_str(printed);
  require(again.has_value(), "printed expression does not read");
  require(*again == *read, "printed expression reads as something else");
  return 0;
}
