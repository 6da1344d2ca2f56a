#include "VXAgent/service/restart_replay.h"

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/spy_operation.h"
#include "common/string_map_file.h"
#include "platform/file.h"

namespace vxagent {

int RestartReplay() {
  // The replay works on maps of its own instead of the agent's shared map:
  // it runs before any batch or scan, and a bracket it left open on the
  // shared map would keep that map from ever being emptied again.
  const std::string path = engine::RestartDeleteMapPath();
  DebugLog("In LoadRetartDeleteMap");
  common::StringMap pending;
  const bool exists = platform::PathFileExists(path);
  if (!common::ReadStringMapFile(path, &pending)) {
    DebugLog(exists ? "Leaving LoadRetartDeleteMap(catch)" : "Leaving LoadRetartDeleteMap(false)");
    return 0;
  }
  DebugLog("Leaving LoadRetartDeleteMap(true)");

  engine::RestartDeleteMap failed_again;
  int replayed = 0;
  for (const auto& [item, value] : pending) {
    const size_t hash = value.find('#');
    const std::string type = hash == std::string::npos ? std::string() : value.substr(0, hash);
    const std::string action = hash == std::string::npos ? value : value.substr(hash + 1);
    const char* operation = action == "Delete" ? kOpDeleteDetected : kOpQuarantine;
    DebugLog("RestartReplay " + std::string(operation) + " " + type + " " + item);
    SpyOperation(item, "", type, operation, &failed_again);
    ++replayed;
  }
  if (!platform::DeleteFile(path)) DebugLog("RestartReplay could not delete " + path);
  const common::StringMap left = failed_again.Snapshot();
  if (!left.empty()) {
    DebugLog("RestartReplay keeps " + std::to_string(left.size()) + " entries for the next start");
    common::WriteStringMapFile(path, left, /*truncate=*/false);
  }
  return replayed;
}

}  // namespace vxagent
