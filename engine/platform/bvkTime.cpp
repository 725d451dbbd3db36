#include "platform/bvkTime.h"

#include <time.h>

namespace torvik {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian), after H. Hinnant.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

TSystemTime FromTm(const struct tm& t, unsigned ms) {
  TSystemTime st;
  st.wYear = uint16_t(t.tm_year + 1900);
  st.wMonth = uint16_t(t.tm_mon + 1);
  st.wDayOfWeek = uint16_t(t.tm_wday);
  st.wDay = uint16_t(t.tm_mday);
  st.wHour = uint16_t(t.tm_hour);
  st.wMinute = uint16_t(t.tm_min);
  st.wSecond = uint16_t(t.tm_sec);
  st.wMilliseconds = uint16_t(ms);
  return st;
}

}  // namespace

TFileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  // Beyond these bounds the FILETIME would wrap; the far future is clamped as well.
  constexpr int64_t kMinSeconds = -kFileTimeUnixEpoch / kTicksPerSecond;
  constexpr int64_t kMaxSeconds = (INT64_MAX - kFileTimeUnixEpoch) / kTicksPerSecond - 1;
  if (seconds < kMinSeconds) return 0;
  if (seconds > kMaxSeconds) seconds = kMaxSeconds;
  const int64_t ticks = seconds * kTicksPerSecond + nanoseconds / 100 + kFileTimeUnixEpoch;
  return ticks < 0 ? 0 : TFileTime(ticks);
}

TFileTime CurrentFileTime() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

TSystemTime CurrentSystemTime() { return FileTimeToSystemTime(CurrentFileTime()); }

TSystemTime FileTimeToSystemTime(TFileTime ft) {
  const int64_t ticks = int64_t(ft & 0x7FFFFFFFFFFFFFFFull) - kFileTimeUnixEpoch;
  int64_t secs = ticks / kTicksPerSecond;
  int64_t rem = ticks % kTicksPerSecond;
  if (rem < 0) rem += kTicksPerSecond, --secs;
  int64_t days = secs / 86400;
  int64_t sod = secs % 86400;
  if (sod < 0) sod += 86400, --days;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  TSystemTime st;
  st.wYear = uint16_t(y);
  st.wMonth = uint16_t(m);
  st.wDay = uint16_t(d);
  st.wDayOfWeek = uint16_t(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday (4)
  st.wHour = uint16_t(sod / 3600);
  st.wMinute = uint16_t(sod / 60 % 60);
  st.wSecond = uint16_t(sod % 60);
  st.wMilliseconds = uint16_t(rem / 10000);
  return st;
}

bool SystemTimeToFileTime(const TSystemTime& st, TFileTime& ft) {
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > 31 || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
      st.wMilliseconds > 999)
    return false;
  int64_t y;
  unsigned m, d;
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay);
  CivilFromDays(days, y, m, d);
  if (m != st.wMonth || d != st.wDay) return false;  // e.g. 31 April
  const int64_t secs = days * 86400 + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  ft = TFileTime(secs * kTicksPerSecond + int64_t(st.wMilliseconds) * 10000 + kFileTimeUnixEpoch);
  return true;
}

TLocalTime FileTimeToLocal(TFileTime ft) {
  const int64_t ticks = int64_t(ft & 0x7FFFFFFFFFFFFFFFull) - kFileTimeUnixEpoch;
  int64_t secs = ticks / kTicksPerSecond;
  int64_t rem = ticks % kTicksPerSecond;
  if (rem < 0) rem += kTicksPerSecond, --secs;
  TLocalTime out;
  const time_t t = time_t(secs);
  struct tm lt {};
  if (localtime_r(&t, &lt) == nullptr) {
    out.Time = FileTimeToSystemTime(ft);  // no zone information: UTC is the best we have
    return out;
  }
  out.Time = FromTm(lt, unsigned(rem / 10000));
  out.Offset15 = SecondsToOffset15(lt.tm_gmtoff);
  return out;
}

bool CurrentTimeZoneOffset15(int32_t& offset) {
  const time_t now = time(nullptr);
  struct tm lt {};
  if (localtime_r(&now, &lt) == nullptr) return false;
  offset = SecondsToOffset15(lt.tm_gmtoff);
  return true;
}

}  // namespace torvik
