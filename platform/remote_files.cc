// Files on another host's ADMIN$ share: every operation is a request on
// the shared session with that host; its daemon performs it with the local
// file functions, so results and error codes are those of local files.
#include <sys/stat.h>

#include <deque>
#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/remote_session.h"
#include "platform/share.h"
#include "platform/strings.h"

namespace platform {
namespace {

using remote::Connection;
using remote::WireReader;
using remote::WireWriter;

struct ShareTarget {
  std::string host;
  std::string relative;  // inside the share, backslashes
};

bool ParseTarget(const std::string& path, bool wildcards, ShareTarget* out) {
  WindowsPath wp = ParseWindowsPath(path, wildcards);
  if (wp.kind != PathKind::kUnc) return Fail(kErrorBadNetPath);
  if (!EqualsIgnoreCase(wp.share, "ADMIN$")) return Fail(kErrorBadNetName);
  ShareTarget t;
  t.host = ToUpperAscii(wp.host);
  for (const auto& c : wp.components) t.relative += (t.relative.empty() ? "" : "\\") + c;
  *out = std::move(t);
  return true;
}

std::shared_ptr<Connection> Session(const std::string& host) {
  return remote::Client::Get().Shared(host);
}

// A request on the host's shared session. A session that the host closed
// meanwhile (its idle limit) is replaced once; requests without a handle
// may simply be sent again.
bool CallOn(const std::string& host, const WireWriter& w, std::string* payload,
            std::shared_ptr<Connection>* used = nullptr) {
  std::shared_ptr<Connection> c = Session(host);
  if (!c) return false;
  if (!c->Call(w.data(), payload)) {
    if (!c->broken()) return false;
    c = Session(host);
    if (!c || !c->Call(w.data(), payload)) return false;
  }
  if (used) *used = c;
  return true;
}

class RemoteOpenFile : public OpenFile {
 public:
  RemoteOpenFile(std::shared_ptr<Connection> c, uint32_t handle) : c_(std::move(c)), handle_(handle) {}
  ~RemoteOpenFile() override {
    uint32_t saved = GetLastError();
    WireWriter w;
    w.U8(remote::kOpClose).U32(handle_);
    std::string payload;
    c_->Call(w.data(), &payload);
    SetLastError(saved);
  }

  bool Read(void* buffer, uint32_t size, uint32_t* read) override {
    uint32_t total = 0;
    char* out = static_cast<char*>(buffer);
    while (total < size) {
      uint32_t want = std::min(size - total, remote::kMaxTransfer);
      WireWriter w;
      w.U8(remote::kOpRead).U32(handle_).U32(want);
      std::string payload, data;
      if (!c_->Call(w.data(), &payload)) return false;
      WireReader r(payload);
      if (!r.Str(&data, want)) return Fail(kErrorBadNetResp);
      std::copy(data.begin(), data.end(), out + total);
      total += static_cast<uint32_t>(data.size());
      if (data.size() < want) break;  // end of file
    }
    *read = total;
    return true;
  }

  bool Write(const void* data, uint32_t size, uint32_t* written) override {
    uint32_t total = 0;
    const char* in = static_cast<const char*>(data);
    while (total < size) {
      uint32_t n = std::min(size - total, remote::kMaxTransfer);
      WireWriter w;
      w.U8(remote::kOpWrite).U32(handle_).Str(std::string_view(in + total, n));
      std::string payload;
      if (!c_->Call(w.data(), &payload)) return false;
      WireReader r(payload);
      uint32_t done;
      if (!r.U32(&done) || done > n) return Fail(kErrorBadNetResp);
      total += done;
      if (done < n) break;
    }
    *written = total;
    return true;
  }

  bool Flush() override { return Simple(remote::kOpFlush); }
  bool SetEndOfFile() override { return Simple(remote::kOpSetEnd); }

  bool Seek(int64_t offset, SeekOrigin origin, uint64_t* position) override {
    WireWriter w;
    w.U8(remote::kOpSeek).U32(handle_).I64(offset).U32(origin);
    std::string payload;
    if (!c_->Call(w.data(), &payload)) return false;
    WireReader r(payload);
    uint64_t pos;
    if (!r.U64(&pos)) return Fail(kErrorBadNetResp);
    *position = pos;
    return true;
  }

  bool GetSize(uint64_t* size) override {
    WireWriter w;
    w.U8(remote::kOpGetSize).U32(handle_);
    std::string payload;
    if (!c_->Call(w.data(), &payload)) return false;
    WireReader r(payload);
    uint64_t n;
    if (!r.U64(&n)) return Fail(kErrorBadNetResp);
    *size = n;
    return true;
  }

