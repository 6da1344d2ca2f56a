#include "hostd/daemon/log.h"

#include <ctime>

namespace hostd {

Log::~Log() {
  if (file_) std::fclose(file_);
}

bool Log::OpenFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "ae");
  if (!f) return false;
  std::lock_guard<std::mutex> lock(mu_);
  if (file_) std::fclose(file_);
  file_ = f;
  return true;
}

void Log::Line(const std::string& module, const std::string& text) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::string line = std::string(stamp) + " " + module + ": " + text + "\n";
  std::lock_guard<std::mutex> lock(mu_);
  if (file_) {
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
  }
  if (to_stderr_) std::fputs(line.c_str(), stderr);
}

}  // namespace hostd
