// The OSTA UDF identities the bridge records: entity identifiers, their suffixes and the
// character set text.
#pragma once

#include <cstdint>

namespace torvik::osta {

constexpr const char* IMPLEMENTATION_IDENTIFIER = "*Pelora UDF";
constexpr const char* DOMAIN_IDENTIFIER = "*OSTA UDF Compliant";
constexpr const char* LV_INFO_IDENTIFIER = "*UDF LV Info";
constexpr const char* PARTITION_CONTENTS_IDENTIFIER = "+NSR02";
constexpr const char* CHARSPEC_TEXT = "OSTA Compressed Unicode";
constexpr const char* VOLUME_SET_IDENTIFIER = "0CFE90CB";

constexpr uint16_t UDF_REVISION = 0x0150;
constexpr uint8_t OS_CLASS = 6;
// Hard and soft write protection: the volume is never written again in place.
constexpr uint8_t DOMAIN_FLAGS_WRITE_PROTECTED = 3;

constexpr uint8_t COMPRESSION_ID_8 = 8;
constexpr uint8_t COMPRESSION_ID_16 = 16;
// A compression-16 identifier of a file identifier descriptor: 1 + 2 x 127 = 255 bytes.
constexpr uint32_t MAX_NAME_UNITS = 127;

}  // namespace torvik::osta
