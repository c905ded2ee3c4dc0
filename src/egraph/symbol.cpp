#include "egraph/symbol.hpp"

#include <ostream>
#include <sstream>

namespace korvane::egraph {

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
