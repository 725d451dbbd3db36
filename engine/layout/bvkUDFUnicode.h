// OSTA compressed Unicode and the names of the UDF view.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace torvik {

// Writes byte 0 = compressionID, then each of `count` characters as its low byte (ID 8) or as
// two bytes, high byte first (ID 16). Returns the bytes written, or -1 for any other ID.
int CompressOSTAUnicode(int count, uint8_t compressionID, const char16_t* source,
                        uint8_t* destination);

// The name cut to at most `maxUnits` UTF-16 units, keeping its extension and never splitting
// a surrogate pair; with tail > 0, "~tail" goes before the extension.
std::u16string ShortenUDFName(std::u16string_view name, uint32_t maxUnits, uint32_t tail);

}  // namespace torvik