  bool GetTimes(FileTimes* times) override {
    WireWriter w;
    w.U8(remote::kOpGetTimes).U32(handle_);
    std::string payload;
    if (!c_->Call(w.data(), &payload)) return false;
    WireReader r(payload);
    FileTimes t;
    if (!r.U64(&t.creation) || !r.U64(&t.last_access) || !r.U64(&t.last_write))
      return Fail(kErrorBadNetResp);
    *times = t;
    return true;
  }

  bool SetTimes(const FileTimes& t) override {
    WireWriter w;
    w.U8(remote::kOpSetTimes).U32(handle_).U64(t.creation).U64(t.last_access).U64(t.last_write);
    std::string payload;
    return c_->Call(w.data(), &payload);
  }

 private:
  bool Simple(uint8_t op) {
    WireWriter w;
    w.U8(op).U32(handle_);
    std::string payload;
    return c_->Call(w.data(), &payload);
  }

  std::shared_ptr<Connection> c_;
  uint32_t handle_;
};

// Decodes one batch of search results; `more` is the handle for the next
// batch, 0 when this was the last.
bool DecodeFindBatch(const std::string& payload, uint32_t* more, std::deque<FindData>* out) {
  WireReader r(payload);
  uint32_t handle, count;
  if (!r.U32(&handle) || !r.U32(&count)) return false;
  // Every entry takes at least 44 bytes: never believe a count beyond that.
  if (count > r.remaining() / 44) return false;
  for (uint32_t i = 0; i < count; ++i) {
    FindData d;
    if (!r.Str(&d.name, 1024) || !r.Str(&d.short_name, 64) || !r.U32(&d.attributes) ||
        !r.U64(&d.size) || !r.U64(&d.times.creation) || !r.U64(&d.times.last_access) ||
        !r.U64(&d.times.last_write))
      return false;
    out->push_back(std::move(d));
  }
  *more = handle;
  return r.AtEnd();
}

class RemoteFind : public FindFile::Impl {
 public:
  RemoteFind(std::shared_ptr<Connection> c, uint32_t more, std::deque<FindData> entries)
      : c_(std::move(c)), more_(more), entries_(std::move(entries)) {}

  bool Next(FindData* data) override {
    if (entries_.empty() && more_ != 0) {
      WireWriter w;
      w.U8(remote::kOpFindNext).U32(more_);
      std::string payload;
      more_ = 0;
      if (!c_->Call(w.data(), &payload)) return false;
      if (!DecodeFindBatch(payload, &more_, &entries_)) return Fail(kErrorBadNetResp);
    }
    if (entries_.empty()) return Fail(kErrorNoMoreFiles);
    *data = std::move(entries_.front());
    entries_.pop_front();
    return true;
  }

 private:
  std::shared_ptr<Connection> c_;
  uint32_t more_;
  std::deque<FindData> entries_;
};

class RemoteFileSystem : public FileSystem {
 public:
  std::unique_ptr<OpenFile> Open(const std::string& path, uint32_t access, uint32_t share,
                                 uint32_t disposition, uint32_t attributes) override {
    ShareTarget t;
    if (!ParseTarget(path, false, &t)) return nullptr;
    WireWriter w;
    w.U8(remote::kOpOpen).Str(t.relative).U32(access).U32(share).U32(disposition).U32(attributes);
    std::string payload;
    std::shared_ptr<Connection> c;
    if (!CallOn(t.host, w, &payload, &c)) return nullptr;
    WireReader r(payload);
    uint32_t handle;
    if (!r.U32(&handle)) {
      Fail(kErrorBadNetResp);
      return nullptr;
    }
    return std::make_unique<RemoteOpenFile>(c, handle);
  }

  bool Delete(const std::string& path) override { return PathOp(remote::kOpDelete, path); }
  bool CreateDirectory(const std::string& path) override { return PathOp(remote::kOpMkdir, path); }
  bool RemoveDirectory(const std::string& path) override { return PathOp(remote::kOpRmdir, path); }

  uint32_t GetAttributes(const std::string& path) override {
    ShareTarget t;
    if (!ParseTarget(path, false, &t)) return kInvalidFileAttributes;
    WireWriter w;
    w.U8(remote::kOpGetAttr).Str(t.relative);
    std::string payload;
    if (!CallOn(t.host, w, &payload)) return kInvalidFileAttributes;
    WireReader r(payload);
    uint32_t a;
    if (!r.U32(&a)) {
      Fail(kErrorBadNetResp);
      return kInvalidFileAttributes;
    }
    return a;
  }

