// The daemon's log: one time-stamped line per event, to <root>/run/vxhostd.log
// and to standard error. Safe to use from every thread.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace hostd {

class Log {
 public:
  Log() = default;
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Appends to `path` from now on; false when it cannot be opened.
  bool OpenFile(const std::string& path);
  // Whether lines also go to standard error (default yes).
  void set_stderr(bool on) { to_stderr_ = on; }

  // "2026-12-11 04:09:14 scm: text"
  void Line(const std::string& module, const std::string& text);

 private:
  std::mutex mu_;
  FILE* file_ = nullptr;
  bool to_stderr_ = true;
};

}  // namespace hostd
