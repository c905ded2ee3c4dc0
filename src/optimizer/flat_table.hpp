// Hashing and an open-addressing index for the optimizer's tables.
//
// The passes key their tables by positions into flat arrays (tokens, engine
// nodes, record prefixes). Storing only a 32-bit value and a 32-bit hash per
// slot keeps a table of a million entries at 16 MB with no allocation per key;
// the caller supplies the equality test, which looks the key up through the
// stored value.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace korvane::opt {

inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  return x;
}

// Folds one more word into a running hash.
inline std::uint64_t hash_combine(std::uint64_t h, std::uint64_t word) {
  return (h ^ mix64(word + 0x9e3779b97f4a7c15ULL)) * 0xff51afd7ed558ccdULL;
}

// Multiplies two words into 128 bits and folds the halves together.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// A fixed hash of a byte string (the same in every run). Tables hash one
// record prefix or token text per node of a large graph, so it takes
// sixteen bytes per step.
inline std::uint64_t hash_bytes(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t h = 0x243f6a8885a308d3ULL ^ (n * 0x9e3779b97f4a7c15ULL);
  std::uint64_t a;
  std::uint64_t b;
  while (n > 16) {
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    h = fold_multiply(a ^ 0xa0761d6478bd642fULL, b ^ h);
    p += 16;
    n -= 16;
  }
  if (n >= 8) {  // the last (possibly overlapping) eight bytes at both ends
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + n - 8, 8);
  } else if (n >= 4) {
    std::uint32_t lo;
    std::uint32_t hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    a = lo;
    b = hi;
  } else {
    a = n == 0 ? 0
               : (std::uint64_t{static_cast<unsigned char>(p[0])} << 16) |
                     (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
                     static_cast<unsigned char>(p[n - 1]);
    b = 0;
  }
  return mix64(fold_multiply(a ^ 0xe7037ed1a0b428dbULL, b ^ h ^ 0x8ebc6af09c88c6e3ULL) ^ n);
}

// A set of 32-bit values found by hash, with linear probing. Values are
// indices into the caller's own storage; the table never looks at the keys.
class IndexTable {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  explicit IndexTable(std::size_t expected = 0) { reserve(expected); }

  std::size_t size() const { return size_; }

  // The stored value whose key `equal(value)` accepts, or kNone.
  template <class Equal>
  std::uint32_t find(std::uint64_t hash, Equal&& equal) const {
    if (slots_.empty()) return kNone;
    const std::uint32_t tag = fold(hash);
    for (std::size_t i = tag & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.value == kNone) return kNone;
      if (slot.tag == tag && equal(slot.value)) return slot.value;
    }
  }

  // The stored value with an equal key, or `value` after inserting it.
  template <class Equal>
  std::uint32_t find_or_insert(std::uint64_t hash, std::uint32_t value, Equal&& equal) {
    check_invariant(value != kNone, "index table value out of range");
    if ((size_ + 1) * 2 > slots_.size()) grow();
    const std::uint32_t tag = fold(hash);
    for (std::size_t i = tag & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.value == kNone) {
        slot = {tag, value};
        ++size_;
        return value;
      }
      if (slot.tag == tag && equal(slot.value)) return slot.value;
    }
  }

  void reserve(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    if (capacity > slots_.size()) rehash(capacity);
  }

 private:
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t value = kNone;
  };

  static std::uint32_t fold(std::uint64_t hash) {
    return static_cast<std::uint32_t>(hash ^ (hash >> 32));
  }

  void grow() { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    for (const Slot& slot : old) {
      if (slot.value == kNone) continue;
      std::size_t i = slot.tag & mask_;
      while (slots_[i].value != kNone) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace korvane::opt
