// The agent's debug log, VXCEScheduleLog.txt in the system folder: one line
// per step, each carrying the thread's last error code and its text, so
// that support staff can follow a run after the fact.
//
//   [11-December-2026 09:05:03 ] - (Error code: 2): <system text> ## <message>
//
// Every call appends one line (CR and LF inside the text are removed) and
// then clears the thread's last error. A line that cannot be written is
// dropped; callers are never disturbed.
#pragma once

#include <string>
#include <string_view>

namespace vxagent {

inline constexpr const char* kDebugLogName = "VXCEScheduleLog.txt";

void DebugLog(std::string_view message);

// The log's path: system folder + "\VXCEScheduleLog.txt".
std::string DebugLogPath();

// The text of one line without its CR LF, for the given error code and the
// current local time (exposed for tests).
std::string FormatDebugLine(uint32_t error_code, std::string_view message);

}  // namespace vxagent
