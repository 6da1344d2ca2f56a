// The scan schedule: its registry key and the exchange of
// RemoteAdminScheduleScanPipe (served by RemoteAdminScheduleScanThread).
//
// HKLM\Software\VXCorporate\Schedule_Info exists exactly while a schedule
// is set:
//   ScanType     DWORD  1 full, 0 quick
//   OnDetection  DWORD  0 log, 1 delete, 2 quarantine
//   Day          DWORD  1 Sunday .. 7 Saturday, 8 every day
//   Time         SZ     "%d:%d", local hour and minute, "-1:-1" when the
//                       console's time has no local time
//
// Exchange after the SCommand: OperCmd (4 bytes); 1 is followed by a
// ScheduleInfo (20 bytes) and answered "SUCCESS" when stored, "ERROR"
// otherwise; 0 removes the schedule and is answered "SUCCESS" when the key
// was deleted, "ERROR" otherwise (also when there was none); any other
// operation, or a short OperCmd, gets no answer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "VXAgent/pipes/records.h"
#include "platform/pipe.h"

namespace vxagent {

inline constexpr char kScheduleInfoKey[] = "Software\\VXCorporate\\Schedule_Info";

// "%d:%d" with the local hour and minute of `unixSeconds`; "-1:-1" when
// the moment has no local time.
std::string ScheduleTimeText(int64_t unixSeconds);

// Stores `info` as the schedule (all four values overwritten). Storing
// also clears a ScanProgress guard left behind, but never while
// `scanRunning`: the guard of a running scan stays, so the scheduler does
// not start a second scan beside it. False when the key cannot be created;
// values written before a failure stay.
bool SaveSchedule(const records::ScheduleInfo& info, bool scanRunning);

// Deletes the schedule key. False when there is none or it cannot go.
bool RemoveSchedule();

// One exchange of the schedule pipe after its SCommand, with every debug
// line of the schedule thread. `scanRunning` tells whether a scan run is
// in progress now. Returns false only when the pipe itself failed; a
// client that went away is let go.
bool ServeScheduleRequest(platform::PipeServer& pipe, const std::function<bool()>& scanRunning);

// The agent's exchange for its pipe table, asking the agent's scan run.
bool ScheduleScanExchange(platform::PipeServer& pipe);

}  // namespace vxagent
