// The local host's files: Windows paths resolved through the host's drive
// map, Windows sharing and attribute rules on top of POSIX calls.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/file_attributes.h"
#include "platform/file_sharing.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/strings.h"

namespace platform {
namespace {

namespace attrs = file_attributes;
namespace sharing = file_sharing;

constexpr int64_t kNanosPerTick = 100;

std::string ParentOf(const std::string& real) {
  size_t slash = real.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return real.substr(0, slash);
}

bool IsFolder(const std::string& real) {
  struct stat st;
  return ::stat(real.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The error for an entry that is not there: 2 when its folder exists, 3
// when the folder is missing too (or a file stands where a folder should).
bool FailMissing(const std::string& real, int err) {
  if (err != ENOENT && err != ENOTDIR) return FailErrno(err);
  return Fail(err == ENOENT && IsFolder(ParentOf(real)) ? kErrorFileNotFound : kErrorPathNotFound);
}

// Resolves a local Windows path of the current host (case-insensitive).
bool Resolve(const std::string& path, std::string* real, WindowsPath* parsed = nullptr) {
  Host* host = Host::Current();
  if (!host) return Fail(kErrorPathNotFound);
  WindowsPath wp = ParseWindowsPath(path);
  if (!ResolvePath(*host, wp, real)) return false;
  if (parsed) *parsed = std::move(wp);
  return true;
}

bool ReadOnly(const std::string& real, const struct stat& st) {
  return (attrs::Read(real, st) & kAttrReadOnly) != 0;
}

struct timespec ToTimespec(FileTime ft) {
  struct timespec ts;
  ts.tv_sec = UnixFromFileTime(ft);
  ts.tv_nsec = static_cast<long>((ft % 10000000u) * kNanosPerTick);
  return ts;
}

void FillTimes(const struct stat& st, FileTime creation, FileTimes* times) {
  times->creation = creation;
  times->last_access = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  times->last_write = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

// Why the entry at `real` (a file or folder, `st`) may not be deleted or
// renamed away now; true with the last error set when it may not.
bool InUse(const std::string& real, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) {
    if (sharing::HoldsRunningImage(real)) return !Fail(kErrorAccessDenied);
    if (sharing::HoldsUndeletableFile(real)) return !Fail(kErrorSharingViolation);
    return false;
  }
  if (!S_ISREG(st.st_mode)) return false;
  int fd = ::open(real.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return sharing::IsRunningImage(st) ? !Fail(kErrorAccessDenied) : false;
  }
  // Only ELF files can be a process's image (scripts show their
  // interpreter), which spares most deletions the walk over /proc.
  char magic[4];
  bool elf = ::pread(fd, magic, sizeof magic, 0) == 4 && std::memcmp(magic, "\x7f" "ELF", 4) == 0;
  bool denied = sharing::DeleteDenied(fd);
  ::close(fd);
  if (elf && sharing::IsRunningImage(st)) return !Fail(kErrorAccessDenied);
  return denied ? !Fail(kErrorSharingViolation) : false;
}

class LocalOpenFile : public OpenFile {
 public:
  LocalOpenFile(int fd, uint32_t access)
      : fd_(fd),
        rights_(sharing::RightsOf(access)),
        append_only_((access & kFileAppendData) != 0 &&
                     (access & (kFileWriteData | kGenericWrite | kGenericAll)) == 0),
        write_attributes_(rights_.write || (access & kFileWriteAttributes) != 0) {}
  ~LocalOpenFile() override { ::close(fd_); }

  bool Read(void* buffer, uint32_t size, uint32_t* read) override {
    if (!rights_.read) return Fail(kErrorAccessDenied);
    ssize_t n;
    do {
      n = ::read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return FailErrno(errno);
    *read = static_cast<uint32_t>(n);
    return true;
  }

  bool Write(const void* data, uint32_t size, uint32_t* written) override {
    if (!rights_.write) return Fail(kErrorAccessDenied);
    if (append_only_ && ::lseek(fd_, 0, SEEK_END) < 0) return FailErrno(errno);
    const char* p = static_cast<const char*>(data);
    uint32_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, p + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return FailErrno(errno);
      }
      done += static_cast<uint32_t>(n);
    }
    *written = done;
    return true;
  }

  bool Flush() override {
    if (!rights_.write) return Fail(kErrorAccessDenied);
    if (::fdatasync(fd_) != 0) return FailErrno(errno);
    return true;
  }

  bool Seek(int64_t offset, SeekOrigin origin, uint64_t* position) override {
    int64_t base;
    switch (origin) {
      case kSeekBegin:
        base = 0;
        break;
      case kSeekCurrent:
        base = ::lseek(fd_, 0, SEEK_CUR);
        break;
      case kSeekEnd: {
        struct stat st;
        if (::fstat(fd_, &st) != 0) return FailErrno(errno);
        base = st.st_size;
        break;
      }
      default:
        return Fail(kErrorInvalidParameter);
    }
    if (base < 0) return FailErrno(errno);
    if ((offset < 0 && base + offset < 0)) return Fail(kErrorNegativeSeek);
    if (offset > 0 && base > INT64_MAX - offset) return Fail(kErrorInvalidParameter);
    off_t now = ::lseek(fd_, static_cast<off_t>(base + offset), SEEK_SET);
    if (now < 0) return FailErrno(errno);
    if (position) *position = static_cast<uint64_t>(now);
    return true;
  }

  bool GetSize(uint64_t* size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return FailErrno(errno);
    *size = static_cast<uint64_t>(st.st_size);
    return true;
  }

  bool SetEndOfFile() override {
    if (!rights_.write) return Fail(kErrorAccessDenied);
    off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    if (pos < 0 || ::ftruncate(fd_, pos) != 0) return FailErrno(errno);
    return true;
  }

  bool GetTimes(FileTimes* times) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return FailErrno(errno);
    FillTimes(st, attrs::CreationTime(fd_), times);
    return true;
  }

  bool SetTimes(const FileTimes& times) override {
    if (!write_attributes_) return Fail(kErrorAccessDenied);
    struct timespec ts[2];
    ts[0] = times.last_access ? ToTimespec(times.last_access) : timespec{0, UTIME_OMIT};
    ts[1] = times.last_write ? ToTimespec(times.last_write) : timespec{0, UTIME_OMIT};
    if ((times.last_access || times.last_write) && ::futimens(fd_, ts) != 0) return FailErrno(errno);
    if (times.creation && !attrs::WriteCreationTime(fd_, times.creation)) return false;
    return true;
  }

 private:
  int fd_;
  sharing::Rights rights_;
  bool append_only_;
  bool write_attributes_;
};

// A directory search's results, taken when the search starts.
class LocalFind : public FindFile::Impl {
 public:
  explicit LocalFind(std::vector<FindData> rest) : rest_(std::move(rest)) {}
  bool Next(FindData* data) override {
    if (next_ >= rest_.size()) return Fail(kErrorNoMoreFiles);
    *data = rest_[next_++];
    return true;
  }

