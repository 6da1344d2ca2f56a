#include "platform/file_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/error.h"

namespace platform::file_attributes {
namespace {

constexpr char kAttrsName[] = "user.vx.attrs";
constexpr char kCreationName[] = "user.vx.ctime";

std::atomic<bool> g_xattrs_disabled{false};

bool NoXattrSupport(int err) { return err == ENOTSUP || err == EOPNOTSUPP; }

// Reads the stored bits; false when none are stored (or they are unreadable).
bool ReadStored(const std::string& real, uint32_t* bits) {
  if (g_xattrs_disabled) return false;
  unsigned char buf[4];
  ssize_t n = ::getxattr(real.c_str(), kAttrsName, buf, sizeof buf);
  if (n != 4) return false;
  *bits = static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8 |
          static_cast<uint32_t>(buf[2]) << 16 | static_cast<uint32_t>(buf[3]) << 24;
  *bits &= kStoredBits;
  return true;
}

}  // namespace

uint32_t Read(const std::string& real, const struct stat& st) {
  bool dir = S_ISDIR(st.st_mode);
  uint32_t bits = 0;
  if (!ReadStored(real, &bits)) {
    // Nothing recorded: what a Windows file system reports for a file made
    // by someone who never set attributes.
    if (!dir) {
      bits = kAttrArchive;
      if ((st.st_mode & S_IWUSR) == 0) bits |= kAttrReadOnly;
    }
  }
  if (dir) bits |= kAttrDirectory;
  return bits == 0 ? kAttrNormal : bits;
}

bool Write(const std::string& real, const struct stat& st, uint32_t attributes) {
  uint32_t bits = attributes & kStoredBits;
  bool dir = S_ISDIR(st.st_mode);
  // The write bits of a file carry READONLY too, so that it stays read-only
  // for tools that do not know the extended attribute. Setting a user
  // extended attribute needs write permission, so the mode is made
  // read-only after the attribute is written and writable before it.
  mode_t mode = st.st_mode & 07777;
  mode_t want = mode;
  if (!dir) {
    want = (bits & kAttrReadOnly) ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  }
  bool read_only = (bits & kAttrReadOnly) != 0;
  if (!read_only && want != mode && ::chmod(real.c_str(), want) != 0) return FailErrno(errno);
  if (!g_xattrs_disabled) {
    unsigned char buf[4] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                            static_cast<unsigned char>(bits >> 16),
                            static_cast<unsigned char>(bits >> 24)};
    if (::setxattr(real.c_str(), kAttrsName, buf, sizeof buf, 0) != 0) {
      int err = errno;
      // Without extended attributes only READONLY survives (in the mode).
      if (!NoXattrSupport(err)) return FailErrno(err);
    }
  }
  if (read_only && want != mode && ::chmod(real.c_str(), want) != 0) return FailErrno(errno);
  return true;
}

namespace {

FileTime DecodeTime(const unsigned char* buf) {
  FileTime t = 0;
  for (int i = 7; i >= 0; --i) t = t << 8 | buf[i];
  return t;
}

FileTime BirthTime(int dirfd, const char* path, int flags) {
  struct statx sx;
  if (::statx(dirfd, path, flags, STATX_BTIME | STATX_CTIME, &sx) != 0) return 0;
  if (sx.stx_mask & STATX_BTIME) return FileTimeFromUnix(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
  return FileTimeFromUnix(sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec);
}

}  // namespace

FileTime CreationTime(int fd) {
  unsigned char buf[8];
  if (!g_xattrs_disabled && ::fgetxattr(fd, kCreationName, buf, sizeof buf) == 8) return DecodeTime(buf);
  return BirthTime(fd, "", AT_EMPTY_PATH);
}

FileTime CreationTime(const std::string& real) {
  unsigned char buf[8];
  if (!g_xattrs_disabled && ::getxattr(real.c_str(), kCreationName, buf, sizeof buf) == 8) {
    return DecodeTime(buf);
  }
  return BirthTime(AT_FDCWD, real.c_str(), 0);
}

bool WriteCreationTime(int fd, FileTime time) {
  if (g_xattrs_disabled) return Fail(kErrorNotSupported);
  unsigned char buf[8];
  for (int i = 0; i < 8; ++i) buf[i] = static_cast<unsigned char>(time >> (8 * i));
  if (::fsetxattr(fd, kCreationName, buf, sizeof buf, 0) != 0) return FailErrno(errno);
  return true;
}

void DisableExtendedAttributesForTesting(bool disabled) { g_xattrs_disabled = disabled; }

}  // namespace platform::file_attributes
