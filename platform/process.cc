#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/strings.h"

extern char** environ;

namespace platform {
namespace {

constexpr char kEnvServiceChannel[] = "VX_SERVICE_CHANNEL";
constexpr int kPidfdWaitType = 3;  // P_PIDFD of waitid (Linux 5.4)
#ifndef CLOSE_RANGE_CLOEXEC
constexpr unsigned kCloseRangeCloexec = 1u << 2;
#else
constexpr unsigned kCloseRangeCloexec = CLOSE_RANGE_CLOEXEC;
#endif

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int PidfdSignal(int fd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
}

int WaitidPidfd(int fd, siginfo_t* info, int options) {
  return static_cast<int>(
      ::syscall(SYS_waitid, kPidfdWaitType, fd, info, options | WEXITED, nullptr));
}

// Reads a small /proc file whole. False when it cannot be read.
bool ReadProcFile(const std::string& path, std::string* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string data;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  *out = std::move(data);
  return true;
}

// The variables of a NUL-separated environment block that the process list
// needs; the rest are skipped without copying.
std::map<std::string, std::string> ParseEnvironment(const std::string& block) {
  static constexpr std::string_view kWanted[] = {"VX_HOST_ROOT=", "VX_ACCOUNT=",
                                                 "VX_SERVICE_CHANNEL="};
  std::map<std::string, std::string> vars;
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find('\0', pos);
    if (end == std::string::npos) end = block.size();
    std::string_view item(block.data() + pos, end - pos);
    if (item.size() > 3 && item[0] == 'V' && item[1] == 'X' && item[2] == '_') {
      for (std::string_view w : kWanted) {
        if (item.substr(0, w.size()) == w)
          vars.emplace(std::string(w.substr(0, w.size() - 1)), std::string(item.substr(w.size())));
      }
    }
    pos = end + 1;
  }
  return vars;
}

std::string ReadExeLink(pid_t pid) {
  std::string link = pid == 0 ? "/proc/self/exe" : "/proc/" + std::to_string(pid) + "/exe";
  char buf[PATH_MAX];
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  // A replaced or removed image is reported with this suffix; the process
  // still runs the file it was started from.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() &&
      path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) path.resize(path.size() - kDeleted.size());
  }
  return path;
}

uint32_t ReadParentPid(pid_t pid) {
  std::string stat;
  if (!ReadProcFile("/proc/" + std::to_string(pid) + "/stat", &stat)) return 0;
  // "pid (name) state ppid ...": the name may hold blanks and parentheses.
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 4 > stat.size()) return 0;
  return static_cast<uint32_t>(std::strtoul(stat.c_str() + close + 4, nullptr, 10));
}

std::string CanonicalPath(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf)) return buf;
  return path;
}

std::string AccountFromEnvironment(const Host& host,
                                   const std::map<std::string, std::string>& env) {
  auto it = env.find(kEnvAccount);
  if (it != env.end() && !it->second.empty()) {
    if (const UserAccount* u = host.FindUser(it->second)) return u->name;
  }
  auto ch = env.find(kEnvServiceChannel);
  if ((ch != env.end() && !ch->second.empty()) || host.users().empty())
    return host.SystemAccount().name;
  return host.users().front().name;
}

// Compares VX_HOST_ROOT values with one host's root: exact text first, then
// the canonical folder (a root named through a symlink or with "/./").
class HostMatcher {
 public:
  explicit HostMatcher(const Host& host)
      : root_(host.root()), canonical_(CanonicalPath(host.root())) {}
  bool Matches(const std::string& value) {
    if (value.empty()) return false;
    if (value == root_ || value == canonical_) return true;
    auto it = cache_.find(value);
    if (it == cache_.end()) it = cache_.emplace(value, CanonicalPath(value) == canonical_).first;
    return it->second;
  }

 private:
  std::string root_, canonical_;
  std::map<std::string, bool> cache_;
};

