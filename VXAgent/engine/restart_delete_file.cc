// The file side of the restart-delete map, apart from the in-memory map so
// that users of the map alone need no file system.
#include "VXAgent/engine/restart_delete_map.h"

#include "VXAgent/service/debug_log.h"
#include "platform/file.h"

namespace engine {

bool RestartDeleteMap::Load(const std::string& path) {
  // Read under the lock: a save in between would make the read stale.
  std::lock_guard<std::mutex> lock(mu_);
  common::StringMap from_file;
  bool ok = common::ReadStringMapFile(path, &from_file);
  if (open_ == 0) {
    map_.clear();
    erased_.clear();
  }
  ++open_;
  // Entries already held belong to a bracket still running: they are newer;
  // and what such a bracket erased stays erased.
  for (const std::string& trace : erased_) from_file.erase(trace);
  map_.merge(from_file);
  return ok;
}

bool RestartDeleteMap::Save(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  if (open_ > 0) --open_;
  // The file is written under the lock so that two savers cannot interleave
  // their bytes; the map is small.
  if (!common::WriteStringMapFile(path, map_, /*truncate=*/false)) return false;
  if (open_ == 0) {
    map_.clear();
    erased_.clear();
  }
  return true;
}

bool LoadRetartDeleteMap() {
  vxagent::DebugLog("In LoadRetartDeleteMap");
  const std::string path = RestartDeleteMapPath();
  const bool exists = platform::PathFileExists(path);
  const bool ok = RestartDeleteMap::Global().Load(path);
  // A file that is there but reads short is the damaged case.
  vxagent::DebugLog(ok       ? "Leaving LoadRetartDeleteMap(true)"
                    : exists ? "Leaving LoadRetartDeleteMap(catch)"
                             : "Leaving LoadRetartDeleteMap(false)");
  return ok;
}

bool SaveRetartDeleteMap() {
  vxagent::DebugLog("In SaveRetartDeleteMap");
  vxagent::DebugLog("befor Geting file path");
  const std::string path = RestartDeleteMapPath();
  vxagent::DebugLog("befor opening file");
  if (!RestartDeleteMap::Global().Save(path)) {
    vxagent::DebugLog("Leaving SaveRetartDeleteMap(opening file failed)");
    return false;
  }
  vxagent::DebugLog("after opening file");
  vxagent::DebugLog("before Serialize");
  vxagent::DebugLog("after Serialize");
  vxagent::DebugLog("returning true");
  return true;
}

}  // namespace engine
