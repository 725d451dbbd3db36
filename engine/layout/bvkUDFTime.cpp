#include "layout/bvkUDFTime.h"

#include <algorithm>

#include "layout/bvkUDFUtils.h"

namespace torvik {

timestamp UDFTimeStampFromUnixSeconds(int64_t seconds) {
  // Floor division keeps instants before 1970 on the right day.
  int64_t days = seconds / 86400;
  int64_t rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  // Civil date from a day count (proleptic Gregorian), eras of 400 years starting in March.
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

  timestamp t;
  t.typeAndTimezone = 0x1000;
  t.year = int16_t(year);
  t.month = uint8_t(month);
  t.day = uint8_t(day);
  t.hour = uint8_t(rem / 3600);
  t.minute = uint8_t(rem / 60 % 60);
  t.second = uint8_t(rem % 60);
  return t;
}

timestamp UDFTimeStampFromLocal(const TSystemTime& t, int32_t offset15) {
  // The time zone field is a signed 12-bit count of minutes; real zones lie within a day.
  const int32_t minutes = std::clamp(offset15, -96, 96) * 15;
  timestamp u;
  u.typeAndTimezone = uint16_t(0x1000 | (uint32_t(minutes) & 0x0FFF));
  u.year = int16_t(t.wYear);
  u.month = uint8_t(t.wMonth);
  u.day = uint8_t(t.wDay);
  u.hour = uint8_t(t.wHour);
  u.minute = uint8_t(t.wMinute);
  u.second = uint8_t(t.wSecond);
  u.centiseconds = uint8_t(t.wMilliseconds % 1000 / 10);
  u.hundredsOfMicroseconds = uint8_t(t.wMilliseconds % 10 * 10);
  return u;
}

void WriteUDFTimeStamp(uint8_t* dest, const timestamp& t) {
  PutU16(dest, 0, t.typeAndTimezone);
  PutU16(dest, 2, uint16_t(t.year));
  dest[4] = t.month;
  dest[5] = t.day;
  dest[6] = t.hour;
  dest[7] = t.minute;
  dest[8] = t.second;
  dest[9] = t.centiseconds;
  dest[10] = t.hundredsOfMicroseconds;
  dest[11] = t.microseconds;
}

}  // namespace torvik
