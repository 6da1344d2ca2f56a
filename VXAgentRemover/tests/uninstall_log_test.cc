#include "VXAgentRemover/uninstall_log.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/testing/temp_host.h"

namespace vxremover {
namespace {

class FixedClock : public platform::Clock {
 public:
  explicit FixedClock(int64_t millis) : millis_(millis) {}
  int64_t NowUnixMillis() override { return millis_; }

 private:
  int64_t millis_;
};

TEST(UninstallLogTest, LinesCarryMonthNumbersAndTheLastErrorWhichTheyClear) {
  platform::testing::TempHost host;
  platform::LocalTime t;
  t.year = 2026, t.month = 12, t.day = 1, t.hour = 9, t.minute = 5, t.second = 3;
  FixedClock clock(platform::FromLocalTime(t) * 1000 + 250);
  platform::SetClockForTesting(&clock);

  platform::SetLastError(platform::kErrorFileNotFound);
  UninstallLog("first\r\nstep");
  UninstallLog("second");
  EXPECT_EQ(platform::GetLastError(), 0u);
  platform::SetClockForTesting(nullptr);

  std::string log;
  ASSERT_TRUE(platform::ReadFileToString(UninstallLogPath(), &log));
  EXPECT_EQ(log,
            " On [ 1 12 2026 09:05:03 ] - (Error code: 2): The system cannot find the file specified. ## firststep\r\n"
            " On [ 1 12 2026 09:05:03 ] - (Error code: 0): The operation completed successfully. ## second\r\n");
}

}  // namespace
}  // namespace vxremover
