// Files and folders of the current host, addressed by Windows paths.
//
// The semantics are those the programs rely on: sharing modes are enforced
// between every opener on the host (any process), a read-only file refuses
// writes and deletion (5), a file held open without delete sharing refuses
// deletion and renaming (32), the image of a running program refuses
// deletion and renaming (5, as deleting a running program does on Windows),
// folder and file names are looked up without regard to case, attributes
// (READONLY, HIDDEN, SYSTEM, ARCHIVE) are kept beside the file. How the
// attributes and the sharing state are kept on disk is described in
// docs/formats/file-attributes.md.
//
// Every operation that fails returns false (or the invalid value stated)
// and sets the thread's last error; out-parameters are left untouched on
// failure. UNC paths ("\\HOST\ADMIN$\...") go to the file system registered
// for remote shares (see RegisterRemoteFileSystem).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Access rights (CreateFileA dwDesiredAccess).
enum FileAccess : uint32_t {
  kGenericRead = 0x80000000u,
  kGenericWrite = 0x40000000u,
  kGenericExecute = 0x20000000u,
  kGenericAll = 0x10000000u,
  kFileReadData = 0x0001,
  kFileWriteData = 0x0002,
  kFileAppendData = 0x0004,
  kFileReadAttributes = 0x0080,
  kFileWriteAttributes = 0x0100,
  kDeleteAccess = 0x00010000u,
};

// Sharing modes (dwShareMode).
enum FileShare : uint32_t {
  kShareNone = 0,
  kShareRead = 1,
  kShareWrite = 2,
  kShareDelete = 4,
  kShareAll = 7,
};

// Creation dispositions.
enum FileDisposition : uint32_t {
  kCreateNew = 1,
  kCreateAlways = 2,
  kOpenExisting = 3,
  kOpenAlways = 4,
  kTruncateExisting = 5,
};

// Attributes.
enum FileAttribute : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
};
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;

enum SeekOrigin : uint32_t { kSeekBegin = 0, kSeekCurrent = 1, kSeekEnd = 2 };

// 100-ns intervals since 1601-01-01 UTC, as FILETIME holds them.
using FileTime = uint64_t;
FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds = 0);
int64_t UnixFromFileTime(FileTime ft);

struct FileTimes {
  FileTime creation = 0;
  FileTime last_access = 0;
  FileTime last_write = 0;
};

// One entry of a directory search (WIN32_FIND_DATAA).
struct FindData {
  std::string name;            // stored name
  std::string short_name;      // 8.3 name when it differs, else empty
  uint32_t attributes = 0;
  uint64_t size = 0;
  FileTimes times;
};

// An open file. Implementations: local files, files on a remote share.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  virtual bool Read(void* buffer, uint32_t size, uint32_t* read) = 0;
  virtual bool Write(const void* data, uint32_t size, uint32_t* written) = 0;
  virtual bool Flush() = 0;
  virtual bool Seek(int64_t offset, SeekOrigin origin, uint64_t* position) = 0;
  virtual bool GetSize(uint64_t* size) = 0;
  virtual bool SetEndOfFile() = 0;
  virtual bool GetTimes(FileTimes* times) = 0;
  virtual bool SetTimes(const FileTimes& times) = 0;
};

// RAII file handle (CreateFileA / ReadFile / WriteFile / CloseHandle).
class File {
 public:
  File();
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // CreateFileA. Closes what this object held first. Fails with 2 or 3 for
  // missing files or folders, 80 for kCreateNew on an existing file, 5 for
  // a folder, for a read-only file opened for writing or truncation, and
  // for kCreateAlways over a hidden or system file when `attributes` lack
  // those bits; 32 when the sharing modes of other openers refuse the
  // access or this `share` refuses an access another opener holds; 87 for
  // an unknown disposition or kTruncateExisting without write access.
  // kOpenAlways and kCreateAlways set the last error to 183 when the file
  // existed and to 0 when they created it. A new or overwritten file gets
  // `attributes` plus ARCHIVE. Pipe paths go to the pipe file system
  // (RegisterPipeFileSystem).
  bool Open(std::string_view path, uint32_t access, uint32_t share,
            uint32_t disposition, uint32_t attributes = kAttrNormal);
  bool IsValid() const { return impl_ != nullptr; }
  void Close();

  // ReadFile: true with *read == 0 at the end of the file; 5 without read
  // access. WriteFile: 5 without write access; with append access only,
  // every write goes to the end. 6 on a closed handle.
  bool Read(void* buffer, uint32_t size, uint32_t* read);
  bool Write(const void* data, uint32_t size, uint32_t* written);
  bool Flush();
  // 131 when the new position would be negative.
  bool Seek(int64_t offset, SeekOrigin origin, uint64_t* position = nullptr);
  bool GetSize(uint64_t* size);
  // Cuts or extends the file at the current position (needs write access).
  bool SetEndOfFile();
  bool GetTimes(FileTimes* times);
  // A zero member leaves that time unchanged (as a null FILETIME pointer).
  bool SetTimes(const FileTimes& times);

