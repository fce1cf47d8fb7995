#include "platform/Clock.h"

#include <time.h>

namespace zevra::platform {
namespace {

CivilTime FromTm(const struct tm& t) {
  CivilTime c;
  c.year = t.tm_year + 1900;
  c.month = t.tm_mon + 1;
  c.day = t.tm_mday;
  c.hour = t.tm_hour;
  c.minute = t.tm_min;
  c.second = t.tm_sec;
  c.weekday = t.tm_wday;
  return c;
}

}  // namespace

CivilTime LocalTimeNow() {
  time_t now = ::time(nullptr);
  struct tm t;
  ::localtime_r(&now, &t);
  return FromTm(t);
}

CivilTime UtcTimeNow() { return UtcFromUnixSeconds(UnixSecondsNow()); }

CivilTime UtcFromUnixSeconds(int64_t seconds) {
  time_t value = static_cast<time_t>(seconds);
  struct tm t;
  if (::gmtime_r(&value, &t) == nullptr) return CivilTime{1970, 1, 1, 0, 0, 0, 4};
  return FromTm(t);
}

int64_t UnixSecondsNow() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

uint64_t MonotonicMilliseconds() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace zevra::platform
