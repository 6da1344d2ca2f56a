#include "DbSealer/sealer.h"

#include <cstring>

#include "common/rc4.h"
#include "platform/debug.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/registry.h"

namespace dbsealer {

namespace {
constexpr uint32_t kPathBufferSize = 260;
}  // namespace

std::string ReadInstalledPath(bool* access_denied) {
  *access_denied = false;
  platform::RegKey key;
  uint32_t rc = key.Open(platform::RootKey::kLocalMachine, "Software\\VXCorporate",
                         platform::kKeyRead);
  if (rc == platform::kErrorAccessDenied) *access_denied = true;
  if (rc != platform::kErrorSuccess) return std::string();
  char buffer[kPathBufferSize];
  uint32_t type = 0;
  uint32_t size = sizeof buffer;
  if (key.QueryValue("InstalledPath", &type, buffer, &size) != platform::kErrorSuccess)
    return std::string();
  if (type != platform::kRegSz && type != platform::kRegExpandSz) return std::string();
  // The stored string may lack its terminator; stop at the first NUL.
  return std::string(buffer, strnlen(buffer, size));
}

SealOutcome SealFile(const std::string& path, uint32_t* error) {
  std::string content;
  {
    platform::File in;
    if (!in.Open(path, platform::kGenericRead, platform::kShareRead, platform::kOpenExisting)) {
      uint32_t code = platform::GetLastError();
      if (code == platform::kErrorFileNotFound || code == platform::kErrorPathNotFound)
        return SealOutcome::kMissing;
      *error = code;
      return SealOutcome::kNotRead;
    }
    if (!in.ReadAll(&content)) {
      *error = platform::GetLastError();
      return SealOutcome::kNotRead;
    }
  }
  std::string sealed = content;
  if (!common::Rc4Crypt(&sealed)) {
    *error = platform::kErrorNotEnoughMemory;
    return SealOutcome::kNotRead;
  }
  platform::File out;
  if (!out.Open(path, platform::kGenericWrite, platform::kShareNone,
                platform::kTruncateExisting)) {
    *error = platform::GetLastError();
    return SealOutcome::kNotRewritten;
  }
  if (!out.WriteAll(sealed) || !out.Flush()) {
    *error = platform::GetLastError();
    // The file was already cut; put the original bytes back rather than
    // leave half a database behind.
    if (out.Seek(0, platform::kSeekBegin) && out.SetEndOfFile()) out.WriteAll(content);
    return SealOutcome::kNotRewritten;
  }
  return SealOutcome::kSealed;
}

int RunDbSealer(std::ostream& err) {
  bool access_denied = false;
  std::string folder = ReadInstalledPath(&access_denied);
  if (access_denied) err << kRightsMessage << "\n";
  if (folder.empty()) {
    err << kNoPathMessage << "\n";
    // Without a folder the names would point at the root of the current
    // drive, where no database of ours lives; nothing is touched.
    return kExitNoInstallation;
  }
  platform::OutputDebugString(folder);

  int sealed = 0, failed = 0;
  for (const char* name : kDatabaseNames) {
    std::string path = folder + name;
    uint32_t error = 0;
    switch (SealFile(path, &error)) {
      case SealOutcome::kSealed:
        ++sealed;
        break;
      case SealOutcome::kMissing:
        break;
      case SealOutcome::kNotRead:
        ++failed;
        err << path << ": cannot be read: " << platform::ErrorMessage(error) << "\n";
        break;
      case SealOutcome::kNotRewritten:
        ++failed;
        err << path << ": cannot be rewritten, left unchanged: " << platform::ErrorMessage(error)
            << "\n";
        break;
    }
  }
  if (failed != 0) return kExitSealFailed;
  if (sealed == 0) {
    err << "No database to seal in " << folder << "\n";
    return kExitNothingToSeal;
  }
  return kExitSealed;
}

}  // namespace dbsealer
