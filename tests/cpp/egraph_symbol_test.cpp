#include "egraph/symbol.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "error.hpp"

namespace korvane::egraph {
namespace {

unsigned shard_of(GlobalSymbol symbol) { return symbol.number() >> 28; }
std::uint32_t position_plus_one(GlobalSymbol symbol) { return symbol.number() & 0x0FFFFFFF; }

TEST(Symbol, InterningIsIdempotentAndDistinguishesTexts) {
  GlobalSymbol a = intern("symbol-test|alpha");
  GlobalSymbol again = intern(std::string("symbol-test|") + "alpha");
  GlobalSymbol b = intern("symbol-test|beta");
  EXPECT_EQ(a, again);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.as_str(), "symbol-test|alpha");
  EXPECT_EQ(b.as_str(), "symbol-test|beta");
  EXPECT_NE(a.number(), 0u);
  EXPECT_NE(position_plus_one(a), 0u);
}

TEST(Symbol, TextsWithEmbeddedZeroBytesAndTheEmptyTextAreDistinct) {
  GlobalSymbol with_zero = intern(std::string_view("x\0y", 3));
  GlobalSymbol plain = intern("x");
  GlobalSymbol empty = intern("");
  EXPECT_NE(with_zero, plain);
  EXPECT_NE(empty, plain);
  EXPECT_EQ(with_zero.as_str(), std::string_view("x\0y", 3));
  EXPECT_EQ(empty.as_str(), "");
}

TEST(Symbol, NumbersFollowInterningOrderWithinAShard) {
  // Intern fresh texts, each alphabetically before the previous one, until
  // two share a shard: the later one gets the higher position.
  std::vector<GlobalSymbol> by_shard(16, GlobalSymbol::from_number(0));
  for (int i = 0;; ++i) {
    GlobalSymbol symbol = intern("symbol-order-" + std::to_string(99999 - i));
    GlobalSymbol& earlier = by_shard[shard_of(symbol)];
    if (earlier.number() != 0) {
      EXPECT_LT(earlier, symbol);
      EXPECT_GT(earlier.as_str(), symbol.as_str());
      EXPECT_EQ(position_plus_one(symbol), position_plus_one(earlier) + 1);
      break;
    }
    earlier = symbol;
  }
}

TEST(Symbol, NumberLayoutAndItsLimit) {
  EXPECT_EQ(symbol_layout::make_number(0, 0), 1u);
  EXPECT_EQ(symbol_layout::make_number(15, 0), 0xF0000001u);
  EXPECT_EQ(symbol_layout::make_number(3, 0x0FFFFFFD), 0x3FFFFFFEu);
  try {
    symbol_layout::make_number(3, 0x0FFFFFFE);
    FAIL() << "an index above the symbol range was accepted";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "Can't represent index 268435455 in a Symbol");
  }
}

TEST(Symbol, ConcurrentInterningGivesOneSymbolPerText) {
  constexpr int kThreads = 4;
  constexpr int kTexts = 2000;
  // seen[t][k]: the symbol thread t got for text k.
  std::vector<std::vector<GlobalSymbol>> seen(
      kThreads, std::vector<GlobalSymbol>(kTexts, GlobalSymbol::from_number(0)));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      // Threads start at different texts and walk in opposite directions, so
      // first interning of a text races between them.
      for (int step = 0; step < kTexts; ++step) {
        int k = (t * kTexts / kThreads + (t % 2 == 0 ? step : kTexts - step)) % kTexts;
        std::string text = "symbol-race-" + std::to_string(k);
        GlobalSymbol symbol = intern(text);
        seen[t][k] = symbol;
        EXPECT_EQ(symbol.as_str(), text);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::uint32_t> distinct;
  for (int k = 0; k < kTexts; ++k) {
    GlobalSymbol expected = intern("symbol-race-" + std::to_string(k));
    distinct.insert(expected.number());
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t][k], expected) << "thread " << t << " text " << k;
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kTexts));
}

TEST(Symbol, KnownTextsAreFoundWhileOtherThreadsGrowTheTable) {
  // Readers look up texts interned before they start, while a writer adds
  // enough new texts to every shard to make each index grow several times.
  constexpr int kKnown = 500;
  constexpr int kNew = 20000;
  std::vector<GlobalSymbol> known;
  for (int k = 0; k < kKnown; ++k) known.push_back(intern("symbol-known-" + std::to_string(k)));
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int k = 0; k < kNew; ++k) intern("symbol-growth-" + std::to_string(k));
    writing = false;
  });
  std::vector<std::thread> readers;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      do {
        for (int k = 0; k < kKnown; ++k) {
          const std::string text = "symbol-known-" + std::to_string(k);
          if (intern(text) != known[k] || known[k].as_str() != text) ++mismatches;
        }
      } while (writing);
    });
  }
  writer.join();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(intern("symbol-growth-" + std::to_string(kNew - 1)).as_str(),
            "symbol-growth-" + std::to_string(kNew - 1));
}

