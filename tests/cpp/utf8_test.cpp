#include "utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace korvane {
namespace {

// A deliberately different formulation: decode each scalar value, then check
// its range and that it used the shortest form.
bool decodes_cleanly(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned lead = static_cast<unsigned char>(s[i]);
    std::size_t length;
    std::uint32_t value;
    std::uint32_t smallest;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, value = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
      return false;
    }
    if (i + length > s.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned byte = static_cast<unsigned char>(s[i + k]);
      if ((byte & 0xC0) != 0x80) return false;
      value = (value << 6) | (byte & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::string encode(std::uint32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

TEST(Utf8, EveryScalarValueIsValidAndEverySurrogateIsNot) {
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    ASSERT_EQ(is_valid_utf8(encode(cp)), !surrogate) << std::hex << cp;
  }
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // U+110000
}

TEST(Utf8, AgreesWithDecodingOnAllShortSequences) {
  std::string s(3, '\0');
  for (std::uint32_t v = 0; v < (1u << 24); ++v) {
    s[0] = static_cast<char>(v >> 16);
    s[1] = static_cast<char>(v >> 8);
    s[2] = static_cast<char>(v);
    ASSERT_EQ(is_valid_utf8(s), decodes_cleanly(s)) << std::hex << v;
    ASSERT_EQ(is_valid_utf8(std::string_view(s).substr(0, 2)), decodes_cleanly(s.substr(0, 2)));
  }
}

TEST(Utf8, AgreesWithDecodingOnFourByteForms) {
  const unsigned tails[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0xBF, 0xC0, 0xF4, 0xFF};
  for (unsigned lead = 0xE0; lead <= 0xFF; ++lead) {
    for (unsigned second = 0; second < 256; ++second) {
      for (unsigned third : tails) {
        for (unsigned fourth : tails) {
          const std::string s{static_cast<char>(lead), static_cast<char>(second),
                              static_cast<char>(third), static_cast<char>(fourth)};
          ASSERT_EQ(is_valid_utf8(s), decodes_cleanly(s)) << std::hex << lead << " " << second;
        }
      }
    }
  }
}

TEST(Utf8, FaultsAreFoundAtEveryOffsetOfLongAsciiRuns) {
  // The eight-byte ASCII skip must neither step over a bad byte nor split a
  // sequence at a word boundary.
  for (std::size_t at = 0; at < 24; ++at) {
    std::string text(24, 'a');
    text[at] = '\xFF';
    EXPECT_FALSE(is_valid_utf8(text)) << at;
    std::string euro(24, 'a');
    euro.replace(at, 3, "\xE2\x82\xAC");
    euro.resize(24);
    EXPECT_EQ(is_valid_utf8(euro), at + 3 <= 24) << at;
  }
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8(std::string(1000, 'z')));
}

}  // namespace
}  // namespace korvane
