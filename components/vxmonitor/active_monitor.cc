#include "components/vxmonitor/active_monitor.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VXAgent/engine/process_items.h"
#include "VXAgent/engine/trace_syntax.h"
#include "components/vxmonitor/monitor_log.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/strings.h"
#include "platform/system_info.h"

namespace vxmonitor {
namespace {

constexpr int kPollMillis = 1000;

std::string SystemFile(const char* name) { return platform::GetSystemDirectory() + "\\" + name; }

template <typename Stamp>
Stamp StampOf(const std::string& windows_path) {
  Stamp s;
  std::string real;
  struct stat st;
  if (platform::ResolvePath(windows_path, &real) && ::stat(real.c_str(), &st) == 0) {
    s.present = true;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
  }
  return s;
}

}  // namespace

ActiveMonitor::ActiveMonitor(std::string cookie_folder) : cookie_folder_(std::move(cookie_folder)) {
  while (!cookie_folder_.empty() && cookie_folder_.back() == '\\') cookie_folder_.pop_back();
  inotify_fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
}

ActiveMonitor::~ActiveMonitor() {
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
}

void ActiveMonitor::RefreshRules() {
  const std::string db = SystemFile(kProcessSpyDatabase);
  const Stamp db_now = StampOf<Stamp>(db);
  if (!loaded_ || !(db_now == db_stamp_)) {
    std::vector<SpyExecutable> list;
    // A database being rewritten may read short: keep the old rules then.
    if (LoadSpyExecutables(db, &list) || !db_now.present) executables_ = std::move(list);
    db_stamp_ = db_now;
  }
  const std::string ini = SystemFile(kTrackingCookiesFile);
  const Stamp ini_now = StampOf<Stamp>(ini);
  if (!loaded_ || !(ini_now == sites_stamp_)) {
    std::vector<std::string> sites;
    LoadTrackingSites(ini, &sites);
    site_names_ = sites;
    site_keys_.clear();
    for (const std::string& site : sites) site_keys_.push_back(engine::CookieSiteKey(site));
    sites_stamp_ = ini_now;
  }
  loaded_ = true;
}

int ActiveMonitor::SweepProcesses() {
  if (executables_.empty()) return 0;
  std::vector<platform::ProcessEntry> processes;
  if (!platform::ListProcesses(&processes)) return 0;
  const uint32_t self = static_cast<uint32_t>(::getpid());
  std::set<uint32_t> still_failing;
  int terminated = 0;
  for (const auto& p : processes) {
    if (p.pid == self || p.image.empty()) continue;
    const std::string image = engine::NormalizeImagePath(p.image);
    const SpyExecutable* match = nullptr;
    for (const SpyExecutable& e : executables_)
      if (platform::EqualsIgnoreCase(e.image, image)) match = &e;
    if (!match) continue;
    platform::Process process = platform::Process::Open(p.pid);
    const bool ok = process.IsValid() && process.Terminate(1);
    if (ok) {
      ++terminated;
      AppendEvent(platform::GetLocalTime(), kProcessLogExtension, match->spy, p.image,
                  kProcessTerminated);
    } else {
      still_failing.insert(p.pid);
      if (!failed_pids_.count(p.pid))
        AppendEvent(platform::GetLocalTime(), kProcessLogExtension, match->spy, p.image,
                    kProcessNotTerminated);
    }
  }
  failed_pids_ = std::move(still_failing);
  return terminated;
}

int ActiveMonitor::SweepCookies() {
  if (site_keys_.empty() || cookie_folder_.empty()) return 0;
  platform::FindFile find;
  platform::FindData data;
  std::vector<std::string> names;
  if (!find.First(cookie_folder_ + "\\*.*", &data)) return 0;
  do {
    if (data.attributes & platform::kAttrDirectory) continue;
    names.push_back(data.name);
  } while (find.Next(&data));
  find.Close();

  std::set<std::string> still_failing;
  int deleted = 0;
  for (const std::string& name : names) {
    std::optional<std::string> site = engine::CookieFileSite(name);
    if (!site) continue;
    size_t i = 0;
    while (i < site_keys_.size() && site_keys_[i] != *site) ++i;
    if (i == site_keys_.size()) continue;
    const std::string path = cookie_folder_ + "\\" + name;
    platform::SetFileAttributes(path, platform::kAttrArchive);
    if (platform::DeleteFile(path)) {
      ++deleted;
      AppendEvent(platform::GetLocalTime(), kCookieLogExtension, site_names_[i], path, kCookieDeleted);
    } else {
      still_failing.insert(name);
      if (!failed_files_.count(name))
        AppendEvent(platform::GetLocalTime(), kCookieLogExtension, site_names_[i], path,
                    kCookieNotDeleted);
    }
  }
  failed_files_ = std::move(still_failing);
  return deleted;
}

bool ActiveMonitor::Watch() {
  if (watch_ >= 0) return true;
  if (inotify_fd_ < 0 || cookie_folder_.empty()) return false;
  std::string real;
  if (!platform::ResolvePath(cookie_folder_, &real)) return false;
  watch_ = ::inotify_add_watch(inotify_fd_, real.c_str(),
                               IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB);
  return watch_ >= 0;
}

int ActiveMonitor::Run() {
  for (;;) {
    RefreshRules();
    // A folder that appears later (a first logon) is watched from then on.
    Watch();
    SweepCookies();
    SweepProcesses();
    pollfd pfd{inotify_fd_, POLLIN, 0};
    const int n = ::poll(&pfd, inotify_fd_ >= 0 ? 1 : 0, kPollMillis);
    if (n < 0 && errno != EINTR) return 1;
    if (n > 0 && (pfd.revents & POLLIN)) {
      alignas(inotify_event) char buf[4096];
      ssize_t len;
      while ((len = ::read(inotify_fd_, buf, sizeof buf)) > 0) {
        for (char* p = buf; p < buf + len;) {
          auto* ev = reinterpret_cast<inotify_event*>(p);
          // The folder went away: watch it again once it is back.
          if (ev->mask & IN_IGNORED) watch_ = -1;
          p += sizeof(inotify_event) + ev->len;
        }
      }
    }
  }
}

}  // namespace vxmonitor
