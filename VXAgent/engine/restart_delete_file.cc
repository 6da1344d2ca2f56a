// The file side of the restart-delete map, apart from the in-memory map so
// that users of the map alone need no file system.
#include "VXAgent/engine/restart_delete_map.h"

namespace engine {

bool RestartDeleteMap::Load(const std::string& path) {
  // Read under the lock: a save in between would make the read stale.
  std::lock_guard<std::mutex> lock(mu_);
  common::StringMap from_file;
  bool ok = common::ReadStringMapFile(path, &from_file);
  if (open_ == 0) map_.clear();
  ++open_;
  // Entries already held belong to a bracket still running: they are newer.
  map_.merge(from_file);
  return ok;
}

bool RestartDeleteMap::Save(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  if (open_ > 0) --open_;
  // The file is written under the lock so that two savers cannot interleave
  // their bytes; the map is small.
  if (!common::WriteStringMapFile(path, map_, /*truncate=*/false)) return false;
  if (open_ == 0) map_.clear();
  return true;
}

bool LoadRetartDeleteMap() { return RestartDeleteMap::Global().Load(RestartDeleteMapPath()); }
bool SaveRetartDeleteMap() { return RestartDeleteMap::Global().Save(RestartDeleteMapPath()); }

}  // namespace engine
