#include "egraph/small_vector.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "egraph/chunked_vector.hpp"

namespace korvane::egraph {
namespace {

using Ids = SmallVector<std::uint32_t, 3>;
using Texts = SmallVector<std::string, 2>;

TEST(SmallVectorTest, StaysInlineUpToItsCapacityThenMovesToTheHeap) {
  static_assert(sizeof(Ids) == 20, "three ids and the header, no pointer padding");
  Ids ids{1, 2, 3};
  EXPECT_TRUE(ids.is_inline());
  ids.push_back(4);
  EXPECT_FALSE(ids.is_inline());
  EXPECT_EQ(std::vector<std::uint32_t>(ids.begin(), ids.end()), (std::vector<std::uint32_t>{1, 2, 3, 4}));
  for (std::uint32_t i = 5; i <= 100; ++i) ids.push_back(i);
  EXPECT_EQ(ids.size(), 100u);
  EXPECT_EQ(ids.back(), 100u);
}

TEST(SmallVectorTest, CopiesAndMovesKeepElementsInlineOrOnTheHeap) {
  Texts inline_texts{"a", "b"};
  Texts heap_texts{"c", "d", "e"};
  Texts copy = heap_texts;
  EXPECT_EQ(copy, heap_texts);
  Texts moved = std::move(heap_texts);
  EXPECT_EQ(moved, copy);
  EXPECT_TRUE(heap_texts.empty());  // NOLINT: the moved-from vector is empty by contract
  Texts moved_inline = std::move(inline_texts);
  EXPECT_EQ(moved_inline, (Texts{"a", "b"}));
  EXPECT_TRUE(inline_texts.empty());  // NOLINT

  moved_inline = moved;  // inline receives heap contents
  EXPECT_EQ(moved_inline, copy);
  moved = Texts{"x"};  // heap receives inline contents
  EXPECT_EQ(moved, (Texts{"x"}));
  Texts& alias = moved;
  moved = alias;  // self-assignment keeps the contents
  EXPECT_EQ(moved, (Texts{"x"}));
  std::swap(moved, moved_inline);
  EXPECT_EQ(moved, copy);
  EXPECT_EQ(moved_inline, (Texts{"x"}));
}

TEST(SmallVectorTest, PushBackOfItsOwnElementWhileGrowing) {
  Texts texts{"first", "second"};
  texts.push_back(texts[0]);  // the argument lives in the buffer that grows
  EXPECT_EQ(texts, (Texts{"first", "second", "first"}));
}

TEST(SmallVectorTest, EraseTruncateAndResize) {
  Ids ids{1, 1, 2, 3, 3, 3, 4};
  auto end = std::unique(ids.begin(), ids.end());
  ids.erase(end, ids.end());
  EXPECT_EQ(ids, (Ids{1, 2, 3, 4}));
  ids.erase(ids.begin() + 1, ids.begin() + 3);
  EXPECT_EQ(ids, (Ids{1, 4}));
  ids.resize(4);
  EXPECT_EQ(ids, (Ids{1, 4, 0, 0}));
  ids.truncate(1);
  EXPECT_EQ(ids, (Ids{1}));
}

TEST(SmallVectorTest, AppendingOneAtATimeReallocatesOnlyLogarithmicallyOften) {
  // Unions append short lists to long ones over and over; growing to the
  // exact size would move the long list on every append.
  Ids ids;
  const Ids one{7};
  std::size_t reallocations = 0;
  for (int i = 0; i < 4096; ++i) {
    const auto before = ids.capacity();
    ids.append(one.begin(), one.end());
    reallocations += ids.capacity() != before;
  }
  EXPECT_EQ(ids.size(), 4096u);
  EXPECT_LE(reallocations, 12u);
  Ids more{1, 2};
  more.append(ids.begin(), ids.end());  // a long append still fits in one step
  EXPECT_EQ(more.size(), 4098u);
  EXPECT_EQ(more[2], 7u);
}

TEST(ChunkedVectorTest, EntriesKeepTheirAddressesAcrossChunks) {
  ChunkedVector<std::string, 2> texts;  // chunks of four
  std::vector<const std::string*> addresses;
  for (int i = 0; i < 11; ++i) addresses.push_back(&texts.emplace_back("text " + std::to_string(i)));
  ASSERT_EQ(texts.size(), 11u);
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(&texts[i], addresses[i]);
    EXPECT_EQ(texts[i], "text " + std::to_string(i));
  }
  ChunkedVector<std::string, 2> moved = std::move(texts);
  EXPECT_EQ(moved.size(), 11u);
  EXPECT_EQ(&moved[10], addresses[10]);
  EXPECT_TRUE(texts.empty());  // NOLINT
}

TEST(ChunkedVectorTest, DestroysEveryEntry) {
  auto counted = std::make_shared<int>(0);
  {
    ChunkedVector<std::shared_ptr<int>, 1> owners;
    for (int i = 0; i < 5; ++i) owners.push_back(counted);
    EXPECT_EQ(counted.use_count(), 6);
  }
  EXPECT_EQ(counted.use_count(), 1);
}

}  // namespace
}  // namespace korvane::egraph
