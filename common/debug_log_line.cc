#include "common/debug_log_line.h"

#include <mutex>

#include "platform/error.h"
#include "platform/file.h"

namespace common {

std::string DebugLogBody(uint32_t error_code, std::string_view message) {
  std::string text = "(Error code: " + std::to_string(error_code) + "): " +
                     platform::ErrorMessage(error_code) + " ## ";
  text.append(message);
  std::string clean;
  clean.reserve(text.size());
  for (char c : text)
    if (c != '\r' && c != '\n') clean += c;
  return clean;
}

void AppendDebugLogLine(const std::string& path, std::string_view line) {
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  platform::File f;
  if (f.Open(path, platform::kGenericWrite, platform::kShareRead | platform::kShareWrite,
             platform::kOpenAlways) &&
      f.Seek(0, platform::kSeekEnd)) {
    f.WriteAll(line);
  }
}

}  // namespace common
