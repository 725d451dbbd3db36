// UDF timestamps: the layout time, recorded by the volume structures, and each entry's own
// time, recorded by its file entry.
#pragma once

#include <cstdint>

#include "layout/bvkUDFTypes.h"
#include "platform/bvkFindData.h"

namespace torvik {

// UTC broken down from seconds since 1970-01-01 00:00; type 1, offset 0, no sub-seconds.
timestamp UDFTimeStampFromUnixSeconds(int64_t seconds);
// A local broken-down time and the offset from UTC (15-minute units) that applies to it: type 1
// (local time) with that offset in minutes, so a reader in any zone gets the same instant.
// Milliseconds become centiseconds and hundreds of microseconds.
timestamp UDFTimeStampFromLocal(const TSystemTime& t, int32_t offset15);
// The 12 on-disc bytes (ECMA-167 1/7.3).
void WriteUDFTimeStamp(uint8_t* dest, const timestamp& t);

}  // namespace torvik
