// The date pieces every log and store file of the suite writes: day of the
// month without a leading zero, the English month name from a fixed table
// (independent of the system language), the four-digit year, and times as
// "%H:%M:%S". All in local time, read through platform/clock.h so tests can
// fix the clock.
#pragma once

#include <string>

#include "platform/clock.h"

namespace common {

// `MonthName`: "January".."December" for 1..12, "" for any other value.
std::string MonthName(int month);

// "10 December 2026".
std::string DayText(const platform::LocalTime& t);
// "09:05:03".
std::string TimeText(const platform::LocalTime& t);
// "10 December 2026 09:05:03", the date and time of log lines.
std::string DayTimeText(const platform::LocalTime& t);

// The same for the current local time.
std::string CurrentDayText();
std::string CurrentTimeText();

}  // namespace common