// ---------------------------------------------------------------------------
// Reader

Sexp atom(std::string text) { return Sexp::string(std::move(text)); }

TEST(SexpReader, AtomsStopAtSpacesButNotTabs) {
  EXPECT_EQ(*parse_str("a\tb"), atom("a\tb"));
  EXPECT_EQ(*parse_str("a b"), atom("a"));
  EXPECT_EQ(*parse_str("  \tatom)rest"), atom("atom"));
  EXPECT_EQ(*parse_str("?x"), atom("?x"));
  EXPECT_TRUE(parse_str("")->is_empty());
}

TEST(SexpReader, NestedLists) {
  Sexp expected = Sexp::list({atom("a"), Sexp::list({atom("b"), atom("c")})});
  EXPECT_EQ(*parse_str("(a (b c))"), expected);
  EXPECT_EQ(*parse_str("(a\r\n  (b\tc ))"), Sexp::list({atom("a"), Sexp::list({atom("b\tc")})}));
  EXPECT_EQ(*parse_str("()"), Sexp::list({}));
  EXPECT_EQ(to_string(*parse_str("(op|add ?a (op|neg ?b))")), "(op|add ?a (op|neg ?b))");
}

TEST(SexpReader, OnlyTheFirstExpressionIsRead) {
  EXPECT_EQ(*parse_str("(a) (b"), Sexp::list({atom("a")}));
  EXPECT_EQ(*parse_str("a )"), atom("a"));
}

TEST(SexpReader, ErrorsCarryOneBasedPositions) {
  auto unclosed = parse_str("(a");
  ASSERT_FALSE(unclosed);
  EXPECT_EQ(unclosed.error(), (ParseError{"End of file reached", 1, 3}));

  auto close = parse_str(")");
  ASSERT_FALSE(close);
  EXPECT_EQ(close.error(), (ParseError{"Unexpected )", 1, 1}));

  auto blank = parse_str("  ");
  ASSERT_FALSE(blank);
  EXPECT_EQ(blank.error(), (ParseError{"End of file reached", 1, 3}));

  auto on_line_two = parse_str("(a\n  b");
  ASSERT_FALSE(on_line_two);
  EXPECT_EQ(on_line_two.error(), (ParseError{"End of file reached", 2, 4}));
  EXPECT_EQ(to_string(on_line_two.error()), "End of file reached at line 2, column 4");
}

TEST(SexpReader, ColumnsCountCharactersNotBytes) {
  auto error = parse_str("(\xC3\xA9\xE2\x82\xAC x");  // "(é€ x": 5 characters, 7 bytes
  ASSERT_FALSE(error);
  EXPECT_EQ(error.error().column, 6u);
  EXPECT_EQ(*parse_str("\xC3\xA9t\xC3\xA9"), atom("\xC3\xA9t\xC3\xA9"));
  // A stray continuation byte is one character and is kept as it is.
  auto stray = parse_str("(\x80");
  ASSERT_FALSE(stray);
  EXPECT_EQ(stray.error().column, 3u);
  EXPECT_EQ(*parse_str("a\x80z"), atom("a\x80z"));
}

TEST(SexpReader, QuotedStrings) {
  EXPECT_EQ(*parse_str("\"two words\""), atom("two words"));
  // An escaped quote keeps both the backslash and the quote.
  EXPECT_EQ(*parse_str(R"("say \"hi\"")"), atom(R"(say \"hi\")"));
  EXPECT_EQ(*parse_str(R"(("a b" c))"), Sexp::list({atom("a b"), atom("c")}));
  auto unterminated = parse_str("\"abc");
  ASSERT_FALSE(unterminated);
  EXPECT_EQ(unterminated.error(), (ParseError{"End of file reached", 1, 5}));
}

TEST(SexpReader, ErrorInsideAListEndsTheRead) {
  auto error = parse_str("(a (b");
  ASSERT_FALSE(error);
  EXPECT_EQ(error.error(), (ParseError{"End of file reached", 1, 6}));
}

}  // namespace
}  // namespace korvane::egraph
