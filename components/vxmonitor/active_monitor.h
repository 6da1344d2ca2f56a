// The active protection monitor's work: spy processes of the host are
// terminated, tracking-cookie files appearing in the user's cookie folder
// are deleted, and each is written to the day logs (monitor_log.h).
//
// Run() waits on an inotify watch of the cookie folder with a one-second
// time-out; every wake-up deletes what the folder holds of the listed
// sites, and at least once a second the host's process list is checked and
// the rule files are re-read when they changed. So events are noticed
// within about a second and an idle monitor costs next to nothing.
#pragma once

#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "components/vxmonitor/monitor_rules.h"

namespace vxmonitor {

class ActiveMonitor {
 public:
  // `cookie_folder`: Windows path of the folder to guard. The rule files
  // are looked for in the system folder.
  explicit ActiveMonitor(std::string cookie_folder);
  ~ActiveMonitor();
  ActiveMonitor(const ActiveMonitor&) = delete;
  ActiveMonitor& operator=(const ActiveMonitor&) = delete;

  // Re-reads ProcessSpy.db and VXTrackingCookies.ini when they changed
  // since the last read (a file that vanished empties its rules).
  void RefreshRules();
  // Terminates every running spy process once and logs it. Returns the
  // number of processes terminated.
  int SweepProcesses();
  // Deletes every file of the cookie folder whose site is listed, and logs
  // it. Returns the number deleted.
  int SweepCookies();
  // Watches until the process is ended; returns only when waiting itself
  // fails.
  int Run();

  const std::vector<SpyExecutable>& executables() const { return executables_; }
  const std::vector<std::string>& sites() const { return site_keys_; }

 private:
  bool Watch();

  std::string cookie_folder_;
  std::vector<SpyExecutable> executables_;
  std::vector<std::string> site_keys_;     // CookieSiteKey of each listed site
  std::vector<std::string> site_names_;    // as listed, for the log
  struct Stamp {
    bool present = false;
    int64_t size = 0;
    timespec mtime{};
    bool operator==(const Stamp& o) const {
      return present == o.present && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
             mtime.tv_nsec == o.mtime.tv_nsec;
    }
  };
  Stamp db_stamp_, sites_stamp_;
  bool loaded_ = false;
  // Failures already logged, so that a process or file that resists is
  // logged once, not every second.
  std::set<uint32_t> failed_pids_;
  std::set<std::string> failed_files_;
  int inotify_fd_ = -1;
  int watch_ = -1;
};

}  // namespace vxmonitor
