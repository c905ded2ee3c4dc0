// Fixed hash functions of the e-graph engine.
//
// Fixed means the same input hashes the same way in every run: symbols get
// their shard from the hash of their text, and the shard is part of a symbol's
// number, which orders the e-nodes of a class. A seeded hash would make
// e-graph results vary between runs.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvane::egraph {

// Final avalanche: every input bit affects every output bit.
inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

// Folds one 64-bit value into a running hash state.
inline std::uint64_t hash_step(std::uint64_t state, std::uint64_t value) {
  state ^= value + 0x9e3779b97f4a7c15ULL + (state << 6) + (state >> 2);
  return state * 0xff51afd7ed558ccdULL;
}

inline std::uint64_t hash_bytes(std::string_view text) {
  std::uint64_t state = 0x243f6a8885a308d3ULL ^ (text.size() * 0x13198a2e03707344ULL);
  const char* p = text.data();
  std::size_t left = text.size();
  while (left >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    state = hash_step(state, word);
    p += 8;
    left -= 8;
  }
  if (left > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, left);
    state = hash_step(state, word);
  }
  return mix64(state);
}

}  // namespace korvane::egraph
