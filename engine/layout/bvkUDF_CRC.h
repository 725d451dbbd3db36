// CRC of UDF descriptor tags: CRC-16/CCITT as ECMA-167 uses it (polynomial 1021h, initial
// value 0, no reflection, no final XOR).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace torvik {

namespace detail {
constexpr std::array<uint16_t, 256> MakeUDFCRC16Table() {
  std::array<uint16_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 8;
    for (int b = 0; b < 8; ++b) c = (c & 0x8000u) ? (c << 1) ^ 0x1021u : c << 1;
    t[i] = uint16_t(c);
  }
  return t;
}
}  // namespace detail

// Computed by the compiler, so it is constant data in the binary like a written-out table.
inline constexpr std::array<uint16_t, 256> UDFCRC16 = detail::MakeUDFCRC16Table();

// The CRC of `length` bytes. Every file entry is a 2048-byte block that is mostly zero; the
// zero tail is folded in arithmetically (see the .cpp) instead of byte by byte, which keeps
// the bridge's cost per file small on trees of many small files.
uint16_t UDFCrc16(const uint8_t* data, size_t length);

}  // namespace torvik
