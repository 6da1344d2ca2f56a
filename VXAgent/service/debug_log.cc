#include "VXAgent/service/debug_log.h"

#include <cstdio>
#include <mutex>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/system_info.h"

namespace vxagent {
namespace {

// Lines of different threads must not interleave inside one line.
std::mutex g_log_mu;

}  // namespace

std::string DebugLogPath() { return platform::GetSystemDirectory() + "\\" + kDebugLogName; }

std::string FormatDebugLine(uint32_t error_code, std::string_view message) {
  platform::LocalTime now = platform::GetLocalTime();
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "[%d-%s-%d ", now.day, platform::EnglishMonthName(now.month),
                now.year);
  std::string text = "(Error code: " + std::to_string(error_code) + "): " +
                     platform::ErrorMessage(error_code) + " ## ";
  text.append(message);
  std::string clean;
  clean.reserve(text.size());
  for (char c : text)
    if (c != '\r' && c != '\n') clean += c;
  return prefix + platform::FormatLocalTime(now, "%H:%M:%S") + " ] - " + clean;
}

void DebugLog(std::string_view message) {
  uint32_t code = platform::GetLastError();
  std::string line = FormatDebugLine(code, message) + "\r\n";
  {
    std::lock_guard<std::mutex> lock(g_log_mu);
    platform::File f;
    if (f.Open(DebugLogPath(), platform::kGenericWrite, platform::kShareRead | platform::kShareWrite,
               platform::kOpenAlways) &&
        f.Seek(0, platform::kSeekEnd)) {
      f.WriteAll(line);
    }
  }
  platform::SetLastError(0);
}

}  // namespace vxagent
