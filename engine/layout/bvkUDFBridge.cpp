// Placeholder until the UDF bridge lands: the seams exist so that Prepare, the header builder
// and the image stream can call them; with UDFBridge off none of them is reached.
#include "layout/bvkUDFBridge.h"

namespace torvik {

void LayoutUDFVolumeStructures(TCDFiles&, uint32_t) {}
uint32_t UDFFileSetDescriptorSector(const TCDFiles&) { return 257; }
void LayoutUDFFileStructures(TCDFiles& cd, uint32_t) {
  cd.UDFBridgeInfo.NumberOfBlocksRequiredForFileDirStructures = 0;
}
void CompleteUDFLayout(TCDFiles&, uint32_t, uint32_t) {}
void WriteVolumeRecognitionSequence(const TCDFiles&, uint8_t*) {}
void WriteUDFVolumeDescriptorSequences(const TCDFiles&, uint8_t*) {}
void WriteLogicalVolumeIntegrity(const TCDFiles&, uint8_t*) {}
void WriteAnchorVolumeDescriptorPointer(const TCDFiles&, uint8_t*, uint32_t) {}
void WriteFileSetDescriptor(const TCDFiles&, uint8_t*) {}
bool WriteUDFFileStructureBlocks(TCDFiles&, uint8_t*, uint32_t) { return false; }

}  // namespace torvik
