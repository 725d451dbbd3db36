#include "layout/bvkUDF_CRC.h"

#include <cstring>

namespace torvik {

static_assert(UDFCRC16[1] == 0x1021 && UDFCRC16[255] == 0x1EF0);

namespace {

constexpr uint16_t StepZero(uint16_t crc) { return uint16_t(UDFCRC16[crc >> 8] ^ (crc << 8)); }

// Feeding n zero bytes is a linear map of the 16-bit CRC state. Zeros[j][b] is the image of
// state bit b after 2^j zero bytes; a run of zeros is the product of the maps of its bits.
constexpr int kZeroPowers = 32;
using ZeroMap = std::array<uint16_t, 16>;

constexpr uint16_t Apply(const ZeroMap& m, uint16_t crc) {
  uint16_t out = 0;
  for (int b = 0; b < 16; ++b) out ^= uint16_t(m[size_t(b)] & -((crc >> b) & 1));
  return out;
}

constexpr std::array<ZeroMap, kZeroPowers> MakeZeroMaps() {
  std::array<ZeroMap, kZeroPowers> z{};
  for (int b = 0; b < 16; ++b) z[0][size_t(b)] = StepZero(uint16_t(1u << b));
  for (int j = 1; j < kZeroPowers; ++j)
    for (int b = 0; b < 16; ++b)
      z[size_t(j)][size_t(b)] = Apply(z[size_t(j - 1)], z[size_t(j - 1)][size_t(b)]);
  return z;
}

constexpr std::array<ZeroMap, kZeroPowers> kZeros = MakeZeroMaps();

// Four bytes per step: Slices[k][v] is the CRC of byte v followed by k zero bytes, so the
// table lookups of one step do not wait on each other.
constexpr std::array<std::array<uint16_t, 256>, 4> MakeSlices() {
  std::array<std::array<uint16_t, 256>, 4> t{};
  t[0] = UDFCRC16;
  for (size_t k = 1; k < 4; ++k)
    for (size_t v = 0; v < 256; ++v) t[k][v] = StepZero(t[k - 1][v]);
  return t;
}

constexpr std::array<std::array<uint16_t, 256>, 4> kSlices = MakeSlices();

// Length of the data without its run of trailing zero bytes.
size_t WithoutZeroTail(const uint8_t* data, size_t length) {
  while (length >= 8) {
    uint64_t w;
    std::memcpy(&w, data + length - 8, 8);
    if (w != 0) break;
    length -= 8;
  }
  while (length > 0 && data[length - 1] == 0) --length;
  return length;
}

}  // namespace

uint16_t UDFCrc16(const uint8_t* data, size_t length) {
  const size_t body = WithoutZeroTail(data, length);
  uint16_t crc = 0;
  size_t i = 0;
  for (; i + 4 <= body; i += 4)
    crc = uint16_t(kSlices[3][uint8_t(data[i] ^ (crc >> 8))] ^
                   kSlices[2][uint8_t(data[i + 1] ^ crc)] ^ kSlices[1][data[i + 2]] ^
                   kSlices[0][data[i + 3]]);
  for (; i < body; ++i) crc = uint16_t(UDFCRC16[uint8_t((crc >> 8) ^ data[i])] ^ (crc << 8));
  size_t zeros = length - body;
  for (size_t j = 0; zeros != 0 && j < kZeroPowers; ++j, zeros >>= 1)
    if (zeros & 1) crc = Apply(kZeros[j], crc);
  return crc;
}

}  // namespace torvik
