// Wall clocks in calendar form and a monotonic millisecond counter.
#pragma once

#include <cstdint>

namespace zevra::platform {

struct CivilTime {
  int year = 0;
  int month = 0;    // 1..12
  int day = 0;      // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 0;  // 0 = Sunday
};

CivilTime LocalTimeNow();
CivilTime UtcTimeNow();
// Seconds since 1970-01-01 00:00:00 UTC, converted without any zone shift.
CivilTime UtcFromUnixSeconds(int64_t seconds);
int64_t UnixSecondsNow();
// Milliseconds from an arbitrary origin; never goes backwards.
uint64_t MonotonicMilliseconds();

}  // namespace zevra::platform
