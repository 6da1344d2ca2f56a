#include "VXAgentRemover/uninstall_log.h"

#include <cstdio>
#include <mutex>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/system_info.h"

namespace vxremover {
namespace {

std::mutex g_log_mu;

}  // namespace

std::string UninstallLogPath() { return platform::GetSystemDirectory() + "\\" + kUninstallLogName; }

std::string FormatUninstallLine(uint32_t error_code, std::string_view message) {
  platform::LocalTime now = platform::GetLocalTime();
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, " On [ %d %d %d ", now.day, now.month, now.year);
  std::string text = "(Error code: " + std::to_string(error_code) + "): " +
                     platform::ErrorMessage(error_code) + " ## ";
  text.append(message);
  std::string clean;
  clean.reserve(text.size());
  for (char c : text)
    if (c != '\r' && c != '\n') clean += c;
  return prefix + platform::FormatLocalTime(now, "%H:%M:%S") + " ] - " + clean;
}

void UninstallLog(std::string_view message) {
  uint32_t code = platform::GetLastError();
  std::string line = FormatUninstallLine(code, message) + "\r\n";
  {
    std::lock_guard<std::mutex> lock(g_log_mu);
    platform::File f;
    if (f.Open(UninstallLogPath(), platform::kGenericWrite, platform::kShareRead | platform::kShareWrite,
               platform::kOpenAlways) &&
        f.Seek(0, platform::kSeekEnd)) {
      f.WriteAll(line);
    }
  }
  platform::SetLastError(0);
}

}  // namespace vxremover
