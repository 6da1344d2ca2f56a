#include "VXAgent/engine/restart_delete_map.h"

#include "platform/host.h"

namespace engine {

RestartDeleteMap& RestartDeleteMap::Global() {
  static RestartDeleteMap* map = new RestartDeleteMap;  // lives as long as the agent
  return *map;
}

void RestartDeleteMap::Set(const std::string& trace, const std::string& value) {
  std::lock_guard<std::mutex> lock(mu_);
  map_[trace] = value;
  erased_.erase(trace);
}

void RestartDeleteMap::SetPendingDelete(const std::string& trace, const std::string& type_name) {
  Set(trace, type_name + kPendingDelete);
}

void RestartDeleteMap::SetPendingQuarantine(const std::string& trace,
                                            const std::string& type_name) {
  Set(trace, type_name + kPendingQuarantine);
}

bool RestartDeleteMap::Contains(const std::string& trace) const {
  std::lock_guard<std::mutex> lock(mu_);
  return map_.count(trace) != 0;
}

std::optional<std::string> RestartDeleteMap::Find(const std::string& trace) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = map_.find(trace);
  if (it == map_.end()) return std::nullopt;
  return it->second;
}

bool RestartDeleteMap::Erase(const std::string& trace) {
  std::lock_guard<std::mutex> lock(mu_);
  if (map_.erase(trace) == 0) return false;
  if (open_ > 0) erased_.insert(trace);
  return true;
}

void RestartDeleteMap::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  map_.clear();
}

common::StringMap RestartDeleteMap::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return map_;
}

int RestartDeleteMap::open_brackets() const {
  std::lock_guard<std::mutex> lock(mu_);
  return open_;
}

std::string RestartDeleteMapPath() {
  const platform::Host* host = platform::Host::Current();
  std::string dir = host ? host->system_dir() : std::string();
  return dir + "\\" + kRestartDeleteFile;
}

}  // namespace engine
