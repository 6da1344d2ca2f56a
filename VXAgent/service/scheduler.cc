#include "VXAgent/service/scheduler.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "VXAgent/pipes/version_check.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/schedule.h"
#include "platform/named_object.h"
#include "platform/registry.h"

namespace vxagent {
namespace {

using platform::RootKey;

constexpr uint32_t kCheckIntervalMs = 60000;

// atoi: leading blanks, an optional sign, then digits; 0 without digits.
int AtoiLike(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  long value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
    if (value < 1000000) value = value * 10 + (s[i] - '0');  // no overflow; never a valid time
  return static_cast<int>(negative ? -value : value);
}

uint32_t ReadDwordOr0(const platform::RegKey& key, const char* name) {
  uint32_t value = 0;
  return key.ReadDword(name, &value) == 0 ? value : 0;
}

// The Time value as the scheduler reads it: at most 8 characters (a
// 9-byte buffer); a longer or unreadable value is no time.
bool ReadTimeText(const platform::RegKey& key, std::string* text) {
  char buf[9] = {};
  uint32_t type = 0;
  uint32_t size = sizeof buf;
  if (key.QueryValue("Time", &type, buf, &size) != 0) return false;
  if (type != platform::kRegSz && type != platform::kRegExpandSz) return false;
  const size_t n = strnlen(buf, size);
  text->assign(buf, n);
  return true;
}

void SchedulerThread(ScanControl scan) {
  // Never signalled: an interruptible one-minute timer.
  platform::Event timer;
  timer.Create("", true, false);
  ScheduleChecker checker(std::move(scan));
  for (;;) {
    if (timer.Wait(kCheckIntervalMs) == platform::kWaitFailed)
      std::this_thread::sleep_for(std::chrono::milliseconds(kCheckIntervalMs));
    try {
      checker.Check();
    } catch (...) {
      DebugLog("Exception caught in SchedulerThread");
    }
  }
}

}  // namespace

bool ParseScheduleTime(std::string_view text, int* hour, int* minute) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  *hour = AtoiLike(text.substr(0, colon));
  *minute = AtoiLike(text.substr(colon + 1));
  return true;
}

bool ScheduleDue(int hour, int minute, uint32_t day, const platform::LocalTime& now) {
  if (now.hour != hour || now.minute != minute) return false;
  return day == 8 || day == static_cast<uint32_t>(now.day_of_week + 1);
}

bool ScheduleChecker::Check() {
  const int64_t now = platform::NowUnixSeconds();
  const int64_t minute_now = now >= 0 ? now / 60 : (now - 59) / 60;
  // The minute before this one was never looked at when the previous check
  // fell in the minute before that.
  const bool passed_over = last_minute_ != std::numeric_limits<int64_t>::min() &&
                           minute_now - last_minute_ == 2;
  last_minute_ = minute_now;

  platform::RegKey key;
  if (key.Open(RootKey::kLocalMachine, kScheduleInfoKey, platform::kKeyRead) != 0) return false;
  std::string time_text;
  int hour = 0;
  int minute = 0;
  if (!ReadTimeText(key, &time_text) || !ParseScheduleTime(time_text, &hour, &minute)) return false;
  const uint32_t day = ReadDwordOr0(key, "Day");

  platform::LocalTime local;
  bool due = platform::ToLocalTime(now, &local) && ScheduleDue(hour, minute, day, local);
  if (!due && passed_over)
    due = platform::ToLocalTime(now - 60, &local) && ScheduleDue(hour, minute, day, local);
  if (!due) return false;

  const uint32_t scan_type = ReadDwordOr0(key, "ScanType");
  const uint32_t on_detection = ReadDwordOr0(key, "OnDetection");
  key.Close();

  platform::RegKey agent;
  uint32_t progress = 0;
  if (agent.Open(RootKey::kLocalMachine, kAgentKey, platform::kKeyRead) == 0)
    progress = ReadDwordOr0(agent, "ScanProgress");
  agent.Close();
  if (progress != 0 || (scan_.running && scan_.running())) {
    DebugLog("Scheduled scan skipped: a scan is in progress");
    return false;
  }
  DebugLog("Befor scheduled StartScan");
  scan_.start(scan_type != 0 ? 1 : 0, on_detection);
  DebugLog("After scheduled StartScan");
  return true;
}

void StartSchedulerThread(ScanControl scan) { std::thread(SchedulerThread, std::move(scan)).detach(); }

}  // namespace vxagent
