// The active protection monitor's day logs: in the system folder's
// "LiveMonitorLogFolder", per day "<day>.ps" (processes) and "<day>.cs"
// (cookies), <day> written "%d %s %d" (day, English month, year). Each is a
// string map file with one pair per event:
//
//   key   "[ " + "11 December 2026 07:30:00" + "]" + "  " + name + "<" + path + ">"
//   value the event's type ("Process Terminated", "Cookie Deleted", ...)
//
// The console drops the first two characters of the key, takes the date
// and time up to the first "]", skips it and two more characters, and reads
// the name up to "<" and the path up to the next ">".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace vxmonitor {

inline constexpr char kLogFolderName[] = "LiveMonitorLogFolder";
inline constexpr char kProcessLogExtension[] = ".ps";
inline constexpr char kCookieLogExtension[] = ".cs";

// Event types (the pairs' values).
inline constexpr char kProcessTerminated[] = "Process Terminated";
inline constexpr char kProcessNotTerminated[] = "Process Not Terminated";
inline constexpr char kCookieDeleted[] = "Cookie Deleted";
inline constexpr char kCookieNotDeleted[] = "Cookie Not Deleted";

// System folder + "\LiveMonitorLogFolder".
std::string LogFolder();
// LogFolder() + "\" + day text of `t` + `extension`.
std::string DayLogPath(const platform::LocalTime& t, std::string_view extension);

// The key of one event.
std::string EventKey(const platform::LocalTime& t, std::string_view name, std::string_view path);

// One pair read back the console's way.
struct LogEntry {
  std::string date_time;  // "11 December 2026 07:30:00"
  std::string name;
  std::string path;
  std::string type;
};
// Empty when the key lacks the "]", "<" or ">" the console looks for.
std::optional<LogEntry> ParseLogEntry(std::string_view key, std::string_view value);

// Adds one event to the day log of `t` with the given extension, creating
// the folder and the file when absent. False when the file cannot be
// written.
bool AppendEvent(const platform::LocalTime& t, std::string_view extension, std::string_view name,
                 std::string_view path, std::string_view type);

}  // namespace vxmonitor
