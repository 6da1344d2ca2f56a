// Sharing modes between the openers of a local file, across processes, and
// the "in use" tests of deletion and renaming.
//
// Every opener with data access holds shared open-file-description locks
// on one byte per access right it holds and one byte per sharing right it
// denies, far beyond any real file size (see docs/formats/file-attributes.md).
// Such locks belong to the opener's descriptor: they vanish when it is
// closed or its process dies, so a crashed program never leaves a file
// locked. Checks and takes happen under HostLock so that two openers cannot
// both pass the check before either takes its locks.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace platform::file_sharing {

// Host-wide lock over the check-and-take of sharing locks (an exclusive
// flock on <root>/run/files.lock, held for the object's lifetime). Without
// a current host, or when the file cannot be opened, it holds nothing.
class HostLock {
 public:
  HostLock();
  ~HostLock();
  HostLock(const HostLock&) = delete;
  HostLock& operator=(const HostLock&) = delete;

 private:
  int fd_ = -1;
};

// The rights that sharing modes govern, derived from an access mask.
struct Rights {
  bool read = false;
  bool write = false;
  bool del = false;
  bool any() const { return read || write || del; }
};
Rights RightsOf(uint32_t access);

// Checks the access and sharing of a new opener against the file's other
// openers and, when they agree, takes the opener's locks on `fd` (a
// descriptor of the file opened for reading, which the opener keeps).
// False with 32 on a conflict. Call under HostLock.
bool Acquire(int fd, const Rights& access, uint32_t share);

// True when some opener of the file behind `fd` does not share delete
// (deleting or renaming it would be a sharing violation). `fd` must be a
// descriptor that holds no sharing locks itself.
bool DeleteDenied(int fd);

// True when a running process's image is the file with `st`'s device and
// inode.
bool IsRunningImage(const struct stat& st);

// True when a running process's image lies inside the real folder `dir`.
bool HoldsRunningImage(const std::string& dir);

// True when some file inside the real folder `dir` (searched to a bounded
// depth) is open without delete sharing.
bool HoldsUndeletableFile(const std::string& dir);

}  // namespace platform::file_sharing
