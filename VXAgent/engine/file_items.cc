#include "VXAgent/engine/file_items.h"

#include "VXAgent/engine/trace_syntax.h"
#include "common/dates.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/strings.h"

namespace engine {
namespace {

constexpr uint32_t kRunKeyAccess = 0x2001F;  // read and write

// The presence test of a file trace: a directory search finds the path
// (wildcards allowed) and it is not a folder.
bool FileExists(const std::string& path) {
  uint32_t attributes = platform::GetFileAttributes(path);
  return attributes != platform::kInvalidFileAttributes && !(attributes & platform::kAttrDirectory);
}

bool FoundAsFile(const std::string& path) {
  // Without wildcards a directory search finds exactly the entry named, so
  // its attributes answer the same question with one look-up.
  if (path.find_first_of("*?") == std::string::npos) return FileExists(path);
  platform::FindFile find;
  platform::FindData data;
  return find.First(path, &data) && !platform::PathIsDirectory(path);
}

void ClearReadOnly(const std::string& path) {
  uint32_t attributes = platform::GetFileAttributes(path);
  if (attributes != platform::kInvalidFileAttributes && (attributes & platform::kAttrReadOnly))
    platform::SetFileAttributes(path, attributes & ~platform::kAttrReadOnly);
}

// Removes a folder tree; true when the folder is gone.
bool DeleteFolder(const std::string& path) {
  DeleteTree(path + "\\*.*");
  platform::RemoveDirectory(path);
  return !platform::PathIsDirectory(path);
}

// Where a file of the trace sits now when a folder above it was quarantined
// (and so carries its name reversed): the trace path with one folder
// component reversed, deepest first. Empty when there is no such file.
std::string FindUnderQuarantinedFolder(const std::string& path) {
  size_t end = path.rfind('\\');
  while (end != std::string::npos && end > 0) {
    size_t start = path.rfind('\\', end - 1);
    if (start == std::string::npos) break;  // the drive is never reversed
    std::string folder = path.substr(0, end);
    std::string candidate = QuarantinedPath(folder) + path.substr(end);
    if (FileExists(candidate)) return candidate;
    end = start;
  }
  return {};
}

int QuarantineFile(const std::string& spy_name, const std::string& trace) {
  std::string path = trace;
  if (!FoundAsFile(path)) {
    path = FindUnderQuarantinedFolder(trace);
    if (path.empty()) return kTraceAbsent;
  }
  const std::string target = QuarantinedPath(path);
  if (platform::EqualsIgnoreCase(target, path)) return kTraceFailed;  // a palindrome name
  platform::SetFileAttributes(path, platform::kAttrArchive);
  if (FileExists(target)) {
    ClearReadOnly(target);
    platform::DeleteFile(target);
  }
  std::string name, data;
  RemoveRunEntry(path, &name, &data);
  if (platform::MoveFile(path, target)) return kTraceDone;
  if (platform::GetLastError() == platform::kErrorAccessDenied) LogAccessDenied(spy_name, path);
  return kTraceFailed;
}

}  // namespace

std::string QuarantinedPath(const std::string& path) { return ReverseLastComponent(path); }

// --- File -----------------------------------------------------------------

bool CFileItem::IsPresent() { return FoundAsFile(trace()); }

int CFileItem::Quarantine() { return QuarantineFile(spy_name(), trace()); }

int CFileItem::Remove(const std::string&, const std::string&, const std::string&, int mode) {
  const std::string& path = trace();
  switch (mode) {
    case kDeleteDetected: {
      if (!IsPresent()) return kTraceAbsent;
      ClearReadOnly(path);
      return platform::DeleteFile(path) ? kTraceDone : kTraceFailed;
    }
    case kRecoverQuarantined: {
      const std::string quarantined = QuarantinedPath(path);
      if (!FileExists(quarantined)) return kTraceAbsent;
      ClearReadOnly(quarantined);
      if (FileExists(path)) {
        ClearReadOnly(path);
        platform::DeleteFile(path);
      }
      return platform::MoveFile(quarantined, path) ? kTraceDone : kTraceFailed;
    }
    case kDeleteQuarantined: {
      const std::string quarantined = QuarantinedPath(path);
      if (!FileExists(quarantined)) return kTraceAbsent;
      ClearReadOnly(quarantined);
      if (UnregisterAndDelete(quarantined)) return FileExists(path) ? kTraceFailed : kTraceDone;
      return platform::DeleteFile(quarantined) ? kTraceDone : kTraceFailed;
    }
    case kQuarantineMode:
      return Quarantine();
    default:
      return kTraceFailed;
  }
}

// --- Folder ---------------------------------------------------------------

bool CFolderItem::IsPresent() { return platform::PathIsDirectory(trace()); }

int CFolderItem::Quarantine() {
  const std::string& path = trace();
  if (!platform::PathIsDirectory(path)) return kTraceAbsent;
  const std::string target = QuarantinedPath(path);
  if (platform::EqualsIgnoreCase(target, path)) return kTraceFailed;
  if (platform::PathIsDirectory(target) && !DeleteFolder(target)) return kTraceFailed;
  if (platform::MoveFile(path, target)) return kTraceDone;
  if (platform::GetLastError() == platform::kErrorAccessDenied) LogAccessDenied(spy_name(), path);
  return kTraceFailed;
}

int CFolderItem::Remove(const std::string&, const std::string&, const std::string&, int mode) {
  const std::string& path = trace();
  switch (mode) {
    case kDeleteDetected:
      if (!platform::PathIsDirectory(path)) return kTraceAbsent;
      return DeleteFolder(path) ? kTraceDone : kTraceFailed;
    case kRecoverQuarantined: {
      const std::string quarantined = QuarantinedPath(path);
      if (!platform::PathIsDirectory(quarantined)) return kTraceAbsent;
      if (platform::PathIsDirectory(path) && !DeleteFolder(path)) return kTraceFailed;
      return platform::MoveFile(quarantined, path) ? kTraceDone : kTraceFailed;
    }
    case kDeleteQuarantined: {
      const std::string quarantined = QuarantinedPath(path);
      if (!platform::PathIsDirectory(quarantined)) return kTraceAbsent;
      return DeleteFolder(quarantined) ? kTraceDone : kTraceFailed;
    }
    case kQuarantineMode:
      return Quarantine();
    default:
      return kTraceFailed;
  }
}

// --- Operations -----------------------------------------------------------

bool DeleteTree(const std::string& pattern) {
  size_t slash = pattern.rfind('\\');
  const std::string folder = slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
  // Collected first: deleting while a search is open would disturb it.
  std::vector<platform::FindData> entries;
  platform::FindFile find;
  platform::FindData data;
  if (find.First(pattern, &data)) {
    do {
      if (data.name != "." && data.name != "..") entries.push_back(data);
    } while (find.Next(&data));
  }
  find.Close();
  bool all = true;
  for (const auto& entry : entries) {
    const std::string full = folder + entry.name;
    if (entry.attributes & platform::kAttrDirectory) {
      all &= DeleteTree(full + "\\*.*");
      all &= platform::RemoveDirectory(full);
    } else {
      platform::SetFileAttributes(full, platform::kAttrNormal);
      // A file that resists stays; the others still go.
      all &= platform::DeleteFile(full);
    }
  }
  return all;
}

bool RemoveRunEntry(const std::string& path, std::string* name, std::string* data) {
  platform::RegKey run;
  if (run.Open(platform::RootKey::kLocalMachine, kRunKey, kRunKeyAccess) != 0) return false;
  const std::string wanted = platform::ToUpperAscii(path);
  platform::RegValue value;
  for (uint32_t i = 0; run.EnumValue(i, &value) == 0; ++i) {
    std::string text(value.data.begin(), value.data.end());
    text = platform::ToUpperAscii(text.substr(0, text.find('\0')));
    if (text.find(wanted) == std::string::npos) continue;
    if (run.DeleteValue(value.name) != 0) return false;
    *name = value.name;
    *data = text;
    return true;
  }
  return false;
}

bool UnregisterAndDelete(const std::string& quarantined_path) {
  const std::string restored = QuarantinedPath(quarantined_path);
  if (!platform::EndsWithIgnoreCase(restored, ".dll") && !platform::EndsWithIgnoreCase(restored, ".ocx"))
    return false;
  platform::MoveFile(quarantined_path, restored);
  platform::ShellExecute("open", "regsvr32.exe", " /s -u " + restored, "", /*show=*/0);
  platform::DeleteFile(restored);
  return true;
}

void LogAccessDenied(const std::string& spy_name, const std::string& path) {
  const platform::Host* host = platform::Host::Current();
  if (!host) return;
  platform::LocalTime now = platform::GetLocalTime();
  std::string line = " On [ " + common::DayText(now) + " " + common::TimeText(now) + " ] - " + " " +
                     spy_name + " " + path + "\r\n";
  platform::File file;
  if (!file.Open(host->system_dir() + "\\" + kAccessDeniedFile, platform::kGenericWrite,
                 platform::kShareRead | platform::kShareWrite, platform::kOpenAlways))
    return;
  if (file.Seek(0, platform::kSeekEnd)) file.WriteAll(line);
}

}  // namespace engine
