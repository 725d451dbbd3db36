// Byte writers for UDF structures: little-endian fields at stated offsets, descriptor tags,
// entity identifiers, character set specifications, dstrings and allocation descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace torvik {

inline void PutU8(uint8_t* p, size_t off, uint8_t v) { p[off] = v; }
inline void PutU16(uint8_t* p, size_t off, uint16_t v) {
  p[off] = uint8_t(v);
  p[off + 1] = uint8_t(v >> 8);
}
inline void PutU32(uint8_t* p, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[off + size_t(i)] = uint8_t(v >> (8 * i));
}
inline void PutU64(uint8_t* p, size_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[off + size_t(i)] = uint8_t(v >> (8 * i));
}
inline void PutText(uint8_t* p, size_t off, const char* text) {
  std::memcpy(p + off, text, std::strlen(text));
}

// Fills the 16-byte tag at the start of `descriptor`; the CRC covers the `crcLength` bytes
// after the tag, so the body must be complete before the tag is built.
void BuildUDFTag(uint8_t* descriptor, uint16_t identifier, uint16_t crcLength, uint32_t location);

// Entity identifier (regid, 32 bytes): flags 0, identifier, 8-byte suffix.
void PutRegid(uint8_t* p, size_t off, const char* identifier, const uint8_t (&suffix)[8]);
// "*Pelora UDF" with the operating system class.
void PutImplementationRegid(uint8_t* p, size_t off);
// "*OSTA UDF Compliant", revision 0150h, with the given domain flags.
void PutDomainRegid(uint8_t* p, size_t off, uint8_t flags);
// An identifier with the UDF suffix: revision 0150h and the operating system class.
void PutUDFSuffixRegid(uint8_t* p, size_t off, const char* identifier);
// Character set specification (64 bytes): type 0, "OSTA Compressed Unicode".
void PutCharspec(uint8_t* p, size_t off);
// A dstring of `fieldSize` bytes: the compressed bytes, then their count in the last byte.
// An empty string leaves the whole field zero.
void PutDString(uint8_t* p, size_t off, size_t fieldSize, const uint8_t* bytes, size_t count);

void PutExtentAD(uint8_t* p, size_t off, uint32_t length, uint32_t location);
void PutLongAD(uint8_t* p, size_t off, uint32_t length, uint32_t lbn, uint16_t partition);
void PutShortAD(uint8_t* p, size_t off, uint32_t length, uint32_t position);

}  // namespace torvik
