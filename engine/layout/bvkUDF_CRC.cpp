#include "layout/bvkUDF_CRC.h"

namespace torvik {

static_assert(UDFCRC16[1] == 0x1021 && UDFCRC16[255] == 0x1EF0);

uint16_t UDFCrc16(const uint8_t* data, size_t length) {
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i)
    crc = uint16_t(UDFCRC16[uint8_t((crc >> 8) ^ data[i])] ^ (crc << 8));
  return crc;
}

}  // namespace torvik
