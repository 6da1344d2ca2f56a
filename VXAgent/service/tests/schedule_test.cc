// The schedule's registry key and the scheduler's due test and check, with
// a test clock and a scan starter that records what it was asked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <vector>

#include "VXAgent/pipes/version_check.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/scan_history.h"
#include "VXAgent/service/schedule.h"
#include "VXAgent/service/scheduler.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace vxagent {
namespace {

using platform::RootKey;

class TestClock : public platform::Clock {
 public:
  int64_t NowUnixMillis() override { return millis; }
  int64_t millis = 0;
};

platform::LocalTime Local(int year, int month, int day, int hour, int minute, int second) {
  platform::LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

// 2026-12-14 is a Monday.
constexpr int kMonday = 14;
constexpr int kTuesday = 15;

void WriteProgress(uint32_t value) {
  platform::RegKey key;
  ASSERT_EQ(key.Create(RootKey::kLocalMachine, kAgentKey, platform::kKeyAllAccess), 0u);
  ASSERT_EQ(key.WriteDword("ScanProgress", value), 0u);
}

uint32_t ReadProgress() {
  platform::RegKey key;
  uint32_t value = 99;
  if (key.Open(RootKey::kLocalMachine, kAgentKey, platform::kKeyRead) == 0) key.ReadDword("ScanProgress", &value);
  return value;
}

TEST(ScheduleTimeTextTest, LocalHourAndMinuteWithoutLeadingZeros) {
  platform::testing::TempHost host;
  EXPECT_EQ(ScheduleTimeText(platform::FromLocalTime(Local(2026, 12, 11, 21, 30, 45))), "21:30");
  EXPECT_EQ(ScheduleTimeText(platform::FromLocalTime(Local(2026, 12, 11, 9, 5, 59))), "9:5");
  EXPECT_EQ(ScheduleTimeText(platform::FromLocalTime(Local(2026, 12, 11, 0, 0, 0))), "0:0");
  // A moment without a local time.
  EXPECT_EQ(ScheduleTimeText(std::numeric_limits<int64_t>::max()), "-1:-1");
}

TEST(ScheduleKeyTest, SaveWritesFourValuesAndRemoveDeletesTheKeyOnce) {
  platform::testing::TempHost host;
  WriteProgress(1);  // a guard left behind by a cut-off scan
  records::ScheduleInfo info{7, 2, 3, platform::FromLocalTime(Local(2026, 12, 11, 21, 30, 45))};
  ASSERT_TRUE(SaveSchedule(info, /*scanRunning=*/false));

  platform::RegKey key;
  ASSERT_EQ(key.Open(RootKey::kLocalMachine, kScheduleInfoKey, platform::kKeyRead), 0u);
  uint32_t scan_type = 9, on_detection = 9, day = 9;
  std::string time;
  EXPECT_EQ(key.ReadDword("ScanType", &scan_type), 0u);
  EXPECT_EQ(key.ReadDword("OnDetection", &on_detection), 0u);
  EXPECT_EQ(key.ReadDword("Day", &day), 0u);
  EXPECT_EQ(key.ReadString("Time", &time), 0u);
  EXPECT_EQ(scan_type, 1u);  // any non-zero kind is a full scan
  EXPECT_EQ(on_detection, 2u);
  EXPECT_EQ(day, 3u);
  EXPECT_EQ(time, "21:30");
  EXPECT_EQ(ReadProgress(), 0u);
  key.Close();

  // A later schedule overwrites every value.
  ASSERT_TRUE(SaveSchedule({0, 1, 8, platform::FromLocalTime(Local(2026, 12, 11, 6, 7, 0))}, false));
  ASSERT_EQ(key.Open(RootKey::kLocalMachine, kScheduleInfoKey, platform::kKeyRead), 0u);
  EXPECT_EQ(key.ReadDword("ScanType", &scan_type), 0u);
  EXPECT_EQ(key.ReadString("Time", &time), 0u);
  EXPECT_EQ(scan_type, 0u);
  EXPECT_EQ(time, "6:7");
  key.Close();

  EXPECT_TRUE(RemoveSchedule());
  EXPECT_NE(key.Open(RootKey::kLocalMachine, kScheduleInfoKey, platform::kKeyRead), 0u);
  EXPECT_FALSE(RemoveSchedule());
  // The agent's own key stays.
  EXPECT_EQ(key.Open(RootKey::kLocalMachine, kAgentKey, platform::kKeyRead), 0u);
}

TEST(ScheduleKeyTest, StoringWhileAScanRunsKeepsItsGuard) {
  platform::testing::TempHost host;
  WriteProgress(1);
  ASSERT_TRUE(SaveSchedule({1, 0, 8, 0}, /*scanRunning=*/true));
  EXPECT_EQ(ReadProgress(), 1u);
}

TEST(ScheduleDueTest, HourMinuteAndDay) {
  struct Case {
    const char* what;
    int hour, minute;
    uint32_t day;
    platform::LocalTime now;
    bool due;
  };
  auto at = [](int day_of_week, int hour, int minute, int second) {
    platform::LocalTime t = Local(2026, 12, 13 + day_of_week, hour, minute, second);
    t.day_of_week = day_of_week;
    return t;
  };
  const Case kCases[] = {
      {"every day, the minute's first second", 9, 5, 8, at(3, 9, 5, 0), true},
      {"every day, the minute's last second", 9, 5, 8, at(6, 9, 5, 59), true},
      {"a minute early", 9, 5, 8, at(3, 9, 4, 59), false},
      {"a minute late", 9, 5, 8, at(3, 9, 6, 0), false},
      {"same minute, other hour", 9, 5, 8, at(3, 21, 5, 0), false},
      {"Monday on a Monday", 9, 5, 2, at(1, 9, 5, 0), true},
      {"Monday on a Tuesday", 9, 5, 2, at(2, 9, 5, 0), false},
      {"Sunday is 1", 0, 0, 1, at(0, 0, 0, 0), true},
      {"Saturday is 7", 23, 59, 7, at(6, 23, 59, 30), true},
      {"day 0 is never", 9, 5, 0, at(0, 9, 5, 0), false},
      {"day 9 is never", 9, 5, 9, at(1, 9, 5, 0), false},
      {"the -1:-1 of a failed conversion", -1, -1, 8, at(1, 0, 0, 0), false},
  };
  for (const Case& c : kCases)
    EXPECT_EQ(ScheduleDue(c.hour, c.minute, c.day, c.now), c.due) << c.what;
}

TEST(ScheduleDueTest, TimeTextReadsLikeAtoi) {
  struct Case {
    const char* text;
    bool ok;
    int hour, minute;
  };
  const Case kCases[] = {
      {"9:5", true, 9, 5},      {"21:30", true, 21, 30}, {" 7: 08", true, 7, 8},
      {"-1:-1", true, -1, -1}, {"x:30", true, 0, 30},   {"12:", true, 12, 0},
      {"12h:5m", true, 12, 5}, {"1230", false, 0, 0},   {"", false, 0, 0},
  };
  for (const Case& c : kCases) {
    int hour = 77, minute = 77;
    ASSERT_EQ(ParseScheduleTime(c.text, &hour, &minute), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(hour, c.hour) << c.text;
      EXPECT_EQ(minute, c.minute) << c.text;
    }
  }
}

// A client that sent its request and left before the answer: the write
// fails, and the schedule thread says which one.
TEST(ScheduleExchangeTest, AnAnswerThatCannotBeWrittenIsLogged) {
  struct Case {
    const char* what;
    std::vector<records::Bytes> records;  // after the SCommand
    const char* line;
  };
  records::Bytes set = {1, 0, 0, 0};
  records::Bytes remove = {0, 0, 0, 0};
  const Case kCases[] = {
      {"set", {set, records::Encode(records::ScheduleInfo{})},
       "In Schedule ::WriteFile Failed, now calling DisconnectNamedPipe!"},
      {"short set", {set, {1, 2, 3}}, "In Schedule ::WriteFile(2) Failed, now calling DisconnectNamedPipe!"},
      {"removal", {remove}, "In Schedule ::WriteFile(3) Failed, now calling DisconnectNamedPipe!"},
      {"failed removal", {remove}, "In Schedule ::WriteFile(4) Failed, now calling DisconnectNamedPipe!"},
  };
  platform::testing::TempHost host;
  const char kPipe[] = "\\\\.\\pipe\\ScheduleExchangeTest";
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    platform::PipeServer server;
    ASSERT_TRUE(server.Create(kPipe));
    {
      platform::PipeClient client;
      ASSERT_TRUE(client.Open(kPipe));
      for (const auto& r : c.records) {
        uint32_t n = 0;
        ASSERT_TRUE(client.Write(r.data(), static_cast<uint32_t>(r.size()), &n));
      }
    }
    ASSERT_TRUE(server.Connect());
    EXPECT_TRUE(ServeScheduleRequest(server, [] { return false; }));
    std::string log;
    platform::ReadFileToString(DebugLogPath(), &log);
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
    server.Close();
  }
}

// A host with a schedule, a test clock and a recording scan starter.
class ScheduleCheckTest : public ::testing::Test {
 protected:
  struct Started {
    uint8_t kind;
    uint32_t on_detection;
  };

