// File handles, directory searches and the free file functions: each call
// goes to the file system that serves its path's kind.
#include "platform/file.h"

#include <atomic>

#include "platform/error.h"
#include "platform/path.h"

namespace platform {
namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDelta = 11644473600LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

std::atomic<FileSystem*> g_remote{nullptr};
std::atomic<FileSystem*> g_pipe{nullptr};

// The file system for `path`; null with the last error set when none
// serves it.
FileSystem* Route(std::string_view path) {
  WindowsPath wp = ParseWindowsPath(path, true);
  switch (wp.kind) {
    case PathKind::kLocal:
      return LocalFileSystem();
    case PathKind::kUnc:
      if (FileSystem* fs = g_remote.load()) return fs;
      Fail(kErrorBadNetPath);
      return nullptr;
    case PathKind::kLocalPipe:
    case PathKind::kRemotePipe:
      if (FileSystem* fs = g_pipe.load()) return fs;
      Fail(wp.kind == PathKind::kLocalPipe ? kErrorFileNotFound : kErrorBadNetPath);
      return nullptr;
    case PathKind::kInvalid:
      break;
  }
  Fail(kErrorInvalidName);
  return nullptr;
}

bool SameFileSystem(std::string_view a, std::string_view b) {
  return ParseWindowsPath(a, true).kind == ParseWindowsPath(b, true).kind;
}

}  // namespace

FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  if (seconds < -kEpochDelta) return 0;
  return static_cast<FileTime>(seconds + kEpochDelta) * kTicksPerSecond +
         static_cast<FileTime>(nanoseconds / 100);
}

int64_t UnixFromFileTime(FileTime ft) {
  return static_cast<int64_t>(ft / kTicksPerSecond) - kEpochDelta;
}

// --- File ---

File::File() = default;
File::~File() = default;
File::File(File&& other) noexcept = default;
File& File::operator=(File&& other) noexcept = default;
File::File(std::unique_ptr<OpenFile> impl) : impl_(std::move(impl)) {}

bool File::Open(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition,
                uint32_t attributes) {
  Close();
  FileSystem* fs = Route(path);
  if (!fs) return false;
  impl_ = fs->Open(std::string(path), access, share, disposition, attributes);
  return impl_ != nullptr;
}

void File::Close() { impl_.reset(); }

bool File::Read(void* buffer, uint32_t size, uint32_t* read) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  uint32_t n = 0;
  if (!impl_->Read(buffer, size, &n)) return false;
  *read = n;
  return true;
}

bool File::Write(const void* data, uint32_t size, uint32_t* written) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  uint32_t n = 0;
  if (!impl_->Write(data, size, &n)) return false;
  *written = n;
  return true;
}

bool File::Flush() { return impl_ ? impl_->Flush() : Fail(kErrorInvalidHandle); }

bool File::Seek(int64_t offset, SeekOrigin origin, uint64_t* position) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  uint64_t pos = 0;
  if (!impl_->Seek(offset, origin, &pos)) return false;
  if (position) *position = pos;
  return true;
}

bool File::GetSize(uint64_t* size) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  uint64_t n = 0;
  if (!impl_->GetSize(&n)) return false;
  *size = n;
  return true;
}

bool File::SetEndOfFile() { return impl_ ? impl_->SetEndOfFile() : Fail(kErrorInvalidHandle); }

bool File::GetTimes(FileTimes* times) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  FileTimes t;
  if (!impl_->GetTimes(&t)) return false;
  *times = t;
  return true;
}

bool File::SetTimes(const FileTimes& times) {
  return impl_ ? impl_->SetTimes(times) : Fail(kErrorInvalidHandle);
}

bool File::ReadAll(std::string* out) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  std::string data;
  char buf[64 * 1024];
  for (;;) {
    uint32_t n = 0;
    if (!impl_->Read(buf, sizeof buf, &n)) return false;
    if (n == 0) break;
    data.append(buf, n);
  }
  *out = std::move(data);
  return true;
}

