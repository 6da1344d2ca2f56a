#include "common/dates.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace common {
namespace {

TEST(MonthNameTest, FixedTableAndEmptyOutsideRange) {
  const char* names[] = {"January", "February", "March",     "April",   "May",      "June",
                         "July",    "August",   "September", "October", "November", "December"};
  for (int m = 1; m <= 12; ++m) EXPECT_EQ(MonthName(m), names[m - 1]);
  for (int m : {0, 13, -1, 100}) EXPECT_EQ(MonthName(m), "") << m;
}

TEST(DateTextTest, DayWithoutLeadingZeroAndTwoDigitTimes) {
  struct Case {
    platform::LocalTime t;
    const char* day;
    const char* time;
  } cases[] = {
      {{2026, 12, 10, 9, 5, 3, 4, 0}, "10 December 2026", "09:05:03"},
      {{2006, 1, 5, 23, 59, 59, 4, 0}, "5 January 2006", "23:59:59"},
      {{2027, 2, 28, 0, 0, 0, 0, 0}, "28 February 2027", "00:00:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DayText(c.t), c.day);
    EXPECT_EQ(TimeText(c.t), c.time);
    EXPECT_EQ(DayTimeText(c.t), std::string(c.day) + " " + c.time);
  }
}

class FixedClock : public platform::Clock {
 public:
  explicit FixedClock(int64_t ms) : ms_(ms) {}
  int64_t NowUnixMillis() override { return ms_; }

 private:
  int64_t ms_;
};

TEST(DateTextTest, CurrentTextsFollowTheInstalledClock) {
  setenv("TZ", "UTC", 1);
  tzset();
  FixedClock clock(1796893503000);  // 10 December 2026 09:05:03 UTC
  platform::SetClockForTesting(&clock);
  EXPECT_EQ(CurrentDayText(), "10 December 2026");
  EXPECT_EQ(CurrentTimeText(), "09:05:03");
  platform::SetClockForTesting(nullptr);
}

}  // namespace
}  // namespace common
