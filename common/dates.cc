#include "common/dates.h"

namespace common {

std::string MonthName(int month) { return platform::EnglishMonthName(month); }

std::string DayText(const platform::LocalTime& t) {
  return std::to_string(t.day) + " " + MonthName(t.month) + " " + std::to_string(t.year);
}

std::string TimeText(const platform::LocalTime& t) {
  return platform::FormatLocalTime(t, "%H:%M:%S");
}

std::string DayTimeText(const platform::LocalTime& t) { return DayText(t) + " " + TimeText(t); }

std::string CurrentDayText() { return DayText(platform::GetLocalTime()); }

std::string CurrentTimeText() { return TimeText(platform::GetLocalTime()); }

}  // namespace common