bool File::WriteAll(std::string_view data) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  while (!data.empty()) {
    uint32_t chunk = data.size() > (1u << 30) ? (1u << 30) : static_cast<uint32_t>(data.size());
    uint32_t n = 0;
    if (!impl_->Write(data.data(), chunk, &n)) return false;
    if (n == 0) return Fail(kErrorWriteFault);
    data.remove_prefix(n);
  }
  return true;
}

// --- Free functions ---

bool DeleteFile(std::string_view path) {
  FileSystem* fs = Route(path);
  return fs && fs->Delete(std::string(path));
}

bool MoveFileEx(std::string_view from, std::string_view to, bool replace) {
  if (SameFileSystem(from, to)) {
    FileSystem* fs = Route(from);
    return fs && fs->Move(std::string(from), std::string(to), replace);
  }
  // Between the local host and a share: files are copied and then deleted,
  // as between volumes; folders cannot move.
  uint32_t attributes = GetFileAttributes(from);
  if (attributes == kInvalidFileAttributes) return false;
  if (attributes & kAttrDirectory) return Fail(kErrorNotSameDevice);
  if (!CopyFile(from, to, !replace)) return false;
  return DeleteFile(from);
}

bool MoveFile(std::string_view from, std::string_view to) { return MoveFileEx(from, to, false); }

bool CopyFile(std::string_view from, std::string_view to, bool fail_if_exists) {
  // The target's file system copies; it reads the source through File.
  FileSystem* fs = Route(to);
  return fs && fs->Copy(std::string(from), std::string(to), fail_if_exists);
}

bool CreateDirectory(std::string_view path) {
  FileSystem* fs = Route(path);
  return fs && fs->CreateDirectory(std::string(path));
}

bool RemoveDirectory(std::string_view path) {
  FileSystem* fs = Route(path);
  return fs && fs->RemoveDirectory(std::string(path));
}

uint32_t GetFileAttributes(std::string_view path) {
  FileSystem* fs = Route(path);
  return fs ? fs->GetAttributes(std::string(path)) : kInvalidFileAttributes;
}

bool SetFileAttributes(std::string_view path, uint32_t attributes) {
  FileSystem* fs = Route(path);
  return fs && fs->SetAttributes(std::string(path), attributes);
}

bool PathIsDirectory(std::string_view path) {
  uint32_t a = GetFileAttributes(path);
  return a != kInvalidFileAttributes && (a & kAttrDirectory) != 0;
}

bool PathFileExists(std::string_view path) { return GetFileAttributes(path) != kInvalidFileAttributes; }

bool ReadFileToString(std::string_view path, std::string* out) {
  File f;
  return f.Open(path, kGenericRead, kShareRead | kShareWrite, kOpenExisting) && f.ReadAll(out);
}

bool WriteStringToFile(std::string_view path, std::string_view data) {
  // Rewritten in place rather than overwritten (kCreateAlways), so that an
  // existing hidden or system file keeps its attributes instead of refusing.
  File f;
  return f.Open(path, kGenericWrite, kShareRead, kOpenAlways) && f.WriteAll(data) &&
         f.SetEndOfFile();
}

void RegisterRemoteFileSystem(FileSystem* fs) { g_remote.store(fs); }
void RegisterPipeFileSystem(FileSystem* fs) { g_pipe.store(fs); }

// --- FindFile ---

FindFile::FindFile() = default;
FindFile::~FindFile() = default;
FindFile::FindFile(FindFile&&) noexcept = default;
FindFile& FindFile::operator=(FindFile&&) noexcept = default;

bool FindFile::First(std::string_view pattern, FindData* data) {
  Close();
  FileSystem* fs = Route(pattern);
  if (!fs) return false;
  FindData first;
  impl_ = fs->FindFirst(std::string(pattern), &first);
  if (!impl_) return false;
  *data = std::move(first);
  return true;
}

bool FindFile::Next(FindData* data) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  FindData next;
  if (!impl_->Next(&next)) return false;
  *data = std::move(next);
  return true;
}

void FindFile::Close() { impl_.reset(); }

}  // namespace platform
