// The primitive fields of a packed record (record.hpp) and the two sinks that
// every record writer walks its node with: one that only counts bytes and one
// that writes them, so a record is written into exactly the space it needs.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace korvane::record_format {

inline constexpr const char* kTooLarge = "too large for korvane IR blob";

// A longer field would be cut to 32 bits, and two different nodes could then
// share one record and one id.
inline std::uint32_t checked_u32(std::uint64_t n) {
  if (n > 0xFFFFFFFFULL) throw std::length_error(kTooLarge);
  return static_cast<std::uint32_t>(n);
}

struct SizeSink {
  std::size_t size = 0;
  void u8(std::uint8_t) { size += 1; }
  void u32(std::uint32_t) { size += 4; }
  void u64(std::uint64_t) { size += 8; }
  void bytes(std::string_view s) { size += s.size(); }
};

struct WriteSink {
  char* at;
  void u8(std::uint8_t v) { *at++ = static_cast<char>(v); }
  void u32(std::uint32_t v) {
    std::memcpy(at, &v, 4);  // the host is little-endian, like the format
    at += 4;
  }
  void u64(std::uint64_t v) {
    std::memcpy(at, &v, 8);
    at += 8;
  }
  void bytes(std::string_view s) {
    if (!s.empty()) std::memcpy(at, s.data(), s.size());
    at += s.size();
  }
};

// The bit pattern of a NaN (any payload, either sign).
inline bool is_nan_bits(std::uint64_t bits) {
  return (bits & 0x7FF0000000000000ULL) == 0x7FF0000000000000ULL &&
         (bits & 0x000FFFFFFFFFFFFFULL) != 0;
}

template <class Sink>
void put_string(Sink& sink, std::string_view s) {
  sink.u32(checked_u32(s.size()));
  sink.bytes(s);
}

// An External record's descriptor: the five strings, the presence flag of
// preprocessing_ref, then preprocessing_ref when present. For a
// PayloadDescriptor and for its borrowed form alike.
template <class Sink, class Descriptor>
void put_descriptor(Sink& sink, const Descriptor& d) {
  put_string(sink, d.kind);
  put_string(sink, d.content_hash);
  put_string(sink, d.framework);
  put_string(sink, d.version);
  put_string(sink, d.io_schema);
  sink.u8(d.preprocessing_ref ? 1 : 0);
  if (d.preprocessing_ref) put_string(sink, *d.preprocessing_ref);
}

}  // namespace korvane::record_format
