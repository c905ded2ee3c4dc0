#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace korvane {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
    // Names and tokens are nearly always ASCII: skip eight such bytes at once.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & kHighBits) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    const std::ptrdiff_t left = end - p;
    // Lead bytes 0x80..0xC1 are continuations or start overlong two-byte forms;
    // 0xF5..0xFF would encode beyond U+10FFFF.
    if (lead < 0xC2 || lead > 0xF4) return false;
    if (lead < 0xE0) {
      if (left < 2 || !is_continuation(p[1])) return false;
      p += 2;
      continue;
    }
    if (lead < 0xF0) {
      if (left < 3) return false;
      // E0 needs A0..BF (else overlong); ED needs 80..9F (else a surrogate).
      const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
      const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
      if (p[1] < low || p[1] > high || !is_continuation(p[2])) return false;
      p += 3;
      continue;
    }
    if (left < 4) return false;
    // F0 needs 90..BF (else overlong); F4 needs 80..8F (else above U+10FFFF).
    const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < low || p[1] > high || !is_continuation(p[2]) || !is_continuation(p[3])) {
      return false;
    }
    p += 4;
  }
  return true;
}

}  // namespace korvane
