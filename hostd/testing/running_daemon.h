// Test support: a real vxhostd serving a test host, started in the
// constructor and stopped (SIGTERM, then SIGKILL after a few seconds) in
// the destructor. The binary is taken from $VX_BIN_DIR (set by ctest).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace hostd::testing {

class RunningDaemon {
 public:
  // Starts vxhostd --root `root` plus `extra_args` and waits until its SCM
  // socket accepts connections (ok() false when it did not within 10 s or
  // the daemon ended).
  explicit RunningDaemon(const std::string& root, std::vector<std::string> extra_args = {});
  ~RunningDaemon();
  RunningDaemon(const RunningDaemon&) = delete;
  RunningDaemon& operator=(const RunningDaemon&) = delete;

  bool ok() const { return ok_; }
  pid_t pid() const { return pid_; }
  // Sends SIGTERM and waits for the exit; returns the exit status as
  // waitpid gives it (-1 when it had to be killed).
  int Stop();

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

// $VX_BIN_DIR/<name>, the build's program folder.
std::string BinPath(const std::string& name);

// Polls `done` every 10 ms until it holds or `ms` pass; the last answer.
bool WaitUntil(const std::function<bool()>& done, int ms = 5000);

// Runs `argv` (argv[0] a path) with extra environment entries and returns
// its exit status (waitpid form); standard output goes to `*out`.
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string* out);

}  // namespace hostd::testing
