// Clock and calendar helpers standing in for GetSystemTime, the FILETIME conversions and the
// time-zone queries.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/bvkFindData.h"

namespace torvik {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;

// Seconds and nanoseconds since 1970 (UTC) as a FILETIME; instants before 1601 become 0.
TFileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
// The current time (UTC) as a FILETIME.
TFileTime CurrentFileTime();
// The current time, broken down in UTC.
TSystemTime CurrentSystemTime();

// A FILETIME broken down in UTC (no zone applied).
TSystemTime FileTimeToSystemTime(TFileTime ft);
// A UTC broken-down time back to a FILETIME; false for fields out of range.
bool SystemTimeToFileTime(const TSystemTime& st, TFileTime& ft);

// The offset from UTC, in 15-minute units (rounded towards minus infinity), that the local time
// zone applies at the given instant, together with the local broken-down time of that instant.
// Taking the offset of the instant itself (not of "now") keeps times on the far side of a
// daylight-saving change right.
struct TLocalTime {
  TSystemTime Time;
  int32_t Offset15 = 0;
};
TLocalTime FileTimeToLocal(TFileTime ft);

// The local zone's current offset from UTC in 15-minute units; false if it cannot be read.
bool CurrentTimeZoneOffset15(int32_t& offset);

// Floor division of a UTC offset in seconds into 15-minute units.
constexpr int32_t SecondsToOffset15(long seconds) {
  return int32_t(seconds >= 0 ? seconds / 900 : -((-seconds + 899) / 900));
}

}  // namespace torvik