 private:
  std::vector<FindData> rest_;
  size_t next_ = 0;
};

bool Describe(const std::string& real, const std::string& name, FindData* out) {
  struct stat st;
  if (::stat(real.c_str(), &st) != 0 && ::lstat(real.c_str(), &st) != 0) return false;
  out->name = name;
  out->attributes = attrs::Read(real, st);
  out->size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  FillTimes(st, attrs::CreationTime(real), &out->times);
  return true;
}

// The names of a folder with the short name each one has ("" for names
// that are valid short names already), in a stable order.
std::vector<std::pair<std::string, std::string>> ListFolder(DIR* d) {
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    names.push_back(std::move(n));
  }
  std::sort(names.begin(), names.end());
  // Ordinals count names of the same short-name stem in this order, which
  // is how the path resolver finds a short name's long name.
  std::map<std::string, int> ordinals;
  std::vector<std::pair<std::string, std::string>> out;
  out.reserve(names.size());
  for (auto& n : names) {
    // Valid short names come back from ShortName as themselves.
    std::string stem = ShortName(n, 1);
    std::string short_name;
    if (!EqualsIgnoreCase(stem, n)) short_name = ShortName(n, ++ordinals[stem]);
    out.emplace_back(std::move(n), std::move(short_name));
  }
  // NTFS lists names in the order of their upper-case forms ("B" before "_a").
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return ToUpperAscii(a.first) < ToUpperAscii(b.first);
  });
  return out;
}

