#include "VXAgent/service/schedule.h"

#include <cstdio>

#include "VXAgent/pipes/version_check.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/pipe_io.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace vxagent {
namespace {

namespace rec = records;
using platform::RootKey;

constexpr char kSuccess[] = "SUCCESS";
constexpr char kError[] = "ERROR";

// Writes one reply with the schedule thread's lines: `failed` when the
// write did not go through, `flushed` when it did.
void Reply(platform::PipeServer& pipe, const char* text, const char* failed, const char* flushed) {
  DebugLog(WriteLine(pipe, text) ? flushed : failed);
}

}  // namespace

std::string ScheduleTimeText(int64_t unixSeconds) {
  int hour = -1;
  int minute = -1;
  platform::LocalTime t;
  if (platform::ToLocalTime(unixSeconds, &t)) {
    hour = t.hour;
    minute = t.minute;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%d:%d", hour, minute);
  return text;
}

bool SaveSchedule(const rec::ScheduleInfo& info, bool scanRunning) {
  platform::RegKey key;
  if (key.Create(RootKey::kLocalMachine, kScheduleInfoKey, platform::kKeyAllAccess) != 0) return false;
  key.WriteDword("ScanType", info.scan_kind != 0 ? 1 : 0);
  key.WriteDword("OnDetection", info.on_detection);
  key.WriteDword("Day", info.day);
  // A new schedule clears a guard that a cut-off scan left set; the guard
  // of a scan that really runs must stay, or the next due check would start
  // a second scan beside it.
  if (!scanRunning) {
    platform::RegKey agent;
    if (agent.Open(RootKey::kLocalMachine, kAgentKey, platform::kKeyAllAccess) == 0)
      agent.WriteDword("ScanProgress", 0);
  }
  key.WriteString("Time", ScheduleTimeText(info.time));
  return true;
}

bool RemoveSchedule() {
  platform::RegKey machine;
  if (machine.Open(RootKey::kLocalMachine, "", platform::kKeyAllAccess) != 0) return false;
  return machine.DeleteKey(kScheduleInfoKey) == 0;
}

bool ServeScheduleRequest(platform::PipeServer& pipe, const std::function<bool()>& scanRunning) {
  uint8_t oper[rec::kOperCmdSize];
  uint32_t got = 0;
  ReadResult r = ReadRecord(pipe, oper, sizeof oper, &got);
  if (r != ReadResult::kOk) {
    DebugLog("In Schedule ::ReadFile(2) Failed, now calling DisconnectNamedPipe!");
    return r != ReadResult::kPipeDead;
  }
  if (got < rec::kOperCmdSize) return true;  // no operation: no answer
  const uint32_t operation = rec::ReadLe32(oper);

  if (operation == 1) {
    uint8_t buf[rec::kScheduleInfoSize];
    r = ReadRecord(pipe, buf, sizeof buf, &got);
    if (r != ReadResult::kOk) {
      DebugLog("In Schedule ::ReadFile(3) Failed, now calling DisconnectNamedPipe!");
      return r != ReadResult::kPipeDead;
    }
    // A short record is no schedule: nothing is stored.
    rec::ScheduleInfo info;
    if (rec::Decode(buf, got, &info) && SaveSchedule(info, scanRunning())) {
      DebugLog("Schedule_Scan SUCCESS");
      Reply(pipe, kSuccess, "In Schedule ::WriteFile Failed, now calling DisconnectNamedPipe!",
            "After Schedule FlushFileBuffers!");
    } else {
      DebugLog("Schedule_Scan ERROR");
      Reply(pipe, kError, "In Schedule ::WriteFile(2) Failed, now calling DisconnectNamedPipe!",
            "After Schedule FlushFileBuffers(2)!");
    }
  } else if (operation == 0) {
    DebugLog("In remove schedule scan");
    if (RemoveSchedule()) {
      DebugLog("Remove Schedule_Scan SUCCESS");
      Reply(pipe, kSuccess, "In Schedule ::WriteFile(3) Failed, now calling DisconnectNamedPipe!",
            "After Schedule FlushFileBuffers(3)!");
    } else {
      DebugLog("Remove Schedule_Scan ERROR");
      Reply(pipe, kError, "In Schedule ::WriteFile(4) Failed, now calling DisconnectNamedPipe!",
            "After Schedule FlushFileBuffers(4)!");
    }
  }
  return true;
}

}  // namespace vxagent