  void SetUp() override {
    setenv("VX_PAUSE_SCALE", "0", 1);  // the real scan run's courtesy pauses
    platform::SetClockForTesting(&clock_);
    WriteProgress(0);
    control_.running = [this] { return running_; };
    control_.start = [this](uint8_t kind, uint32_t on_detection) {
      started_.push_back({kind, on_detection});
      return true;
    };
  }
  void TearDown() override { platform::SetClockForTesting(nullptr); }

  void Schedule(uint32_t scan_type, uint32_t on_detection, uint32_t day, const char* time) {
    platform::RegKey key;
    ASSERT_EQ(key.Create(RootKey::kLocalMachine, kScheduleInfoKey, platform::kKeyAllAccess), 0u);
    key.WriteDword("ScanType", scan_type);
    key.WriteDword("OnDetection", on_detection);
    key.WriteDword("Day", day);
    key.WriteString("Time", time);
  }

  // Checks at a local moment (milliseconds added to the second).
  bool CheckAt(ScheduleChecker& checker, int day, int hour, int minute, int second, int ms = 0) {
    clock_.millis = platform::FromLocalTime(Local(2026, 12, day, hour, minute, second)) * 1000 + ms;
    return checker.Check();
  }

  platform::testing::TempHost host_;
  TestClock clock_;
  ScanControl control_;
  bool running_ = false;
  std::vector<Started> started_;
};

TEST_F(ScheduleCheckTest, DailyScheduleStartsOnceInItsMinuteWithTheStoredKind) {
  Schedule(5, 2, 8, "9:5");
  ScheduleChecker checker(control_);
  EXPECT_FALSE(CheckAt(checker, kMonday, 9, 4, 30));
  EXPECT_TRUE(CheckAt(checker, kMonday, 9, 5, 30));
  EXPECT_FALSE(CheckAt(checker, kMonday, 9, 6, 30));
  EXPECT_TRUE(CheckAt(checker, kTuesday, 9, 5, 31));
  ASSERT_EQ(started_.size(), 2u);
  EXPECT_EQ(started_[0].kind, 1);  // ScanType 5 is a full scan
  EXPECT_EQ(started_[0].on_detection, 2u);

  Schedule(0, 1, 8, "9:5");
  EXPECT_TRUE(CheckAt(checker, 16, 9, 5, 32));
  ASSERT_EQ(started_.size(), 3u);
  EXPECT_EQ(started_[2].kind, 0);
  EXPECT_EQ(started_[2].on_detection, 1u);
}

TEST_F(ScheduleCheckTest, WeeklyScheduleStartsOnlyOnItsDay) {
  Schedule(0, 0, 2, "21:30");  // Mondays
  ScheduleChecker checker(control_);
  EXPECT_FALSE(CheckAt(checker, kTuesday, 21, 30, 0));
  EXPECT_FALSE(CheckAt(checker, 20, 21, 30, 0));  // Sunday
  EXPECT_TRUE(CheckAt(checker, 21, 21, 30, 59));  // the next Monday
  EXPECT_EQ(started_.size(), 1u);
}

TEST_F(ScheduleCheckTest, AMinutePassedOverBetweenTwoChecksStillStartsItsScan) {
  Schedule(1, 0, 8, "9:5");
  ScheduleChecker checker(control_);
  // One check at the very end of 09:04, the next at the start of 09:06.
  EXPECT_FALSE(CheckAt(checker, kMonday, 9, 4, 59, 990));
  EXPECT_TRUE(CheckAt(checker, kMonday, 9, 6, 0, 20));
  EXPECT_FALSE(CheckAt(checker, kMonday, 9, 7, 0, 30));
  EXPECT_EQ(started_.size(), 1u);

  // Regular checks in 09:05 and 09:06 start it once, in 09:05.
  EXPECT_TRUE(CheckAt(checker, kTuesday, 9, 5, 10));
  EXPECT_FALSE(CheckAt(checker, kTuesday, 9, 6, 10));
  EXPECT_EQ(started_.size(), 2u);
}

TEST_F(ScheduleCheckTest, ACheckAfterALongScanDoesNotStartItAgain) {
  Schedule(1, 0, 8, "9:5");
  ScheduleChecker checker(control_);
  EXPECT_TRUE(CheckAt(checker, kMonday, 9, 5, 0));
  // The scan ran until 09:06:00.5; the next check is a minute later.
  EXPECT_FALSE(CheckAt(checker, kMonday, 9, 7, 0, 510));
  // And one that lasted past several minutes.
  EXPECT_TRUE(CheckAt(checker, kTuesday, 9, 5, 0));
  EXPECT_FALSE(CheckAt(checker, kTuesday, 9, 31, 0));
  EXPECT_EQ(started_.size(), 2u);
}

TEST_F(ScheduleCheckTest, SkippedWhileAScanRunsAndNotMadeUpLater) {
  Schedule(1, 0, 8, "9:5");
  ScheduleChecker checker(control_);
  WriteProgress(1);  // a console scan holds the guard
  EXPECT_FALSE(CheckAt(checker, kMonday, 9, 5, 0));
  WriteProgress(0);
  EXPECT_FALSE(CheckAt(checker, kMonday, 9, 6, 0));

  running_ = true;  // a run of this process, whatever the registry says
  EXPECT_FALSE(CheckAt(checker, kTuesday, 9, 5, 0));
  running_ = false;
  EXPECT_FALSE(CheckAt(checker, kTuesday, 9, 6, 0));
  EXPECT_TRUE(started_.empty());
}

TEST_F(ScheduleCheckTest, NoScheduleOrAnUnusableTimeStartsNothing) {
  ScheduleChecker checker(control_);
  EXPECT_FALSE(CheckAt(checker, kMonday, 0, 0, 0));  // no key at all
  const char* kTimes[] = {"-1:-1", "0000000:0", "00"};
  for (const char* time : kTimes) {
    Schedule(1, 0, 8, time);
    EXPECT_FALSE(CheckAt(checker, kMonday, 0, 0, 0)) << time;
  }
  // A Time value of another type is no time either.
  platform::RegKey key;
  ASSERT_EQ(key.Open(RootKey::kLocalMachine, kScheduleInfoKey, platform::kKeyAllAccess), 0u);
  key.WriteDword("Time", 0);
  EXPECT_FALSE(CheckAt(checker, kMonday, 0, 0, 0));
  EXPECT_TRUE(started_.empty());
}

TEST_F(ScheduleCheckTest, TheAgentsStarterRunsAScanRunWithoutAPipe) {
  Schedule(0, 0, 8, "9:5");
  ScheduleChecker checker(AgentScanControl());
  ASSERT_TRUE(CheckAt(checker, kMonday, 9, 5, 0));
  // The run went through to its history record, and released its guard.
  EXPECT_FALSE(LastScanSection().empty());
  EXPECT_EQ(ReadProgress(), 0u);
}

}  // namespace
}  // namespace vxagent
