// The process-wide symbol table: 16 shards, each a list of texts in interning
// order with a hash index over it.
//
// Reductions running in parallel intern the same operator texts (every
// reduction interns each distinct token of its graph), and nearly all of them
// are already known. Looking a known text up therefore takes no lock: a
// shard's index and its text directory are published with release stores and
// read with acquire loads, and nothing a reader can reach is ever moved or
// freed. Only adding a text takes the shard's lock. A reader that misses -
// the text is new, or was added after the reader took the index - goes
// through the lock and looks again there.
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "egraph/hashing.hpp"
#include "egraph/symbol.hpp"
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

// Position -> text, in blocks that double in size and never move: block k
// holds the positions [kFirst (2^k - 1), kFirst (2^(k+1) - 1)).
class TextDirectory {
 public:
  std::string_view at(std::size_t position) const {
    const auto [block, offset] = locate(position);
    const Text& text = blocks_[block].load(std::memory_order_acquire)[offset];
    return {text.data, text.size};
  }

  // Writer only (under the shard lock); readers see the entry once the
  // caller publishes its position.
  void set(std::size_t position, std::string_view text) {
    const auto [block, offset] = locate(position);
    Text* entries = blocks_[block].load(std::memory_order_relaxed);
    if (entries == nullptr) {
      owned_.push_back(std::make_unique<Text[]>(kFirst << block));
      entries = owned_.back().get();
      blocks_[block].store(entries, std::memory_order_release);
    }
    entries[offset] = Text{text.data(), text.size()};
  }

 private:
  struct Text {
    const char* data = nullptr;
    std::size_t size = 0;
  };
  static constexpr std::size_t kFirst = 64;
  // Enough blocks for every position below symbol_layout::kMaxNumber.
  static constexpr unsigned kBlocks = 23;

  static std::pair<unsigned, std::size_t> locate(std::size_t position) {
    const std::size_t v = position / kFirst + 1;
    const unsigned block = static_cast<unsigned>(std::bit_width(v)) - 1;
    return {block, position - kFirst * ((std::size_t{1} << block) - 1)};
  }

  std::array<std::atomic<Text*>, kBlocks> blocks_{};
  std::vector<std::unique_ptr<Text[]>> owned_;
};

// Open addressing over 64-bit slots: the text hash's upper 32 bits above
// position + 1 (0 marks an empty slot). A full index is replaced by a larger
// copy; the old one stays alive for readers that still hold it.
struct HashIndex {
  explicit HashIndex(std::size_t capacity)
      : mask(capacity - 1), slots(std::make_unique<std::atomic<std::uint64_t>[]>(capacity)) {}

  // The low 4 bits of the hash chose the shard; the home slot comes from the
  // bits above them.
  std::size_t home(std::uint64_t hash) const { return (hash >> 4) & mask; }
  std::size_t capacity() const { return mask + 1; }

  std::size_t mask;
  std::unique_ptr<std::atomic<std::uint64_t>[]> slots;
};

class Shard {
 public:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  // The text's position, without taking the lock; kAbsent if not (yet) seen.
  std::uint32_t find(std::string_view text, std::uint64_t hash) const {
    const HashIndex* index = index_.load(std::memory_order_acquire);
    return index == nullptr ? kAbsent : probe(*index, text, hash);
  }

  std::uint32_t intern(std::string_view text, std::uint64_t hash, unsigned shard_number) {
    std::lock_guard<std::mutex> lock(mutex_);
    HashIndex* index = index_.load(std::memory_order_relaxed);
    if (index != nullptr) {
      std::uint32_t position = probe(*index, text, hash);
      if (position != kAbsent) return symbol_layout::make_number(shard_number, position);
    }
    const std::size_t position = count_.load(std::memory_order_relaxed);
    const std::uint32_t number = symbol_layout::make_number(shard_number, position);
    if (index == nullptr || (position + 1) * 4 > index->capacity() * 3) index = grow(index);
    texts_.set(position, copy(text));
    count_.store(position + 1, std::memory_order_release);
    place(*index, hash, position, std::memory_order_release);
    return number;
  }

  std::string_view text(std::size_t position) const {
    check_invariant(position < count_.load(std::memory_order_acquire),
                    "symbol number names no interned text");
    return texts_.at(position);
  }

 private:
  static constexpr std::uint64_t kTagMask = 0xFFFFFFFF00000000ULL;
  static constexpr std::size_t kChunkBytes = 64u << 10;

  std::uint32_t probe(const HashIndex& index, std::string_view text, std::uint64_t hash) const {
    const std::uint64_t tag = hash & kTagMask;
    for (std::size_t i = index.home(hash);; i = (i + 1) & index.mask) {
      const std::uint64_t slot = index.slots[i].load(std::memory_order_acquire);
      if (slot == 0) return kAbsent;
      const auto position = static_cast<std::uint32_t>((slot & ~kTagMask) - 1);
      if ((slot & kTagMask) == tag && texts_.at(position) == text) return position;
    }
  }

  static void place(HashIndex& index, std::uint64_t hash, std::size_t position,
                    std::memory_order order) {
    std::size_t i = index.home(hash);
    while (index.slots[i].load(std::memory_order_relaxed) != 0) i = (i + 1) & index.mask;
    index.slots[i].store((hash & kTagMask) | (position + 1), order);
  }

  // A twice larger index holding every text so far, published for readers.
  HashIndex* grow(HashIndex* old) {
    auto bigger = std::make_unique<HashIndex>(old == nullptr ? 64 : 2 * old->capacity());
    const std::size_t count = count_.load(std::memory_order_relaxed);
    for (std::size_t p = 0; p < count; ++p) {
      place(*bigger, hash_bytes(texts_.at(p)), p, std::memory_order_relaxed);
    }
    HashIndex* fresh = bigger.get();
    indexes_.push_back(std::move(bigger));
    index_.store(fresh, std::memory_order_release);
    return fresh;
  }

  // An owned copy of the text that never moves.
  std::string_view copy(std::string_view text) {
    if (text.size() > kChunkBytes / 4) {
      bytes_.push_back(std::make_unique<char[]>(text.size()));
      std::memcpy(bytes_.back().get(), text.data(), text.size());
      return {bytes_.back().get(), text.size()};
    }
    if (bytes_.empty() || room_ < text.size()) {
      bytes_.push_back(std::make_unique<char[]>(kChunkBytes));
      cursor_ = bytes_.back().get();
      room_ = kChunkBytes;
    }
    char* at = cursor_;
    std::memcpy(at, text.data(), text.size());
    cursor_ += text.size();
    room_ -= text.size();
    return {at, text.size()};
  }

  std::mutex mutex_;
  std::atomic<std::size_t> count_{0};
  std::atomic<HashIndex*> index_{nullptr};
  TextDirectory texts_;
  // Writer-only: every index ever published (readers may hold an old one)
  // and the chunks holding the text bytes.
  std::vector<std::unique_ptr<HashIndex>> indexes_;
  std::vector<std::unique_ptr<char[]>> bytes_;
  char* cursor_ = nullptr;
  std::size_t room_ = 0;
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
    const std::uint64_t hash = hash_bytes(text);
    const auto shard = static_cast<unsigned>(hash & (symbol_layout::kShardCount - 1));
    const std::uint32_t known = shards_[shard].find(text, hash);
    if (known != Shard::kAbsent) return symbol_layout::make_number(shard, known);
    return shards_[shard].intern(text, hash, shard);
  }

  std::string_view text(std::uint32_t number) const {
    const std::uint32_t position_plus_one = number & ((1u << symbol_layout::kShardShift) - 1);
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

}  // namespace korvane::egraph
