// UDF bridge bookkeeping carried by the layout records. Prepare fills the positions, the image
// stream advances the generator state; the rest of the layout only stores these records.
#pragma once

#include <cstdint>
#include <string>

#include "layout/bvkRareText.h"

namespace torvik {

struct TFileEntry;
struct TDirEntry;

// ECMA-167 1/7.3 timestamp, kept broken down so that it is written field by field.
struct timestamp {
  uint16_t typeAndTimezone = 0;
  int16_t year = 0;
  uint8_t month = 0;
  uint8_t day = 0;
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
  uint8_t centiseconds = 0;
  uint8_t hundredsOfMicroseconds = 0;
  uint8_t microseconds = 0;
};

enum class FileDirWritingStatus : uint8_t { WritingDirICB, WritingDirData, WritingFileICB };

// Per file entry (files and directory entries alike).
struct UDFFileInformation {
  // The identifier the UDF view writes when it is not the long name itself (empty then): the
  // long name shortened to what a file identifier descriptor holds, unique in its directory.
  // Sizing and writing both take the name from the same place, so they cannot disagree.
  TRareText<std::u16string> UDFName;
  uint32_t FileICB_LSOffsetWRTSession = 0;
};

// Per directory.
struct UDFDirectoryInformation {
  uint16_t FileLinkCount = 0;
  uint64_t InformationLength = 0;          // bytes of the directory's identifier descriptors
  TFileEntry* CurrentFileEntry = nullptr;  // walk position in the directory's entry list
  uint32_t DirICB_LSOffsetWRTSession = 0;
  uint32_t DirData_LSOffsetWRTSession = 0;
};

struct UDFBridgeInformation {
  uint8_t VolumeIdentifier[31] = {};     // label as a 32-byte dstring holds it (ID 8 or 16)
  uint8_t FIDContainer[296] = {};        // one file identifier descriptor being emitted
  int8_t UDFVolumeIdentifierLength = 0;  // bytes used in VolumeIdentifier
  uint16_t PartialFIDLengthRecovered = 0;
  uint16_t PartialFIDLengthToRecover = 0;
  uint32_t NumberOfDirectories = 0;  // root included
  uint32_t NumberOfFiles = 0;
  uint32_t VolumeRecognitionSequence_LSAWRTSession = 0;
  uint32_t AnchorVolumeDescriptorPointer_LSAWRTSession = 0;
  uint32_t MainVolumeDescriptorSequenceExtent_LSAWRTSession = 0;
  uint32_t ReserveVolumeDescriptorSequenceExtent_LSAWRTSession = 0;
  uint32_t LogicalVolumeIntegrityDescriptor_LSAWRTSession = 0;
  uint32_t PartitionStarting_LSA = 0;  // absolute
  uint32_t LengthOfPartitionPortionInSession_LBS = 0;
  uint32_t FileSetDescriptor_LSAWRTSession = 0;
  uint32_t RootDirectoryICB_LSAWRTSession = 0;
  uint32_t NumberOfBlocksRequiredForFileDirStructures = 0;
  uint32_t NextAvailableLSOffsetWRTSession = 0;
  uint32_t BlockOffsetWritingDirData = 0;
  uint32_t ISODataPortionStarting_LSAWRTSession = 0;
  uint32_t LastAnchorVolumeDescriptorPointer_LSAWRTSession = 0;
  uint32_t SessionStarting_LSA = 0;  // absolute first sector of the session; 0 for an image
  int64_t ICB_UniqueID = 16;
  bool BackTrack = false;
  bool IsPartialFID = false;
  bool IsDiscLayoutExhausted = false;
  bool IsNewPacketRequiredForLastAVDP = false;
  TDirEntry* CurrentDirEntry = nullptr;
  FileDirWritingStatus Status = FileDirWritingStatus::WritingDirICB;
  timestamp UDFTimeStamp;
};

// The names the layout records use for these.
using TUDFFileInfo = UDFFileInformation;
using TUDFDirInfo = UDFDirectoryInformation;
using TUDFBridgeInfo = UDFBridgeInformation;

}  // namespace torvik
