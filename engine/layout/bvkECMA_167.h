// ECMA-167 (NSR02) numbers the UDF bridge writes: tag identifiers, volume structure
// identifiers and ICB values.
#pragma once

#include <cstdint>

namespace torvik::ecma167 {

// Descriptor tag identifiers (3/7.2.1, 4/7.2.1).
constexpr uint16_t TAG_PRIMARY_VOLUME_DESCRIPTOR = 1;
constexpr uint16_t TAG_ANCHOR_VOLUME_DESCRIPTOR_POINTER = 2;
constexpr uint16_t TAG_IMPLEMENTATION_USE_VOLUME_DESCRIPTOR = 4;
constexpr uint16_t TAG_PARTITION_DESCRIPTOR = 5;
constexpr uint16_t TAG_LOGICAL_VOLUME_DESCRIPTOR = 6;
constexpr uint16_t TAG_UNALLOCATED_SPACE_DESCRIPTOR = 7;
constexpr uint16_t TAG_TERMINATING_DESCRIPTOR = 8;
constexpr uint16_t TAG_LOGICAL_VOLUME_INTEGRITY_DESCRIPTOR = 9;
constexpr uint16_t TAG_FILE_SET_DESCRIPTOR = 256;
constexpr uint16_t TAG_FILE_IDENTIFIER_DESCRIPTOR = 257;
constexpr uint16_t TAG_FILE_ENTRY = 261;

constexpr uint16_t DESCRIPTOR_VERSION = 2;  // NSR02
constexpr uint16_t TAG_SERIAL_NUMBER = 1;
constexpr uint32_t TAG_SIZE = 16;

// Volume structure descriptors of the recognition sequence (2/9).
constexpr const char* VSD_BEA01 = "BEA01";
constexpr const char* VSD_NSR02 = "NSR02";
constexpr const char* VSD_TEA01 = "TEA01";

// ICB tag (4/14.6).
constexpr uint16_t ICB_STRATEGY_TYPE = 4;
constexpr uint8_t FILE_TYPE_DIRECTORY = 4;
constexpr uint8_t FILE_TYPE_FILE = 5;
constexpr uint16_t ICB_FLAG_SHORT_AD = 0;

// File characteristics of an identifier descriptor (4/14.4.3).
constexpr uint8_t FID_DIRECTORY = 0x02;
constexpr uint8_t FID_PARENT = 0x08;

// Read and execute for owner, group and others (4/14.9.5).
constexpr uint32_t PERMISSIONS_READ_EXECUTE = 0x14A5;

constexpr uint32_t FILE_ENTRY_AD_OFFSET = 176;  // allocation descriptors in a file entry
constexpr uint32_t FID_FIXED_SIZE = 38;         // identifier descriptor before the name
constexpr uint32_t LONG_AD_SIZE = 16;
constexpr uint32_t SHORT_AD_SIZE = 8;
// The top two bits of an extent length are its type; 30 bits remain for the length.
constexpr uint32_t MAX_EXTENT_LENGTH = (1u << 30) - 1;

}  // namespace torvik::ecma167