bool HasWildcards(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

bool CopyLocalFile(const std::string& from, const std::string& to);

class LocalFs : public FileSystem {
 public:
  std::unique_ptr<OpenFile> Open(const std::string& path, uint32_t access, uint32_t share,
                                 uint32_t disposition, uint32_t attributes) override {
    if (disposition < kCreateNew || disposition > kTruncateExisting) {
      Fail(kErrorInvalidParameter);
      return nullptr;
    }
    sharing::Rights rights = sharing::RightsOf(access);
    if (disposition == kTruncateExisting && !rights.write) {
      Fail(kErrorInvalidParameter);
      return nullptr;
    }
    std::string real;
    if (!Resolve(path, &real)) return nullptr;
    sharing::HostLock lock;
    struct stat st;
    if (::stat(real.c_str(), &st) == 0) return OpenExisting(real, st, rights, access, share,
                                                            disposition, attributes);
    int err = errno;
    if (err != ENOENT || disposition == kOpenExisting || disposition == kTruncateExisting) {
      FailMissing(real, err);
      return nullptr;
    }
    if (!IsFolder(ParentOf(real))) {
      Fail(kErrorPathNotFound);
      return nullptr;
    }
    int fd = ::open(real.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
      Fail(errno == EEXIST ? kErrorFileExists : ErrorFromErrno(errno));
      return nullptr;
    }
    uint32_t extra = attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem);
    if (!sharing::Acquire(fd, rights, share) ||
        (extra && (::fstat(fd, &st) != 0 || !attrs::Write(real, st, extra | kAttrArchive)))) {
      uint32_t code = GetLastError();
      ::close(fd);
      ::unlink(real.c_str());
      Fail(code);
      return nullptr;
    }
    if (disposition == kOpenAlways || disposition == kCreateAlways) SetLastError(kErrorSuccess);
    return std::make_unique<LocalOpenFile>(fd, access);
  }

  bool Delete(const std::string& path) override {
    std::string real;
    if (!Resolve(path, &real)) return false;
    sharing::HostLock lock;
    struct stat st;
    if (::lstat(real.c_str(), &st) != 0) return FailMissing(real, errno);
    if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);
    if (!S_ISLNK(st.st_mode)) {
      if (ReadOnly(real, st)) return Fail(kErrorAccessDenied);
      if (InUse(real, st)) return false;
    }
    if (::unlink(real.c_str()) != 0) return FailErrno(errno);
    return true;
  }

  bool Move(const std::string& from, const std::string& to, bool replace) override {
    std::string src, dst;
    WindowsPath dst_path;
    if (!Resolve(from, &src) || !Resolve(to, &dst, &dst_path)) return false;
    sharing::HostLock lock;
    struct stat ss;
    if (::lstat(src.c_str(), &ss) != 0) return FailMissing(src, errno);
    bool src_dir = S_ISDIR(ss.st_mode);
    if (InUse(src, ss)) return false;
    struct stat ts;
    if (::lstat(dst.c_str(), &ts) == 0) {
      if (ts.st_dev == ss.st_dev && ts.st_ino == ss.st_ino) {
        // The same entry: only the letter case of its name may change.
        if (dst_path.components.empty()) return true;
        std::string renamed = ParentOf(dst) + "/" + dst_path.components.back();
        if (renamed != src && ::rename(src.c_str(), renamed.c_str()) != 0) return FailErrno(errno);
        return true;
      }
      if (!replace) return Fail(kErrorAlreadyExists);
      if (S_ISDIR(ts.st_mode) || src_dir) return Fail(kErrorAccessDenied);
      if (ReadOnly(dst, ts)) return Fail(kErrorAccessDenied);
      if (InUse(dst, ts)) return false;
    } else if (errno != ENOENT || !IsFolder(ParentOf(dst))) {
      return Fail(kErrorPathNotFound);
    }
    if (src_dir && dst.size() > src.size() && dst.compare(0, src.size(), src) == 0 &&
        dst[src.size()] == '/') {
      return Fail(kErrorSharingViolation);  // a folder into itself
    }
    if (::rename(src.c_str(), dst.c_str()) == 0) return true;
    if (errno != EXDEV) return FailErrno(errno);
    // Another real file system: files are copied and deleted, as across
    // volumes on Windows; folders cannot move there.
    if (src_dir) return Fail(kErrorNotSameDevice);
    if (!CopyLocalFile(src, dst)) return false;
    if (::unlink(src.c_str()) != 0) return FailErrno(errno);
    return true;
  }

  bool Copy(const std::string& from, const std::string& to, bool fail_if_exists) override {
    File in;
    if (!in.Open(from, kGenericRead, kShareAll, kOpenExisting)) return false;
    uint32_t src_attrs = GetFileAttributes(from);
    FileTimes times;
    if (src_attrs == kInvalidFileAttributes || !in.GetTimes(&times)) return false;
    uint32_t kept = src_attrs & (kAttrReadOnly | kAttrHidden | kAttrSystem);
    File out;
    if (!out.Open(to, kGenericWrite, kShareNone, fail_if_exists ? kCreateNew : kCreateAlways,
                  kept | kAttrArchive)) {
      return false;
    }
    std::string buffer(64 * 1024, '\0');
    for (;;) {
      uint32_t got = 0, put = 0;
      bool ok = in.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &got);
      if (ok && got == 0) break;
      if (!ok || !out.Write(buffer.data(), got, &put)) {
        // Like CopyFile, leave no partial copy behind.
        uint32_t code = GetLastError();
        out.Close();
        SetFileAttributes(to, kAttrNormal);
        DeleteFile(to);
        return Fail(code);
      }
    }
    FileTimes keep;
    keep.last_write = times.last_write;
    if (!out.SetTimes(keep)) return false;
    return true;
  }

  bool CreateDirectory(const std::string& path) override {
    std::string real;
    if (!Resolve(path, &real)) return false;
    struct stat st;
    if (::lstat(real.c_str(), &st) == 0) return Fail(kErrorAlreadyExists);
    if (::mkdir(real.c_str(), 0777) != 0) {
      int err = errno;
      if (err == ENOENT || err == ENOTDIR) return Fail(kErrorPathNotFound);
      return FailErrno(err);
    }
    return true;
  }

  bool RemoveDirectory(const std::string& path) override {
    std::string real;
    if (!Resolve(path, &real)) return false;
    struct stat st;
    if (::lstat(real.c_str(), &st) != 0) return FailMissing(real, errno);
    if (!S_ISDIR(st.st_mode)) return Fail(kErrorDirectory);
    if (ReadOnly(real, st)) return Fail(kErrorAccessDenied);
    if (::rmdir(real.c_str()) != 0) {
      int err = errno;
      if (err == ENOTEMPTY || err == EEXIST) return Fail(kErrorDirNotEmpty);
      return FailErrno(err);
    }
    return true;
  }

  uint32_t GetAttributes(const std::string& path) override {
    std::string real;
    if (!Resolve(path, &real)) return kInvalidFileAttributes;
    struct stat st;
    if (::stat(real.c_str(), &st) != 0) {
      FailMissing(real, errno);
      return kInvalidFileAttributes;
    }
    return attrs::Read(real, st);
  }

  bool SetAttributes(const std::string& path, uint32_t attributes) override {
    std::string real;
    if (!Resolve(path, &real)) return false;
    struct stat st;
    if (::stat(real.c_str(), &st) != 0) return FailMissing(real, errno);
    return attrs::Write(real, st, attributes);
  }

  std::unique_ptr<FindFile::Impl> FindFirst(const std::string& pattern, FindData* first) override {
    Host* host = Host::Current();
    if (!host) {
      Fail(kErrorPathNotFound);
      return nullptr;
    }
    WindowsPath wp = ParseWindowsPath(pattern, true);
    if (wp.kind != PathKind::kLocal) {
      Fail(kErrorInvalidName);
      return nullptr;
    }
    if (wp.components.empty()) {
      Fail(kErrorFileNotFound);
      return nullptr;
    }
    std::string spec = wp.components.back();
    wp.components.pop_back();
    bool in_root = wp.components.empty();
    for (const auto& c : wp.components) {
      if (HasWildcards(c)) {
        Fail(kErrorInvalidName);
        return nullptr;
      }
    }
    std::string folder;
    if (!ResolvePath(*host, wp, &folder)) return nullptr;
    DIR* d = ::opendir(folder.c_str());
    if (!d) {
      Fail(errno == ENOTDIR || errno == ENOENT ? kErrorPathNotFound : ErrorFromErrno(errno));
      return nullptr;
    }
    auto entries = ListFolder(d);
    ::closedir(d);
    // Short names match only a name written out in full (the resolver's
    // rule), so "*.htm" does not find "x.html" through "X~1.HTM".
    bool literal = !HasWildcards(spec);
    std::vector<FindData> found;
    if (!in_root) {
      for (const char* dot : {".", ".."}) {
        FindData fd;
        if (WildcardMatch(spec, dot) && Describe(std::string(dot) == "." ? folder : ParentOf(folder),
                                                 dot, &fd)) {
          found.push_back(std::move(fd));
        }
      }
    }
    for (const auto& [name, short_name] : entries) {
      if (!WildcardMatch(spec, name) && !(literal && !short_name.empty() &&
                                          EqualsIgnoreCase(spec, short_name))) {
        continue;
      }
      FindData fd;
      if (!Describe(folder + "/" + name, name, &fd)) continue;
      fd.short_name = short_name;
      found.push_back(std::move(fd));
    }
    if (found.empty()) {
      Fail(kErrorFileNotFound);
      return nullptr;
    }
    *first = std::move(found.front());
    found.erase(found.begin());
    return std::make_unique<LocalFind>(std::move(found));
  }

 private:
  std::unique_ptr<OpenFile> OpenExisting(const std::string& real, const struct stat& st,
                                         const sharing::Rights& rights, uint32_t access,
                                         uint32_t share, uint32_t disposition,
                                         uint32_t attributes) {
    if (disposition == kCreateNew) {
      Fail(kErrorFileExists);
      return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
      Fail(kErrorAccessDenied);
      return nullptr;
    }
    bool overwrite = disposition == kCreateAlways;
    bool truncate = overwrite || disposition == kTruncateExisting;
    uint32_t current = attrs::Read(real, st);
    uint32_t wanted = (attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem)) | kAttrArchive;
    if (((rights.write || truncate) && (current & kAttrReadOnly)) ||
        (overwrite && (current & (kAttrHidden | kAttrSystem) & ~wanted))) {
      Fail(kErrorAccessDenied);
      return nullptr;
    }
    int flags = (rights.write || truncate) ? O_RDWR : O_RDONLY;
    int fd = ::open(real.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      FailMissing(real, errno);
      return nullptr;
    }
    // O_NONBLOCK only kept a stray FIFO from hanging the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    struct stat now;
    if (::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode)) {
      ::close(fd);
      Fail(kErrorAccessDenied);
      return nullptr;
    }
    if (!sharing::Acquire(fd, rights, share)) {
      ::close(fd);
      return nullptr;
    }
    if ((truncate && ::ftruncate(fd, 0) != 0)) {
      FailErrno(errno);
      ::close(fd);
      return nullptr;
    }
    if (overwrite && (current & attrs::kStoredBits) != wanted && !attrs::Write(real, now, wanted)) {
      ::close(fd);
      return nullptr;
    }
    if (disposition == kOpenAlways || disposition == kCreateAlways) {
      SetLastError(kErrorAlreadyExists);
    }
    return std::make_unique<LocalOpenFile>(fd, access);
  }
};

// Copies a real file to a real path on another file system, with its
// attributes and times (a move across file systems).
bool CopyLocalFile(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return FailErrno(errno);
  struct stat st;
  if (::fstat(in, &st) != 0) {
    int err = errno;
    ::close(in);
    return FailErrno(err);
  }
  uint32_t attributes = attrs::Read(from, st);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) {
    int err = errno;
    ::close(in);
    return FailErrno(err);
  }
  char buf[64 * 1024];
  bool ok = true;
  int err = 0;
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      err = errno;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = ::write(out, buf + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        ok = false;
        err = errno;
      } else {
        done += w;
      }
    }
    if (!ok) break;
  }
  struct timespec ts[2] = {st.st_atim, st.st_mtim};
  if (ok) ::futimens(out, ts);
  ::close(in);
  ::close(out);
  if (!ok) {
    ::unlink(to.c_str());
    return FailErrno(err);
  }
  struct stat ost;
  if (::stat(to.c_str(), &ost) == 0) attrs::Write(to, ost, attributes);
  return true;
}

}  // namespace

FileSystem* LocalFileSystem() {
  static LocalFs* fs = new LocalFs();  // never destroyed: used until exit
  return fs;
}

}  // namespace platform
