#include "platform/file_sharing.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/host.h"

namespace platform::file_sharing {
namespace {

// Lock bytes, far beyond any real file size.
constexpr off_t kLockBase = 0x7FFFFFFF00000000LL;
enum LockByte : off_t {
  kHoldsRead = 0,
  kHoldsWrite = 1,
  kHoldsDelete = 2,
  kDeniesRead = 3,
  kDeniesWrite = 4,
  kDeniesDelete = 5,
};

// Folder walks for in-use tests stop here; deeper trees are not searched.
constexpr int kMaxWalkDepth = 32;

// True when another open file description holds a lock on `byte`.
bool Held(int fd, LockByte byte) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLockBase + byte;
  fl.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

bool Take(int fd, LockByte byte) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLockBase + byte;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Calls `visit` with the pid directory of every running process; stops
// when it returns true and reports that.
template <typename Visit>
bool AnyProcess(Visit visit) {
  DIR* d = ::opendir("/proc");
  if (!d) return false;
  bool found = false;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string exe = std::string("/proc/") + e->d_name + "/exe";
    if (visit(exe)) {
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}

bool WalkForUndeletable(const std::string& dir, int depth) {
  if (depth > kMaxWalkDepth) return false;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (!found) {
    dirent* e = ::readdir(d);
    if (!e) break;
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      found = WalkForUndeletable(path, depth + 1);
    } else if (S_ISREG(st.st_mode)) {
      int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0) continue;
      found = DeleteDenied(fd);
      ::close(fd);
    }
  }
  ::closedir(d);
  return found;
}

}  // namespace

HostLock::HostLock() {
  Host* host = Host::Current();
  if (!host) return;
  std::string path = host->RunDir() + "/files.lock";
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
}

HostLock::~HostLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the flock
}

Rights RightsOf(uint32_t access) {
  Rights r;
  r.read = (access & (kGenericRead | kGenericExecute | kGenericAll | kFileReadData)) != 0;
  r.write = (access & (kGenericWrite | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
  r.del = (access & (kGenericAll | kDeleteAccess)) != 0;
  return r;
}

bool Acquire(int fd, const Rights& access, uint32_t share) {
  // Openers without data access take part in no sharing check (as on
  // Windows): they neither conflict nor restrict others.
  if (!access.any()) return true;
  bool share_read = (share & kShareRead) != 0;
  bool share_write = (share & kShareWrite) != 0;
  bool share_delete = (share & kShareDelete) != 0;
  if ((access.read && Held(fd, kDeniesRead)) || (access.write && Held(fd, kDeniesWrite)) ||
      (access.del && Held(fd, kDeniesDelete)) || (!share_read && Held(fd, kHoldsRead)) ||
      (!share_write && Held(fd, kHoldsWrite)) || (!share_delete && Held(fd, kHoldsDelete))) {
    return Fail(kErrorSharingViolation);
  }
  struct Want {
    bool on;
    LockByte byte;
  } wants[] = {
      {access.read, kHoldsRead},  {access.write, kHoldsWrite},   {access.del, kHoldsDelete},
      {!share_read, kDeniesRead}, {!share_write, kDeniesWrite}, {!share_delete, kDeniesDelete},
  };
  for (const Want& w : wants) {
    if (w.on && !Take(fd, w.byte)) return FailErrno(errno);
  }
  return true;
}

bool DeleteDenied(int fd) { return Held(fd, kDeniesDelete); }

bool IsRunningImage(const struct stat& st) {
  return AnyProcess([&](const std::string& exe) {
    struct stat es;
    return ::stat(exe.c_str(), &es) == 0 && es.st_dev == st.st_dev && es.st_ino == st.st_ino;
  });
}

bool HoldsRunningImage(const std::string& dir) {
  char resolved[PATH_MAX];
  if (!::realpath(dir.c_str(), resolved)) return false;
  std::string prefix = std::string(resolved) + "/";
  return AnyProcess([&](const std::string& exe) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(exe.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    return std::string_view(target, n).starts_with(prefix);
  });
}

bool HoldsUndeletableFile(const std::string& dir) { return WalkForUndeletable(dir, 0); }

}  // namespace platform::file_sharing
