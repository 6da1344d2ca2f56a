#include "VXAgentRemover/uninstall_log.h"

#include <cstdio>

#include "common/debug_log_line.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/system_info.h"

namespace vxremover {

std::string UninstallLogPath() { return platform::GetSystemDirectory() + "\\" + kUninstallLogName; }

std::string FormatUninstallLine(uint32_t error_code, std::string_view message) {
  platform::LocalTime now = platform::GetLocalTime();
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, " On [ %d %d %d ", now.day, now.month, now.year);
  return prefix + platform::FormatLocalTime(now, "%H:%M:%S") + " ] - " +
         common::DebugLogBody(error_code, message);
}

void UninstallLog(std::string_view message) {
  uint32_t code = platform::GetLastError();
  common::AppendDebugLogLine(UninstallLogPath(), FormatUninstallLine(code, message) + "\r\n");
  platform::SetLastError(0);
}

}  // namespace vxremover
