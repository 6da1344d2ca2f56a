// The database and exclusion list files of the host.
#include "VXAgent/engine/spy_database.h"

#include "common/rc4.h"
#include "platform/file.h"
#include "platform/host.h"

namespace engine {
namespace {

std::string SystemFolder() {
  const platform::Host* host = platform::Host::Current();
  return host ? host->system_dir() : std::string();
}

}  // namespace

std::string SpyDatabasePath() { return SystemFolder() + "\\" + kSpyDatabaseFile; }

// The agent is installed in the system folder; its list sits beside it.
std::string ExcludeListPath() { return SystemFolder() + "\\" + kExcludeDatabaseFile; }

bool DecipherSpyDatabase(std::string* archive) {
  std::string bytes;
  if (!platform::ReadFileToString(SpyDatabasePath(), &bytes)) return false;
  if (!common::Rc4Crypt(&bytes)) return false;
  *archive = std::move(bytes);
  return true;
}

SpyArchiveStatus ReadSpyDatabase(SpyMap* map) {
  std::string archive;
  // No database: nothing to scan for, which is not an error of the archive.
  if (!DecipherSpyDatabase(&archive)) return SpyArchiveStatus::kOk;
  return DecodeSpyArchive(archive, map);
}

ExcludeList::ExcludeList() : ExcludeList(ExcludeListPath()) {}

ExcludeList::ExcludeList(std::string path) : path_(std::move(path)) {
  platform::SetFileAttributes(path_, platform::kAttrArchive);
  std::string bytes;
  if (platform::ReadFileToString(path_, &bytes) && !Decode(bytes, &names_)) names_.clear();
}

ExcludeList::~ExcludeList() {
  platform::SetFileAttributes(path_, platform::kAttrArchive);
  platform::WriteStringToFile(path_, Encode(names_));
}

}  // namespace engine
