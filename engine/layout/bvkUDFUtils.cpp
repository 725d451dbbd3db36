#include "layout/bvkUDFUtils.h"

#include "layout/bvkECMA_167.h"
#include "layout/bvkOSTA_UDF_150.h"
#include "layout/bvkUDF_CRC.h"

namespace torvik {

void BuildUDFTag(uint8_t* descriptor, uint16_t identifier, uint16_t crcLength, uint32_t location) {
  PutU16(descriptor, 0, identifier);
  PutU16(descriptor, 2, ecma167::DESCRIPTOR_VERSION);
  descriptor[4] = 0;
  descriptor[5] = 0;
  PutU16(descriptor, 6, ecma167::TAG_SERIAL_NUMBER);
  PutU16(descriptor, 8, UDFCrc16(descriptor + ecma167::TAG_SIZE, crcLength));
  PutU16(descriptor, 10, crcLength);
  PutU32(descriptor, 12, location);
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = uint8_t(sum + descriptor[i]);
  descriptor[4] = sum;
}

void PutRegid(uint8_t* p, size_t off, const char* identifier, const uint8_t (&suffix)[8]) {
  p[off] = 0;
  std::memset(p + off + 1, 0, 23);
  std::memcpy(p + off + 1, identifier, std::strlen(identifier));
  std::memcpy(p + off + 24, suffix, 8);
}

void PutImplementationRegid(uint8_t* p, size_t off) {
  const uint8_t suffix[8] = {osta::OS_CLASS, 0, 0, 0, 0, 0, 0, 0};
  PutRegid(p, off, osta::IMPLEMENTATION_IDENTIFIER, suffix);
}

void PutDomainRegid(uint8_t* p, size_t off, uint8_t flags) {
  const uint8_t suffix[8] = {
      uint8_t(osta::UDF_REVISION), uint8_t(osta::UDF_REVISION >> 8), flags, 0, 0, 0, 0, 0};
  PutRegid(p, off, osta::DOMAIN_IDENTIFIER, suffix);
}

void PutUDFSuffixRegid(uint8_t* p, size_t off, const char* identifier) {
  const uint8_t suffix[8] = {
      uint8_t(osta::UDF_REVISION), uint8_t(osta::UDF_REVISION >> 8), osta::OS_CLASS, 0, 0, 0, 0, 0};
  PutRegid(p, off, identifier, suffix);
}

void PutCharspec(uint8_t* p, size_t off) {
  std::memset(p + off, 0, 64);
  PutText(p, off + 1, osta::CHARSPEC_TEXT);
}

void PutDString(uint8_t* p, size_t off, size_t fieldSize, const uint8_t* bytes, size_t count) {
  std::memset(p + off, 0, fieldSize);
  if (count == 0) return;
  if (count > fieldSize - 1) count = fieldSize - 1;
  std::memcpy(p + off, bytes, count);
  p[off + fieldSize - 1] = uint8_t(count);
}

void PutExtentAD(uint8_t* p, size_t off, uint32_t length, uint32_t location) {
  PutU32(p, off, length);
  PutU32(p, off + 4, location);
}

void PutLongAD(uint8_t* p, size_t off, uint32_t length, uint32_t lbn, uint16_t partition) {
  PutU32(p, off, length);
  PutU32(p, off + 4, lbn);
  PutU16(p, off + 8, partition);
  std::memset(p + off + 10, 0, 6);
}

void PutShortAD(uint8_t* p, size_t off, uint32_t length, uint32_t position) {
  PutU32(p, off, length);
  PutU32(p, off + 4, position);
}

}  // namespace torvik
