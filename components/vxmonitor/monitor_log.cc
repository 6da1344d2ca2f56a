#include "components/vxmonitor/monitor_log.h"

#include "common/dates.h"
#include "common/string_map_file.h"
#include "platform/file.h"
#include "platform/system_info.h"

namespace vxmonitor {

std::string LogFolder() { return platform::GetSystemDirectory() + "\\" + kLogFolderName; }

std::string DayLogPath(const platform::LocalTime& t, std::string_view extension) {
  return LogFolder() + "\\" + common::DayText(t) + std::string(extension);
}

std::string EventKey(const platform::LocalTime& t, std::string_view name, std::string_view path) {
  return "[ " + common::DayTimeText(t) + "]  " + std::string(name) + "<" + std::string(path) + ">";
}

std::optional<LogEntry> ParseLogEntry(std::string_view key, std::string_view value) {
  if (key.size() < 2) return std::nullopt;
  std::string_view rest = key.substr(2);
  const size_t bracket = rest.find(']');
  if (bracket == std::string_view::npos || rest.size() < bracket + 3) return std::nullopt;
  LogEntry entry;
  entry.date_time = std::string(rest.substr(0, bracket));
  rest = rest.substr(bracket + 3);
  const size_t open = rest.find('<');
  if (open == std::string_view::npos) return std::nullopt;
  entry.name = std::string(rest.substr(0, open));
  const size_t close = rest.find('>', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  entry.path = std::string(rest.substr(open + 1, close - open - 1));
  entry.type = std::string(value);
  return entry;
}

bool AppendEvent(const platform::LocalTime& t, std::string_view extension, std::string_view name,
                 std::string_view path, std::string_view type) {
  if (!platform::PathIsDirectory(LogFolder())) platform::CreateDirectory(LogFolder());
  const std::string file = DayLogPath(t, extension);
  common::StringMap events;
  // A missing file starts a new day; a damaged one keeps what could be read.
  common::ReadStringMapFile(file, &events);
  events[EventKey(t, name, path)] = std::string(type);
  return common::WriteStringMapFile(file, events, /*truncate=*/false);
}

}  // namespace vxmonitor
