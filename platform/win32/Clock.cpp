#include "platform/Clock.h"

#include <windows.h>

#include "platform/win32/Wide.h"

namespace zevra::platform {
namespace {

CivilTime FromSystemTime(const SYSTEMTIME& t) {
  CivilTime c;
  c.year = t.wYear;
  c.month = t.wMonth;
  c.day = t.wDay;
  c.hour = t.wHour;
  c.minute = t.wMinute;
  c.second = t.wSecond;
  c.weekday = t.wDayOfWeek;
  return c;
}

}  // namespace

CivilTime LocalTimeNow() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return FromSystemTime(t);
}

CivilTime UtcTimeNow() {
  SYSTEMTIME t;
  ::GetSystemTime(&t);
  return FromSystemTime(t);
}

CivilTime UtcFromUnixSeconds(int64_t seconds) {
  constexpr int64_t kSeconds1601To1970 = 11644473600;
  const int64_t since1601 = seconds + kSeconds1601To1970;
  SYSTEMTIME t;
  if (since1601 < 0) return CivilTime{1970, 1, 1, 0, 0, 0, 4};
  const uint64_t ticks = static_cast<uint64_t>(since1601) * 10000000u;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  if (!::FileTimeToSystemTime(&ft, &t)) return CivilTime{1970, 1, 1, 0, 0, 0, 4};
  return FromSystemTime(t);
}

int64_t UnixSecondsNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return UnixSecondsOfFileTime(now);
}

uint64_t MonotonicMilliseconds() { return ::GetTickCount64(); }

}  // namespace zevra::platform