  bool SetAttributes(const std::string& path, uint32_t attributes) override {
    ShareTarget t;
    if (!ParseTarget(path, false, &t)) return false;
    WireWriter w;
    w.U8(remote::kOpSetAttr).Str(t.relative).U32(attributes);
    std::string payload;
    return CallOn(t.host, w, &payload);
  }

  bool Move(const std::string& from, const std::string& to, bool replace) override {
    ShareTarget a, b;
    if (!ParseTarget(from, false, &a) || !ParseTarget(to, false, &b)) return false;
    if (a.host != b.host) {
      // Between two hosts: copy, then delete, as between volumes.
      return Copy(from, to, !replace) && Delete(from);
    }
    WireWriter w;
    w.U8(remote::kOpMove).Str(a.relative).Str(b.relative).U8(replace ? 1 : 0);
    std::string payload;
    return CallOn(a.host, w, &payload);
  }

  bool Copy(const std::string& from, const std::string& to, bool fail_if_exists) override {
    ShareTarget target;
    if (!ParseTarget(to, false, &target)) return false;
    ShareTarget source;
    WindowsPath src = ParseWindowsPath(from);
    if (src.kind == PathKind::kUnc && EqualsIgnoreCase(src.share, "ADMIN$") &&
        ParseTarget(from, false, &source) && source.host == target.host) {
      WireWriter w;
      w.U8(remote::kOpCopy).Str(source.relative).Str(target.relative).U8(fail_if_exists ? 1 : 0);
      std::string payload;
      return CallOn(target.host, w, &payload);
    }
    return Upload(from, to, fail_if_exists);
  }

  std::unique_ptr<FindFile::Impl> FindFirst(const std::string& pattern, FindData* first) override {
    ShareTarget t;
    if (!ParseTarget(pattern, true, &t)) return nullptr;
    WireWriter w;
    w.U8(remote::kOpFind).Str(t.relative);
    std::string payload;
    std::shared_ptr<Connection> c;
    if (!CallOn(t.host, w, &payload, &c)) return nullptr;
    uint32_t more = 0;
    std::deque<FindData> entries;
    if (!DecodeFindBatch(payload, &more, &entries) || entries.empty()) {
      Fail(kErrorBadNetResp);
      return nullptr;
    }
    *first = std::move(entries.front());
    entries.pop_front();
    return std::make_unique<RemoteFind>(c, more, std::move(entries));
  }

 private:
  bool PathOp(uint8_t op, const std::string& path) {
    ShareTarget t;
    if (!ParseTarget(path, false, &t)) return false;
    WireWriter w;
    w.U8(op).Str(t.relative);
    std::string payload;
    return CallOn(t.host, w, &payload);
  }

  // A file of another file system (the console's own disk, or another
  // host) copied onto the share through the source's File.
  bool Upload(const std::string& from, const std::string& to, bool fail_if_exists) {
    uint32_t attributes = platform::GetFileAttributes(from);
    if (attributes == kInvalidFileAttributes) return false;
    if (attributes & kAttrDirectory) return Fail(kErrorAccessDenied);
    File source;
    if (!source.Open(from, kGenericRead, kShareRead, kOpenExisting)) return false;
    std::unique_ptr<OpenFile> target =
        Open(to, kGenericWrite, kShareNone, fail_if_exists ? kCreateNew : kCreateAlways, kAttrNormal);
    if (!target) return false;
    std::string buffer(remote::kMaxTransfer, '\0');
    while (true) {
      uint32_t got = 0;
      if (!source.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &got)) return false;
      if (got == 0) break;
      uint32_t written = 0;
      if (!target->Write(buffer.data(), got, &written)) return false;
      if (written != got) return Fail(kErrorWriteFault);
    }
    FileTimes times;
    if (source.GetTimes(&times)) target->SetTimes(times);
    target.reset();
    // A program copied from this host's disk stays runnable there.
    std::string real;
    struct stat st;
    if (ParseWindowsPath(from).kind == PathKind::kLocal && ResolvePath(from, &real) &&
        ::stat(real.c_str(), &st) == 0 && (st.st_mode & 0111)) {
      ShareTarget t;
      if (!ParseTarget(to, false, &t)) return false;
      WireWriter w;
      w.U8(remote::kOpSetExecutable).Str(t.relative).U8(1);
      std::string payload;
      if (!CallOn(t.host, w, &payload)) return false;
    }
    // Like CopyFileA, the copy carries the source's attributes.
    uint32_t keep = attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive);
    return SetAttributes(to, keep ? keep : kAttrNormal);
  }
};

}  // namespace

void InstallRemoteFileSystemOnly() {
  static RemoteFileSystem* fs = new RemoteFileSystem();  // lives as long as the process
  RegisterRemoteFileSystem(fs);
}

}  // namespace platform
