#include "VXAgent/service/debug_log.h"

#include <cstdio>

#include "common/debug_log_line.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/system_info.h"

namespace vxagent {

std::string DebugLogPath() { return platform::GetSystemDirectory() + "\\" + kDebugLogName; }

std::string FormatDebugLine(uint32_t error_code, std::string_view message) {
  platform::LocalTime now = platform::GetLocalTime();
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "[%d-%s-%d ", now.day, platform::EnglishMonthName(now.month),
                now.year);
  return prefix + platform::FormatLocalTime(now, "%H:%M:%S") + " ] - " +
         common::DebugLogBody(error_code, message);
}

void DebugLog(std::string_view message) {
  uint32_t code = platform::GetLastError();
  common::AppendDebugLogLine(DebugLogPath(), FormatDebugLine(code, message) + "\r\n");
  platform::SetLastError(0);
}

}  // namespace vxagent
