// Symbols and s-expressions.
//
// Operator names, pattern variables and rule names are symbols: 32-bit numbers
// standing for texts interned once per process, so e-nodes compare, order and
// hash as integers. The s-expression reader turns pattern texts into atoms and
// lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace korvane::egraph {

// An interned text. The number is never 0: bits 28 to 31 hold the shard, bits 0
// to 27 the text's position in that shard plus 1. Symbols compare and order by
// number, so their order is interning order within a shard and shard order
// across shards, never alphabetical.
class GlobalSymbol {
 public:
  // Interns `text` in the process-wide table; the same text always gives the
  // same symbol, from any thread. Safe to call concurrently.
  static GlobalSymbol intern(std::string_view text);

  // Rebuilds a symbol from its number (as returned by number()).
  static constexpr GlobalSymbol from_number(std::uint32_t number) { return GlobalSymbol(number); }

  // The interned text; it stays valid for the rest of the process.
  std::string_view as_str() const;

  constexpr std::uint32_t number() const { return number_; }

  friend constexpr bool operator==(GlobalSymbol, GlobalSymbol) = default;
  friend constexpr auto operator<=>(GlobalSymbol, GlobalSymbol) = default;

 private:
  constexpr explicit GlobalSymbol(std::uint32_t number) : number_(number) {}
  std::uint32_t number_;
};

// Writes the symbol's text.
std::ostream& operator<<(std::ostream& out, GlobalSymbol symbol);

inline GlobalSymbol intern(std::string_view text) { return GlobalSymbol::intern(text); }

namespace symbol_layout {
inline constexpr unsigned kShardCount = 16;
inline constexpr unsigned kShardShift = 28;
// Largest position + 1 that fits below the shard bits.
inline constexpr std::uint32_t kMaxNumber = 0x0FFFFFFE;

// Packs a shard and a position in it into a symbol number. Throws InternalError
// "Can't represent index {position + 1} in a Symbol" when the position does
// not fit.
std::uint32_t make_number(unsigned shard, std::size_t position);
}  // namespace symbol_layout

// ---------------------------------------------------------------------------
// S-expressions

struct Sexp {
  enum class Kind : std::uint8_t { String, List, Empty };

  Kind kind = Kind::Empty;
  std::string text;         // String: the atom or the quoted string's contents
  std::vector<Sexp> items;  // List: the elements in order

  static Sexp string(std::string text);
  static Sexp list(std::vector<Sexp> items);
  static Sexp empty() { return Sexp{}; }

  bool is_string() const { return kind == Kind::String; }
  bool is_list() const { return kind == Kind::List; }
  bool is_empty() const { return kind == Kind::Empty; }

  friend bool operator==(const Sexp&, const Sexp&) = default;
};

// Writes atoms as their text and lists as "(a b c)"; Empty writes nothing.
std::ostream& operator<<(std::ostream& out, const Sexp& sexp);
std::string to_string(const Sexp& sexp);

// A reader failure: "End of file reached" or "Unexpected )", with the line and
// column (both from 1) at which reading stopped.
struct ParseError {
  std::string message;
  std::size_t line = 0;
  std::size_t column = 0;

  friend bool operator==(const ParseError&, const ParseError&) = default;
};

// "{message} at line {line}, column {column}".
std::string to_string(const ParseError& error);

// Reads one s-expression from the start of `text`; anything after it is
// ignored. An empty text reads as Sexp::Kind::Empty. Lines and columns count
// Unicode characters; a byte that is not part of valid UTF-8 counts as one
// character and is kept as it is in atom texts.
Result<Sexp, ParseError> parse_str(std::string_view text);

}  // namespace korvane::egraph

template <>
struct std::hash<korvane::egraph::GlobalSymbol> {
  std::size_t operator()(korvane::egraph::GlobalSymbol symbol) const noexcept {
    return symbol.number();
  }
};
