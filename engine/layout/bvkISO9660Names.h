// The names each hierarchy writes. The tree keeps one long name per entry (up to 217 UTF-16
// units, any characters); Joliet and ISO 9660:1999 directory records hold fewer and forbid
// some, so Prepare derives the written name once per hierarchy and every size is computed from
// exactly the bytes that will be written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "layout/bvkTreeTypes.h"

namespace torvik {

// A Joliet record could hold 110 units (33 + 220 + 1 = 254 bytes), but libarchive (bsdtar)
// cuts Joliet names at 103 units, the limit mkisofs set, so two names that differ only after
// unit 103 would extract onto one file. 103 reads the same everywhere.
constexpr size_t kJolietNameLimit = 103;    // UTF-16 units
// ISO 9660:1999 allows 207 bytes of identifier; 33 + 207 = 240.
constexpr size_t kISO1999NameLimit = 207;   // bytes of UTF-8

// Fills JolietName (when cd.JolietFS) and ISO1999Name (when cd.ISO9660v1999FS) of every entry
// in every directory list, and clears the field of a hierarchy that is off. Names that need no
// change are copied; the others are mapped and shortened, keeping the extension, with a "~N"
// tail where that would repeat a name of the same directory (compared case-insensitively).
void DeriveHierarchyNames(TCDFiles& cd);

}  // namespace torvik