  // Whole-buffer helpers over Read/Write (loop until done or error).
  bool ReadAll(std::string* out);
  bool WriteAll(std::string_view data);

  // For file systems that construct their own handles.
  explicit File(std::unique_ptr<OpenFile> impl);

 private:
  std::unique_ptr<OpenFile> impl_;
};

// DeleteFileA: 2 or 3 when missing, 5 for a folder, a read-only file or
// the image of a running program, 32 while an opener does not share delete.
bool DeleteFile(std::string_view path);
// MoveFileA: fails with 183 when the target exists. Works for folders. The
// source refuses like DeleteFile does (read-only files may be renamed); a
// folder refuses while a running program's image lies inside it (5) or a
// file inside it is open without delete sharing (32). Letter case alone
// may change. Across real file systems a file is copied and deleted, a
// folder fails with 17.
bool MoveFile(std::string_view from, std::string_view to);
// MoveFileExA with MOVEFILE_REPLACE_EXISTING semantics when `replace`: an
// existing target file is replaced unless it refuses deletion (5, 32); an
// existing target folder refuses (5).
bool MoveFileEx(std::string_view from, std::string_view to, bool replace);
// CopyFileA: fails with 80 when `fail_if_exists` and the target exists,
// with 5 when the target is read-only or a folder, 32 when an opener of the
// source denies reading or an opener of the target holds it. Copies the
// attributes (plus ARCHIVE) and the last write time.
bool CopyFile(std::string_view from, std::string_view to, bool fail_if_exists);
bool CreateDirectory(std::string_view path);   // 183 when it exists, 3 without parent
// 145 when not empty, 267 for a file, 5 when read-only.
bool RemoveDirectory(std::string_view path);
uint32_t GetFileAttributes(std::string_view path);  // kInvalidFileAttributes on failure
// READONLY, HIDDEN, SYSTEM and ARCHIVE are kept; 0 or NORMAL clears them.
bool SetFileAttributes(std::string_view path, uint32_t attributes);
bool PathIsDirectory(std::string_view path);
bool PathFileExists(std::string_view path);

// Directory search (FindFirstFileA / FindNextFileA / FindClose). The last
// path component may hold wildcards; "." and ".." are reported for folders
// like Windows does.
class FindFile {
 public:
  FindFile();
  ~FindFile();
  FindFile(FindFile&&) noexcept;
  FindFile& operator=(FindFile&&) noexcept;
  // False with 2 (no match) or 3 (no folder).
  bool First(std::string_view pattern, FindData* data);
  // False with 18 at the end.
  bool Next(FindData* data);
  void Close();

  class Impl {
   public:
    virtual ~Impl() = default;
    virtual bool Next(FindData* data) = 0;
  };

 private:
  std::unique_ptr<Impl> impl_;
};

// Reads or writes a whole file. Reading shares read and write with other
// openers; writing shares read, creates a missing file and replaces the
// content of an existing one, keeping its attributes (a read-only file
// refuses with 5).
bool ReadFileToString(std::string_view path, std::string* out);
bool WriteStringToFile(std::string_view path, std::string_view data);

// The operations above for one kind of path; the local host's files are one
// implementation, the remote share client another. Paths are Windows paths
// as the caller wrote them. Copy is asked of the target's file system; it
// reads the source through File, so the source may be of another kind.
// Failures set the last error like the free functions above.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual std::unique_ptr<OpenFile> Open(const std::string& path, uint32_t access,
                                         uint32_t share, uint32_t disposition,
                                         uint32_t attributes) = 0;
  virtual bool Delete(const std::string& path) = 0;
  virtual bool Move(const std::string& from, const std::string& to, bool replace) = 0;
  virtual bool Copy(const std::string& from, const std::string& to, bool fail_if_exists) = 0;
  virtual bool CreateDirectory(const std::string& path) = 0;
  virtual bool RemoveDirectory(const std::string& path) = 0;
  virtual uint32_t GetAttributes(const std::string& path) = 0;
  virtual bool SetAttributes(const std::string& path, uint32_t attributes) = 0;
  virtual std::unique_ptr<FindFile::Impl> FindFirst(const std::string& pattern,
                                                    FindData* first) = 0;
};

// The local host's files (Windows paths of the current host). Callers that
// serve files to others (the share server) use it directly.
FileSystem* LocalFileSystem();

// Installs the file system for UNC paths (the share client does this);
// without one, UNC paths fail with 53. Null uninstalls.
void RegisterRemoteFileSystem(FileSystem* fs);

// Installs what File::Open uses for "\\.\pipe\" and "\\HOST\pipe\"
// paths (the named-pipe client does this, through FileSystem::Open only);
// without one, local pipe paths fail with 2 and remote ones with 53.
void RegisterPipeFileSystem(FileSystem* fs);

}  // namespace platform
