// Local time of the host, with an injectable clock for decisions that
// depend on the time of day (schedules, day logs).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct LocalTime {
  int year = 1970;
  int month = 1;        // 1..12
  int day = 1;          // 1..31
  int hour = 0;         // 0..23
  int minute = 0;
  int second = 0;
  int day_of_week = 4;  // 0 = Sunday .. 6 = Saturday
  int millisecond = 0;
};

// Source of the current time. The default reads the system clock.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since 1970-01-01 00:00 UTC.
  virtual int64_t NowUnixMillis() = 0;
};

// The clock used by GetLocalTime and NowUnixSeconds; null restores the
// system clock. The clock must outlive its installation.
void SetClockForTesting(Clock* clock);
int64_t NowUnixSeconds();

// The current local time (the process's time zone, TZ honoured).
LocalTime GetLocalTime();
// Local time of a moment given in seconds since 1970 UTC; false when the
// moment cannot be represented.
bool ToLocalTime(int64_t unix_seconds, LocalTime* out);
// Seconds since 1970 UTC of a local time (mktime rules; -1 when invalid).
int64_t FromLocalTime(const LocalTime& t);

// English month name, "January".."December", independent of the locale;
// empty for a month outside 1..12.
const char* EnglishMonthName(int month);

// strftime-style formatting of a local time with the C locale
// ("%H:%M:%S" gives 09:05:03).
std::string FormatLocalTime(const LocalTime& t, const char* format);

}  // namespace platform
