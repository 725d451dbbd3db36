// UDF bridge bookkeeping carried by the layout records. The UDF bridge fills these in when
// the bridge is enabled; the rest of the layout only stores them.
#pragma once

#include <cstdint>

namespace torvik {

// Per file entry (files and directory entries).
struct TUDFFileInfo {
  uint32_t FileEntryLSA = 0;  // sector of the entry's UDF file entry, relative to the session
  uint64_t UniqueID = 0;
};

// Per directory.
struct TUDFDirInfo {
  uint32_t FileEntryLSA = 0;     // sector of the directory's file entry
  uint32_t DirDataLSA = 0;       // first sector of its file identifier descriptors
  uint32_t DirDataBlocks = 0;    // sectors of identifier data
  uint64_t InformationLength = 0;
  uint64_t UniqueID = 0;
};

// Per layout: positions of the bridge's structures and the generator's progress.
struct TUDFBridgeInfo {
  uint32_t SessionStarting_LSA = 0;
  uint32_t NumberOfBlocksRequiredForFileDirStructures = 0;
  bool IsNewPacketRequiredForLastAVDP = false;
};

}  // namespace torvik
