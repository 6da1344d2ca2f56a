#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace platform {
namespace {

std::atomic<Clock*> g_clock{nullptr};

std::tm ToTm(const LocalTime& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_wday = t.day_of_week;
  tm.tm_isdst = -1;
  return tm;
}

int64_t NowMillis() {
  if (Clock* c = g_clock.load()) return c->NowUnixMillis();
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

void SetClockForTesting(Clock* clock) { g_clock.store(clock); }

int64_t NowUnixSeconds() {
  int64_t ms = NowMillis();
  return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

bool ToLocalTime(int64_t unix_seconds, LocalTime* out) {
  std::time_t tt = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  if (!::localtime_r(&tt, &tm)) return false;
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.day_of_week = tm.tm_wday;
  *out = t;
  return true;
}

LocalTime GetLocalTime() {
  int64_t ms = NowMillis();
  LocalTime t;
  int64_t secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  ToLocalTime(secs, &t);
  t.millisecond = static_cast<int>(ms - secs * 1000);
  return t;
}

int64_t FromLocalTime(const LocalTime& t) {
  std::tm tm = ToTm(t);
  return static_cast<int64_t>(std::mktime(&tm));
}

const char* EnglishMonthName(int month) {
  static const char* const kNames[] = {"January", "February", "March",     "April",
                                       "May",     "June",     "July",      "August",
                                       "September", "October", "November", "December"};
  if (month < 1 || month > 12) return "";
  return kNames[month - 1];
}

std::string FormatLocalTime(const LocalTime& t, const char* format) {
  std::tm tm = ToTm(t);
  char buf[256];
  size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return std::string(buf, n);
}

}  // namespace platform
