// The scheduler: once a minute it looks at the stored schedule and starts
// a scan run when the schedule is due.
//
// Due means: the local hour and minute equal the schedule's Time, and Day
// is 8 or today's day of the week (1 Sunday .. 7 Saturday). A due schedule
// is skipped, not made up later, while ScanProgress is set or a scan run
// is in progress. Checks are about 60 s apart, so two of them may straddle
// a minute (one at its very end, the next at the start of the minute after
// next); the passed-over minute is then tested too, so a scheduled scan is
// not lost that day. A check right after a long scan never starts the same
// scan again: its minute has gone.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string_view>

#include "platform/clock.h"

namespace vxagent {

// How the schedule reaches the scan run. The agent's own (AgentScanControl)
// asks ScanRunning and calls StartScan with no pipe and an empty computer
// name: a scheduled scan reports to no console.
struct ScanControl {
  std::function<bool()> running;
  std::function<bool(uint8_t scanKind, uint32_t onDetection)> start;
};
ScanControl AgentScanControl();

// Hour and minute of a stored Time text: the numbers before and after the
// first ":", each read the way atoi does (blanks, sign, leading digits; 0
// when there are none). False when there is no ":".
bool ParseScheduleTime(std::string_view text, int* hour, int* minute);

// The due test for one moment of local time. `day` is the stored Day.
bool ScheduleDue(int hour, int minute, uint32_t day, const platform::LocalTime& now);

// The schedule check, with what it must remember between checks.
class ScheduleChecker {
 public:
  explicit ScheduleChecker(ScanControl scan) : scan_(std::move(scan)) {}

  // One check at the current time of the platform clock: reads the
  // schedule and, when due and no scan runs, starts the scan run in this
  // thread and returns once it has ended. True when a scan was started.
  bool Check();

 private:
  ScanControl scan_;
  // Minute (seconds since 1970 / 60) of the previous check.
  int64_t last_minute_ = std::numeric_limits<int64_t>::min();
};

// Starts the scheduler thread: a check after every 60-second wait, for
// as long as the process lives.
void StartSchedulerThread(ScanControl scan);

}  // namespace vxagent
