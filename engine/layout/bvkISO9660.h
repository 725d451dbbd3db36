// ISO 9660, Joliet and El Torito: address assignment for a prepared tree and the image header
// (system area, volume descriptors, path tables, directory extents, boot catalog) built in
// memory.
#pragma once

#include <cstdint>

#include "layout/bvkTreeTypes.h"

namespace torvik {

// Orders and numbers the tree, gives every structure and file its sector and takes the layout
// time (LayoutTime). Returns the image size in sectors before the final rounding to whole
// packets: FirstDataSector + FilesSize; with the UDF bridge one more for the closing anchor, and
// at least the 300 sectors below which UDF readers refuse an image.
uint32_t Prepare(TCDFiles& cd);

// Builds the header into cd.isom for the current FirstWritableSector and VDImageSize.
// False (and nothing allocated) unless the layout is prepared, or when memory runs out.
bool BuildISOHeader(TCDFiles& cd);

}  // namespace torvik
