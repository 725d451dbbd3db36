// The UDF layout time: one instant, taken when the layout is made and recorded in every
// UDF structure that carries a time.
#pragma once

#include <cstdint>

#include "layout/bvkUDFTypes.h"

namespace torvik {

// UTC broken down from seconds since 1970-01-01 00:00; type 1, offset 0, no sub-seconds.
timestamp UDFTimeStampFromUnixSeconds(int64_t seconds);
// The current UTC system time.
timestamp UDFTimeStampNow();
// The 12 on-disc bytes (ECMA-167 1/7.3).
void WriteUDFTimeStamp(uint8_t* dest, const timestamp& t);

}  // namespace torvik
