#include "egraph/symbol.hpp"

#include <array>
#include <deque>
#include <mutex>
#include <ostream>
#include <sstream>

#include "egraph/hashing.hpp"
#include "error.hpp"

namespace korvane::egraph {

namespace symbol_layout {

std::uint32_t make_number(unsigned shard, std::size_t position) {
  std::size_t number = position + 1;
  if (number > kMaxNumber) {
    throw InternalError("Can't represent index " + std::to_string(number) + " in a Symbol");
  }
  return static_cast<std::uint32_t>(number) | (static_cast<std::uint32_t>(shard) << kShardShift);
}

}  // namespace symbol_layout

namespace {

// One of the table's shards: the texts whose hash has these low 4 bits.
// Texts live in a deque so that references to them survive later appends.
class Shard {
 public:
  std::uint32_t intern(std::string_view text, std::uint64_t hash, unsigned shard_number) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t mask = slots_.size() - 1;
    if (!slots_.empty()) {
      for (std::size_t i = slot_of(hash, mask);; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.position == kEmpty) break;
        if (slot.tag == tag && texts_[slot.position] == text) {
          return symbol_layout::make_number(shard_number, slot.position);
        }
      }
    }
    std::size_t position = texts_.size();
    std::uint32_t number = symbol_layout::make_number(shard_number, position);
    if ((texts_.size() + 1) * 4 > slots_.size() * 3) grow();
    texts_.emplace_back(text);
    place(Slot{tag, static_cast<std::uint32_t>(position)}, hash);
    return number;
  }

  std::string_view text(std::size_t position) {
    std::lock_guard<std::mutex> lock(mutex_);
    check_invariant(position < texts_.size(), "symbol number names no interned text");
    return texts_[position];
  }

 private:
  struct Slot {
    std::uint32_t tag;
    std::uint32_t position;
  };
  static constexpr std::uint32_t kEmpty = UINT32_MAX;

  // The low 4 bits chose the shard; the slot comes from the bits above them.
  static std::size_t slot_of(std::uint64_t hash, std::size_t mask) { return (hash >> 4) & mask; }

  void place(Slot slot, std::uint64_t hash) {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = slot_of(hash, mask);
    while (slots_[i].position != kEmpty) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  void grow() {
    std::size_t capacity = slots_.empty() ? 64 : slots_.size() * 2;
    slots_.assign(capacity, Slot{0, kEmpty});
    for (std::size_t p = 0; p < texts_.size(); ++p) {
      std::uint64_t hash = hash_bytes(texts_[p]);
      place(Slot{static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(p)}, hash);
    }
  }

  std::mutex mutex_;
  std::deque<std::string> texts_;
  std::vector<Slot> slots_;
};

class SymbolTable {
 public:
  // Created by the first user, whichever thread that is; never destroyed, so
  // symbols stay valid while static destructors of other objects run.
  static SymbolTable& instance() {
    static SymbolTable* table = new SymbolTable();
    return *table;
  }

  std::uint32_t intern(std::string_view text) {
    std::uint64_t hash = hash_bytes(text);
    unsigned shard = static_cast<unsigned>(hash & (symbol_layout::kShardCount - 1));
    return shards_[shard].intern(text, hash, shard);
  }

  std::string_view text(std::uint32_t number) {
    std::uint32_t position_plus_one = number & ((1u << symbol_layout::kShardShift) - 1);
    check_invariant(position_plus_one != 0, "symbol number 0 names no interned text");
    return shards_[number >> symbol_layout::kShardShift].text(position_plus_one - 1);
  }

 private:
  std::array<Shard, symbol_layout::kShardCount> shards_;
};

}  // namespace

GlobalSymbol GlobalSymbol::intern(std::string_view text) {
  return GlobalSymbol(SymbolTable::instance().intern(text));
}

std::string_view GlobalSymbol::as_str() const { return SymbolTable::instance().text(number_); }

std::ostream& operator<<(std::ostream& out, GlobalSymbol symbol) { return out << symbol.as_str(); }

// ---------------------------------------------------------------------------
// S-expressions

Sexp Sexp::string(std::string text) {
  Sexp sexp;
  sexp.kind = Kind::String;
  sexp.text = std::move(text);
  return sexp;
}

