// The UDF 1.02 bridge: positions of its structures (laid out by Prepare), the fixed volume
// structures of the header, and the file entries and directory data generated block by block
// while the image stream runs.
#pragma once

#include <cstdint>

#include "layout/bvkTreeTypes.h"

namespace torvik {

// ---- layout, called by Prepare ------------------------------------------------------------
// Recognition sequence from `cursor`, descriptor sequences, integrity, anchor at 256, file set
// descriptor at 257. Prepare continues at FileSetDescriptor_LSAWRTSession + 2.
void LayoutUDFVolumeStructures(TCDFiles& cd, uint32_t cursor);
uint32_t UDFFileSetDescriptorSector(const TCDFiles& cd);
// File entries and directory data from `cursor`; resets the generator. Names too long for a
// UDF identifier get their shortened UDF form here (UDFFileInfo.UDFName), before any size is
// taken. Prepare then adds cd.UDFBridgeInfo.NumberOfBlocksRequiredForFileDirStructures to its
// cursor.
void LayoutUDFFileStructures(TCDFiles& cd, uint32_t cursor);
void CompleteUDFLayout(TCDFiles& cd, uint32_t dataStart, uint32_t lastSector);

// True when every imported file's data lies inside the bridge's partition (at or after its
// start, sector 257). Files of an earlier session below it cannot be addressed by the bridge:
// a header is not built for such a layout.
bool UDFReachesImports(const TCDFiles& cd);

// ---- fixed structures, called by the header builder (each fills a zeroed buffer) ---------
void WriteVolumeRecognitionSequence(const TCDFiles& cd, uint8_t* dest);     // 3 sectors
void WriteUDFVolumeDescriptorSequences(const TCDFiles& cd, uint8_t* dest);  // 32 sectors
void WriteLogicalVolumeIntegrity(const TCDFiles& cd, uint8_t* dest);        // 4 sectors
void WriteAnchorVolumeDescriptorPointer(const TCDFiles& cd, uint8_t* dest, uint32_t location);
void WriteFileSetDescriptor(const TCDFiles& cd, uint8_t* dest);  // 2 sectors

// ---- streaming, called by the image producer -----------------------------------------------
// Writes the next k (1..32) sectors of file entries and directory data; false, writing
// nothing, once everything has been generated.
bool WriteUDFFileStructureBlocks(TCDFiles& cd, uint8_t* dest, uint32_t k);

}  // namespace torvik
