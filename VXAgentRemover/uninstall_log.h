// The uninstaller's debug log, VXCEUninstallLog.txt in the system folder:
// one line per step, each carrying the thread's last error code and its
// text, for support staff following an uninstall after the fact.
//
//    On [ 11 12 2026 09:05:03 ] - (Error code: 2): <system text> ## <message>
//
// The date is day, month number and year (unlike the agent's month
// names). Every call appends one line (CR and LF inside the text are
// removed) and then clears the thread's last error. A line that cannot be
// written is dropped; callers are never disturbed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vxremover {

inline constexpr const char* kUninstallLogName = "VXCEUninstallLog.txt";

void UninstallLog(std::string_view message);

// System folder + "\VXCEUninstallLog.txt".
std::string UninstallLogPath();

// One line without its CR LF, for `error_code` and the current local time.
std::string FormatUninstallLine(uint32_t error_code, std::string_view message);

}  // namespace vxremover