Sexp Sexp::list(std::vector<Sexp> items) {
  Sexp sexp;
  sexp.kind = Kind::List;
  sexp.items = std::move(items);
  return sexp;
}

std::ostream& operator<<(std::ostream& out, const Sexp& sexp) {
  switch (sexp.kind) {
    case Sexp::Kind::String:
      return out << sexp.text;
    case Sexp::Kind::Empty:
      return out;
    case Sexp::Kind::List:
      break;
  }
  out << '(';
  for (std::size_t i = 0; i < sexp.items.size(); ++i) {
    if (i > 0) out << ' ';
    out << sexp.items[i];
  }
  return out << ')';
}

std::string to_string(const Sexp& sexp) {
  std::ostringstream out;
  out << sexp;
  return out.str();
}

std::string to_string(const ParseError& error) {
  return error.message + " at line " + std::to_string(error.line) + ", column " +
         std::to_string(error.column);
}

namespace {

// Splits UTF-8 text into characters, each a view of its bytes. A byte that
// does not start a well-formed sequence is a character of its own, so no input
// is rejected and atom texts keep their bytes.
std::vector<std::string_view> decode_characters(std::string_view text) {
  std::vector<std::string_view> chars;
  chars.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    if (byte >= 0xC2 && byte <= 0xDF) {
      length = 2;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      length = 3;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      length = 4;
    }
    if (length > 1) {
      bool well_formed = i + length <= text.size();
      for (std::size_t k = 1; well_formed && k < length; ++k) {
        well_formed = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      }
      if (!well_formed) length = 1;
    }
    chars.push_back(text.substr(i, length));
    i += length;
  }
  return chars;
}

class SexpReader {
 public:
  explicit SexpReader(std::string_view text) : chars_(decode_characters(text)) {}

  Result<Sexp, ParseError> read() {
    skip_while_blank();
    if (at_end()) return error("End of file reached");
    if (is('"')) return read_quoted();
    if (is(')')) return error("Unexpected )");
    if (is('(')) return read_list();
    return read_atom();
  }

 private:
  bool at_end() const { return position_ >= chars_.size(); }
  bool is(char c) const { return !at_end() && chars_[position_].size() == 1 && chars_[position_][0] == c; }
  bool is_any(std::string_view set) const {
    return !at_end() && chars_[position_].size() == 1 && set.find(chars_[position_][0]) != set.npos;
  }

  void consume() {
    if (is('\n')) {
      ++line_;
      column_ = 0;
    } else {
      ++column_;
    }
    ++position_;
  }

  void skip_while_blank() {
    while (is_any(" \t")) consume();
  }

  Unexpected<ParseError> error(const char* message) const {
    return unexpected(ParseError{message, line_ + 1, column_ + 1});
  }

  Result<Sexp, ParseError> read_quoted() {
    consume();
    std::string text;
    bool escaped = false;
    while (!at_end() && !(is('"') && !escaped)) {
      escaped = is('\\');
      text += chars_[position_];
      consume();
    }
    if (at_end()) return error("End of file reached");
    consume();
    return Sexp::string(std::move(text));
  }

  Result<Sexp, ParseError> read_list() {
    consume();
    std::vector<Sexp> items;
    while (!at_end()) {
      if (is_any(" \t\r\n")) {
        consume();
        continue;
      }
      if (is(')')) break;
      Result<Sexp, ParseError> item = read();
      if (!item) return unexpected(item.error());
      items.push_back(std::move(item).value());
    }
    if (at_end()) return error("End of file reached");
    consume();
    skip_while_blank();
    return Sexp::list(std::move(items));
  }

  Result<Sexp, ParseError> read_atom() {
    std::string text;
    while (!at_end() && !is_any(" \r\n()")) {
      text += chars_[position_];
      consume();
    }
    return Sexp::string(std::move(text));
  }

  std::vector<std::string_view> chars_;
  std::size_t position_ = 0;
  std::size_t line_ = 0;
  std::size_t column_ = 0;
};

}  // namespace

Result<Sexp, ParseError> parse_str(std::string_view text) {
  if (text.empty()) return Sexp::empty();
  return SexpReader(text).read();
}

}  // namespace korvane::egraph