// Fills `entry` for `pid` when the process belongs to the host.
bool ReadEntry(const Host& host, HostMatcher* matcher, pid_t pid, ProcessEntry* entry) {
  std::string block;
  if (!ReadProcFile("/proc/" + std::to_string(pid) + "/environ", &block)) return false;
  auto env = ParseEnvironment(block);
  auto it = env.find(kEnvHostRoot);
  if (it == env.end() || !matcher->Matches(it->second)) return false;
  std::string real = ReadExeLink(pid);
  if (real.empty()) return false;  // ended meanwhile, or a kernel thread
  ProcessEntry e;
  e.pid = static_cast<uint32_t>(pid);
  e.parent_pid = ReadParentPid(pid);
  e.real_image = real;
  e.image = RealToWindowsPath(host, real);
  e.account = AccountFromEnvironment(host, env);
  *entry = std::move(e);
  return true;
}

std::string BaseName(std::string_view windows_path) {
  size_t slash = windows_path.find_last_of('\\');
  return std::string(slash == std::string_view::npos ? windows_path
                                                     : windows_path.substr(slash + 1));
}

}  // namespace

// ---------------------------------------------------------------------------
// The process list.

bool ListProcesses(const Host& host, std::vector<ProcessEntry>* processes) {
  DIR* dir = ::opendir("/proc");
  if (!dir) return FailErrno(errno);
  std::vector<pid_t> pids;
  while (dirent* d = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(d->d_name, &end, 10);
    if (*end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(dir);
  std::sort(pids.begin(), pids.end());
  HostMatcher matcher(host);
  std::vector<ProcessEntry> out;
  for (pid_t pid : pids) {
    ProcessEntry e;
    if (ReadEntry(host, &matcher, pid, &e)) out.push_back(std::move(e));
  }
  *processes = std::move(out);
  return true;
}

bool ListProcesses(std::vector<ProcessEntry>* processes) {
  Host* host = Host::Current();
  if (!host) return Fail(kErrorPathNotFound);
  return ListProcesses(*host, processes);
}

bool GetProcessEntry(uint32_t pid, ProcessEntry* entry) {
  Host* host = Host::Current();
  if (!host || pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return Fail(kErrorInvalidParameter);
  HostMatcher matcher(*host);
  if (!ReadEntry(*host, &matcher, static_cast<pid_t>(pid), entry)) return Fail(kErrorInvalidParameter);
  return true;
}

bool FindProcessByName(std::string_view name, ProcessEntry* entry) {
  std::vector<ProcessEntry> list;
  if (!ListProcesses(&list)) return false;
  for (auto& e : list) {
    if (!e.image.empty() && EqualsIgnoreCase(BaseName(e.image), name)) {
      *entry = std::move(e);
      return true;
    }
  }
  return Fail(kErrorInvalidParameter);
}

// ---------------------------------------------------------------------------
// Handles.

// What the caller knows of one of its own children, shared by every handle
// of it. The child is reaped once, by whichever handle asks first; the last
// handle to go leaves an unreaped child to a background waiter.
namespace internal {
struct ChildState {
  std::mutex mu;
  int fd = -1;  // pidfd of its own, used for reaping
  pid_t pid = 0;
  bool reaped = false;
  bool status_known = false;
  int exit_kind = 0, exit_value = 0;  // si_code and si_status of the reap
  bool terminated = false;
  uint32_t requested_code = 0;
  std::string host_root;  // VX_HOST_ROOT given to the child

  ~ChildState();
};
}  // namespace internal
using internal::ChildState;

namespace {

std::mutex g_children_mu;
std::map<pid_t, std::weak_ptr<ChildState>>& Children() {
  static auto* children = new std::map<pid_t, std::weak_ptr<ChildState>>;
  return *children;
}

}  // namespace

internal::ChildState::~ChildState() {
  {
    std::lock_guard<std::mutex> lock(g_children_mu);
    auto it = Children().find(pid);
    if (it != Children().end() && it->second.expired()) Children().erase(it);
  }
  if (fd < 0) return;
  if (reaped) {
    ::close(fd);
    return;
  }
  int wait_fd = fd;
  std::thread([wait_fd] {
    siginfo_t info;
    while (WaitidPidfd(wait_fd, &info, 0) < 0 && errno == EINTR) {
    }
    ::close(wait_fd);
  }).detach();
}

Process::Process() = default;

Process::Process(int fd, uint32_t pid, std::shared_ptr<ChildState> child)
    : fd_(fd), pid_(pid), child_(std::move(child)) {}

Process::~Process() { Close(); }

Process::Process(Process&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      pid_(std::exchange(other.pid_, 0)),
      child_(std::move(other.child_)),
      terminated_(std::exchange(other.terminated_, false)),
      requested_code_(std::exchange(other.requested_code_, 0)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    pid_ = std::exchange(other.pid_, 0);
    child_ = std::move(other.child_);
    terminated_ = std::exchange(other.terminated_, false);
    requested_code_ = std::exchange(other.requested_code_, 0);
  }
  return *this;
}

void Process::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pid_ = 0;
  child_.reset();
  terminated_ = false;
  requested_code_ = 0;
}

Process Process::Open(uint32_t pid) {
  Host* host = Host::Current();
  if (!host || pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) {
    SetLastError(kErrorInvalidParameter);
    return Process();
  }
  // A child of ours that has not been reaped yet stays open-able after it
  // ended, as a Windows process does while someone holds a handle to it.
  std::shared_ptr<ChildState> child;
  {
    std::lock_guard<std::mutex> lock(g_children_mu);
    auto it = Children().find(static_cast<pid_t>(pid));
    if (it != Children().end()) child = it->second.lock();
  }
  if (child && child->host_root != host->root()) child.reset();
  int fd = -1;
  if (child) {
    // Under the child's lock it cannot be reaped meanwhile, so its id
    // cannot have been reused.
    std::lock_guard<std::mutex> lock(child->mu);
    if (!child->reaped) fd = PidfdOpen(static_cast<pid_t>(pid));
  }
  if (fd < 0) {
    child.reset();
    fd = PidfdOpen(static_cast<pid_t>(pid));
  }
  if (fd < 0) {
    SetLastError(kErrorInvalidParameter);
    return Process();
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (!child) {
    HostMatcher matcher(*host);
    ProcessEntry entry;
    pollfd p{fd, POLLIN, 0};
    // Checked after the pidfd is held, so that a reused id is not mistaken
    // for the process the pidfd names: that one must still run.
    if (!ReadEntry(*host, &matcher, static_cast<pid_t>(pid), &entry) || ::poll(&p, 1, 0) != 0) {
      ::close(fd);
      SetLastError(kErrorInvalidParameter);
      return Process();
    }
  }
  return Process(fd, pid, std::move(child));
}

bool Process::Reap(bool block) {
  ChildState& c = *child_;
  std::lock_guard<std::mutex> lock(c.mu);
  if (c.reaped) return true;
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  int r;
  do {
    r = WaitidPidfd(c.fd, &info, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    // Reaped behind our back (SIGCHLD ignored): the end is known, the
    // status is not.
    if (errno != ECHILD) return false;
    c.reaped = true;
  } else if (info.si_pid == 0) {
    return false;  // still running
  } else {
    c.reaped = true;
    c.status_known = true;
    c.exit_kind = info.si_code;
    c.exit_value = info.si_status;
  }
  std::lock_guard<std::mutex> registry(g_children_mu);
  auto it = Children().find(c.pid);
  if (it != Children().end()) {
    auto live = it->second.lock();
    if (!live || live.get() == &c) Children().erase(it);
  }
  return true;
}

bool Process::Terminate(uint32_t exit_code) {
  if (!IsValid()) return Fail(kErrorInvalidHandle);
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) != 0) return Fail(kErrorAccessDenied);  // already ended
  if (PidfdSignal(fd_, SIGKILL) != 0) return Fail(kErrorAccessDenied);
  terminated_ = true;
  requested_code_ = exit_code;
  if (child_) {
    std::lock_guard<std::mutex> lock(child_->mu);
    child_->terminated = true;
    child_->requested_code = exit_code;
  }
  return true;
}

bool Process::WaitForExit(int64_t timeout_ms) {
  if (!IsValid()) return Fail(kErrorInvalidHandle);
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int wait = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
    }
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, wait);
    if (r > 0) return true;
    if (r == 0) return Fail(kErrorWaitTimeout);
    if (errno != EINTR) return FailErrno(errno);
  }
}

