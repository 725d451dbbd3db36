// Field writers for ECMA-119 structures. Every on-disc number goes through one of these, at the
// offset the format gives it, into a span that is already zero-filled; nothing is laid over raw
// memory as a packed struct, so host byte order and alignment never leak into an image.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace torvik::iso {

inline void PutU8(std::span<uint8_t> s, size_t off, uint8_t v) {
  assert(off < s.size());
  s[off] = v;
}

inline void PutLE16(std::span<uint8_t> s, size_t off, uint16_t v) {
  assert(off + 2 <= s.size());
  s[off] = uint8_t(v);
  s[off + 1] = uint8_t(v >> 8);
}

inline void PutBE16(std::span<uint8_t> s, size_t off, uint16_t v) {
  assert(off + 2 <= s.size());
  s[off] = uint8_t(v >> 8);
  s[off + 1] = uint8_t(v);
}

inline void PutLE32(std::span<uint8_t> s, size_t off, uint32_t v) {
  assert(off + 4 <= s.size());
  for (int i = 0; i < 4; ++i) s[off + i] = uint8_t(v >> (8 * i));
}

inline void PutBE32(std::span<uint8_t> s, size_t off, uint32_t v) {
  assert(off + 4 <= s.size());
  for (int i = 0; i < 4; ++i) s[off + i] = uint8_t(v >> (8 * (3 - i)));
}

// ECMA-119 "both-byte" numbers: the little-endian value, then the big-endian one.
inline void PutBoth16(std::span<uint8_t> s, size_t off, uint16_t v) {
  PutLE16(s, off, v);
  PutBE16(s, off + 2, v);
}

inline void PutBoth32(std::span<uint8_t> s, size_t off, uint32_t v) {
  PutLE32(s, off, v);
  PutBE32(s, off + 4, v);
}

inline void PutText(std::span<uint8_t> s, size_t off, std::string_view text) {
  assert(off + text.size() <= s.size());
  for (size_t i = 0; i < text.size(); ++i) s[off + i] = uint8_t(text[i]);
}

inline uint16_t GetLE16(std::span<const uint8_t> s, size_t off) {
  return uint16_t(s[off] | (s[off + 1] << 8));
}

inline uint32_t GetLE32(std::span<const uint8_t> s, size_t off) {
  return uint32_t(s[off]) | uint32_t(s[off + 1]) << 8 | uint32_t(s[off + 2]) << 16 |
         uint32_t(s[off + 3]) << 24;
}

inline uint32_t GetBE32(std::span<const uint8_t> s, size_t off) {
  return uint32_t(s[off]) << 24 | uint32_t(s[off + 1]) << 16 | uint32_t(s[off + 2]) << 8 |
         uint32_t(s[off + 3]);
}

}  // namespace torvik::iso