bool Process::GetExitCode(uint32_t* exit_code) {
  if (!IsValid()) return Fail(kErrorInvalidHandle);
  if (child_) {
    if (!Reap(false)) {
      *exit_code = kStillActive;
      return true;
    }
    std::lock_guard<std::mutex> lock(child_->mu);
    const ChildState& c = *child_;
    if (!c.status_known) {
      if (!c.terminated) return Fail(kErrorAccessDenied);
      *exit_code = c.requested_code;
      return true;
    }
    if (c.exit_kind == CLD_EXITED) {
      *exit_code = static_cast<uint32_t>(c.exit_value);
    } else if (c.terminated && c.exit_value == SIGKILL) {
      *exit_code = c.requested_code;
    } else {
      *exit_code = 128u + static_cast<uint32_t>(c.exit_value);
    }
    return true;
  }
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) == 0) {
    *exit_code = kStillActive;
    return true;
  }
  if (!terminated_) return Fail(kErrorAccessDenied);
  *exit_code = requested_code_;
  return true;
}

bool Process::GetAccount(std::string* account) const {
  if (!IsValid()) return Fail(kErrorInvalidHandle);
  ProcessEntry e;
  if (!GetProcessEntry(pid_, &e)) return Fail(kErrorAccessDenied);
  *account = e.account;
  return true;
}

bool Process::GetImagePath(std::string* windows_path) const {
  if (!IsValid()) return Fail(kErrorInvalidHandle);
  pollfd p{fd_, POLLIN, 0};
  ProcessEntry e;
  if (::poll(&p, 1, 0) != 0 || !GetProcessEntry(pid_, &e)) return Fail(kErrorAccessDenied);
  *windows_path = e.image;
  return true;
}

// ---------------------------------------------------------------------------
// Command lines.

std::vector<std::string> CommandLineToArgv(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0, n = line.size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  if (n == 0) return args;
  // The program name: quotes group, backslashes are plain characters.
  {
    std::string arg;
    bool quoted = false;
    for (; i < n; ++i) {
      char c = line[i];
      if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && blank(c)) {
        break;
      } else {
        arg += c;
      }
    }
    args.push_back(std::move(arg));
  }
  for (;;) {
    while (i < n && blank(line[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      char c = line[i];
      if (c == '\\') {
        size_t count = 0;
        while (i < n && line[i] == '\\') {
          ++count;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(count / 2, '\\');
          if (count % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(count, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && blank(c)) break;
      arg += c;
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::string QuoteArgument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string_view::npos) return std::string(arg);
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

std::string ArgvToCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i) line += ' ';
    // The program name takes no escapes: it is quoted when it holds blanks.
    if (i == 0 && args[0].find('"') == std::string::npos) {
      bool plain = !args[0].empty() && args[0].find_first_of(" \t") == std::string::npos;
      line += plain ? args[0] : "\"" + args[0] + "\"";
    } else {
      line += QuoteArgument(args[i]);
    }
  }
  return line;
}

namespace {

std::vector<std::string> OwnArguments() {
  std::string block;
  std::vector<std::string> args;
  if (!ReadProcFile("/proc/self/cmdline", &block)) return args;
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find('\0', pos);
    if (end == std::string::npos) end = block.size();
    args.emplace_back(block.substr(pos, end - pos));
    pos = end + 1;
  }
  return args;
}

}  // namespace

std::string GetCommandLine() {
  std::vector<std::string> own = OwnArguments();
  // VX_COMMAND_LINE is trusted only when it still describes this process's
  // arguments: a program started by other means inherits its parent's.
  if (const char* raw = std::getenv(kEnvCommandLine)) {
    if (CommandLineToArgv(raw) == own) return raw;
  }
  return ArgvToCommandLine(own);
}

std::string CurrentProgramPath() { return ReadExeLink(0); }

std::string CurrentProgramFolder() {
  std::string path = CurrentProgramPath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool FindInRealFolder(const std::string& folder, std::string_view name, std::string* real) {
  if (name.empty() || name.find('/') != std::string_view::npos) return Fail(kErrorFileNotFound);
  std::string exact = folder + "/" + std::string(name);
  struct stat st;
  if (::lstat(exact.c_str(), &st) == 0) {
    *real = exact;
    return true;
  }
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return Fail(kErrorFileNotFound);
  std::string found;
  while (dirent* d = ::readdir(dir)) {
    if (EqualsIgnoreCase(d->d_name, name)) {
      found = folder + "/" + d->d_name;
      break;
    }
  }
  ::closedir(dir);
  if (found.empty()) return Fail(kErrorFileNotFound);
  *real = found;
  return true;
}

// ---------------------------------------------------------------------------
// Starting programs.

namespace {

uint32_t LaunchError(int err) {
  switch (err) {
    case ENOEXEC:
    case ELIBBAD:
      return kErrorBadExeFormat;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    default:
      return ErrorFromErrno(err);
  }
}

// Windows files carry no execute bit: starting one grants it wherever it
// may be read. False (with the last error) when the file cannot be run.
bool MakeRunnable(const std::string& real) {
  struct stat st;
  if (::stat(real.c_str(), &st) != 0) return Fail(LaunchError(errno));
  if (!S_ISREG(st.st_mode)) return Fail(kErrorAccessDenied);
  if (::access(real.c_str(), X_OK) == 0) return true;
  mode_t mode = st.st_mode & 07777;
  if (mode & S_IRUSR) mode |= S_IXUSR;
  if (mode & S_IRGRP) mode |= S_IXGRP;
  if (mode & S_IROTH) mode |= S_IXOTH;
  if (::chmod(real.c_str(), mode) != 0 || ::access(real.c_str(), X_OK) != 0)
    return Fail(kErrorAccessDenied);
  return true;
}

bool IsWindowsEnvOwned(std::string_view name) {
  return name == kEnvHostRoot || name == kEnvAccount || name == kEnvCommandLine ||
         name == kEnvServiceChannel;
}

// Child side between fork and exec: async-signal-safe calls only.
[[noreturn]] void RunChild(const char* program, char* const* argv, char* const* envp,
                           const char* cwd, int err_fd, int null_fd, bool detach,
                           const std::vector<std::pair<int, int>>& remap, int high_base,
                           const int* keep, size_t keep_count) {
  auto die = [err_fd](int err) {
    ssize_t ignored = ::write(err_fd, &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  };
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);

  // Move every source above all targets first, so that one mapping never
  // overwrites the source of another.
  int moved[64];
  size_t count = remap.size() < 64 ? remap.size() : 64;
  for (size_t i = 0; i < count; ++i) {
    moved[i] = ::fcntl(remap[i].first, F_DUPFD_CLOEXEC, high_base);
    if (moved[i] < 0) die(errno);
  }
  if (detach) {
    ::setsid();
    for (int std_fd = 0; std_fd < 3; ++std_fd)
      if (::dup2(null_fd, std_fd) < 0) die(errno);
  }
  for (size_t i = 0; i < count; ++i)
    if (::dup2(moved[i], remap[i].second) < 0) die(errno);
  // Everything else above 2 closes at exec.
  unsigned lo = 3;
  for (size_t i = 0; i < keep_count; ++i) {
    unsigned k = static_cast<unsigned>(keep[i]);
    if (k < lo) continue;
    if (k > lo) ::syscall(SYS_close_range, lo, k - 1, kCloseRangeCloexec);
    lo = k + 1;
  }
  ::syscall(SYS_close_range, lo, ~0u, kCloseRangeCloexec);
  if (cwd && ::chdir(cwd) != 0) die(errno);
  ::execve(program, argv, envp);
  die(errno);
  ::_exit(127);
}

}  // namespace

bool LaunchRealProgram(const std::string& real_program, std::string_view command_line,
                       const LaunchOptions& options, Process* process) {
  if (options.fds_to_remap.size() > 64) return Fail(kErrorInvalidParameter);
  Host* host = Host::Current();
  std::string account;
  if (host) {
    const UserAccount* user = options.account.empty() ? &host->CurrentAccount()
                                                      : host->FindUser(options.account);
    if (!user) return Fail(kErrorNoSuchUser);
    account = user->name;
  } else if (!options.account.empty()) {
    return Fail(kErrorNoSuchUser);
  }

  std::string cwd;
  if (!options.current_directory.empty()) {
    if (!ResolvePath(options.current_directory, &cwd)) return false;
    struct stat st;
    if (::stat(cwd.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Fail(kErrorDirectory);
  } else if (host) {
    std::string real;
    struct stat st;
    if (ResolvePath(GetCurrentDirectory(), &real) && ::stat(real.c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode))
      cwd = real;
  }

  if (!MakeRunnable(real_program)) return false;

  std::string line(command_line);
  if (line.empty()) line = ArgvToCommandLine({real_program});
  std::vector<std::string> args = CommandLineToArgv(line);
  if (args.empty()) args.push_back(real_program);

  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view item(*e);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos || IsWindowsEnvOwned(item.substr(0, eq))) continue;
    bool overridden = false;
    for (const auto& [name, value] : options.environment)
      if (item.substr(0, eq) == name) overridden = true;
    if (!overridden) env.emplace_back(item);
  }
  if (host) {
    // A root given relative to the caller's folder must still name the host
    // from the child's own working folder.
    std::string root = host->root();
    if (root.empty() || root[0] != '/') root = CanonicalPath(root);
    env.push_back(std::string(kEnvHostRoot) + "=" + root);
    env.push_back(std::string(kEnvAccount) + "=" + account);
  }
  env.push_back(std::string(kEnvCommandLine) + "=" + line);
  for (const auto& entry : options.environment) {
    // A named reference rather than the binding: clang 14 cannot capture
    // structured bindings in lambdas.
    const std::string& name = entry.first;
    const std::string& value = entry.second;
    std::erase_if(env, [&](const std::string& item) {
      return item.size() > name.size() && item.compare(0, name.size(), name) == 0 &&
             item[name.size()] == '=';
    });
    env.push_back(name + "=" + value);
  }

  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<int> keep;
  int high_base = 3;
  for (const auto& [from, to] : options.fds_to_remap) {
    if (from < 0 || to < 0) return Fail(kErrorInvalidHandle);
    keep.push_back(to);
    high_base = std::max({high_base, from + 1, to + 1});
  }
  std::sort(keep.begin(), keep.end());

  int null_fd = -1;
  if (options.detach) {
    null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return FailErrno(errno);
  }
  int err_pipe[2];
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    int err = errno;
    if (null_fd >= 0) ::close(null_fd);
    return FailErrno(err);
  }
  high_base = std::max({high_base, err_pipe[0] + 1, err_pipe[1] + 1, null_fd + 1});

  pid_t pid = ::fork();
  if (pid == 0) {
    RunChild(real_program.c_str(), argv.data(), envp.data(), cwd.empty() ? nullptr : cwd.c_str(),
             err_pipe[1], null_fd, options.detach, options.fds_to_remap, high_base, keep.data(),
             keep.size());
  }
  int fork_errno = errno;
  ::close(err_pipe[1]);
  if (null_fd >= 0) ::close(null_fd);
  if (pid < 0) {
    ::close(err_pipe[0]);
    return FailErrno(fork_errno);
  }
  int child_err = 0;
  ssize_t got;
  do {
    got = ::read(err_pipe[0], &child_err, sizeof child_err);
  } while (got < 0 && errno == EINTR);
  ::close(err_pipe[0]);
  if (got == static_cast<ssize_t>(sizeof child_err)) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return Fail(LaunchError(child_err));
  }

  int fd = PidfdOpen(pid);
  int reap_fd = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
  if (fd < 0 || reap_fd < 0) {
    // Without a pidfd the child cannot be handed out; it still runs and is
    // left to the init process once we exit.
    int err = errno;
    if (fd >= 0) ::close(fd);
    return FailErrno(err);
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  auto child = std::make_shared<ChildState>();
  child->fd = reap_fd;
  child->pid = pid;
  if (host) child->host_root = host->root();
  {
    std::lock_guard<std::mutex> lock(g_children_mu);
    Children()[pid] = child;
  }
  *process = Process(fd, static_cast<uint32_t>(pid), std::move(child));
  return true;
}

namespace {

bool HasExtension(std::string_view name) {
  size_t slash = name.find_last_of("\\/");
  size_t dot = name.rfind('.');
  return dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash);
}

// Windows tells a missing folder (3) from a missing file (2).
uint32_t MissingError(const std::string& real) {
  size_t slash = real.rfind('/');
  struct stat st;
  if (slash != std::string::npos && slash > 0 &&
      ::stat(real.substr(0, slash).c_str(), &st) != 0)
    return kErrorPathNotFound;
  return kErrorFileNotFound;
}

bool IsFile(const std::string& real) {
  struct stat st;
  return ::stat(real.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool SearchProgram(std::string_view name_in, std::string* real) {
  Host* host = Host::Current();
  if (!host) return Fail(kErrorPathNotFound);
  std::string name(name_in);
  if (name.empty()) return Fail(kErrorFileNotFound);
  if (!HasExtension(name)) name += ".exe";
  if (name.find_first_of("\\/:") != std::string::npos) {
    std::string r;
    if (!ResolvePath(name, &r)) return false;
    if (!IsFile(r)) return Fail(MissingError(r));
    *real = r;
    return true;
  }
  std::string r;
  if (FindInRealFolder(CurrentProgramFolder(), name, &r) && IsFile(r)) {
    *real = r;
    return true;
  }
  for (const std::string& folder : {GetCurrentDirectory(), host->system_dir(), host->windows_dir()}) {
    std::string base = folder;
    if (!base.empty() && base.back() != '\\') base += '\\';
    if (ResolvePath(base + name, &r) && IsFile(r)) {
      *real = r;
      return true;
    }
  }
  return Fail(kErrorFileNotFound);
}

bool CreateProcess(std::string_view application, std::string_view command_line,
                   const LaunchOptions& options, Process* process) {
  Host* host = Host::Current();
  if (!host) return Fail(kErrorPathNotFound);
  std::string real;
  std::string line(command_line);
  if (!application.empty()) {
    if (!ResolvePath(application, &real)) return false;
    struct stat st;
    if (::stat(real.c_str(), &st) != 0)
      return Fail(errno == ENOENT ? MissingError(real) : LaunchError(errno));
    if (line.empty()) line = ArgvToCommandLine({std::string(application)});
  } else {
    std::vector<std::string> args = CommandLineToArgv(command_line);
    if (args.empty()) return Fail(kErrorFileNotFound);
    bool found = SearchProgram(args[0], &real);
    // An unquoted program path with blanks ("C:\Program Files\x\a.exe -y")
    // is tried up to each blank in turn, shortest first, as Windows does.
    size_t start = line.find_first_not_of(" \t");
    if (!found && start != std::string::npos && line[start] != '"') {
      uint32_t first_error = GetLastError();
      for (size_t blank = line.find_first_of(" \t", line.find_first_of(" \t", start) + 1);
           !found; blank = line.find_first_of(" \t", blank + 1)) {
        std::string candidate = line.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
        found = SearchProgram(candidate, &real);
        if (blank == std::string::npos) break;
      }
      if (!found) return Fail(first_error);
    }
    if (!found) return false;
  }
  return LaunchRealProgram(real, line, options, process);
}

bool OpenProcessToken(const Process& process, AccessToken* token) {
  std::string account;
  if (!process.GetAccount(&account)) return false;
  token->account = account;
  return true;
}

bool CreateProcessAsUser(const AccessToken& token, std::string_view application,
                         std::string_view command_line, const LaunchOptions& options,
                         Process* process) {
  if (token.account.empty()) return Fail(kErrorNoToken);
  LaunchOptions as_user = options;
  as_user.account = token.account;
  return CreateProcess(application, command_line, as_user, process);
}

bool GetUserProfileDirectory(const AccessToken& token, std::string* profile) {
  Host* host = Host::Current();
  const UserAccount* user = host ? host->FindUser(token.account) : nullptr;
  if (!user) return Fail(kErrorNoSuchUser);
  *profile = user->profile;
  return true;
}

}  // namespace platform
