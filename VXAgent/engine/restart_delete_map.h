// The restart-delete map: traces whose delete or quarantine failed, to be
// finished at the next start of the agent. Key: the trace string as the
// scanner reports it; value: type name + "#Delete" or "#Quarantine".
// Kept in the system folder's "RestartDelete.db" as a string map file.
//
// One map serves the whole agent: scan runs and log-pipe batches each
// bracket their work with LoadRetartDeleteMap / SaveRetartDeleteMap, and
// may overlap. Every access takes the map's lock, and a load or save while
// another user's bracket is still open keeps the entries in memory, so an
// overlapping scan and batch never lose each other's entries; an entry
// erased while a bracket is open (a recover cancelling a pending delete) is
// not brought back from the file by a later overlapping load.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "common/string_map_file.h"

namespace engine {

inline constexpr char kRestartDeleteFile[] = "RestartDelete.db";
inline constexpr char kPendingDelete[] = "#Delete";
inline constexpr char kPendingQuarantine[] = "#Quarantine";

class RestartDeleteMap {
 public:
  RestartDeleteMap() = default;
  RestartDeleteMap(const RestartDeleteMap&) = delete;
  RestartDeleteMap& operator=(const RestartDeleteMap&) = delete;

  // The agent's one map.
  static RestartDeleteMap& Global();

  // Opens a bracket: the first open bracket empties the map and reads
  // `path`; later ones merge the file into what is held (entries in memory
  // win). False when the file cannot be opened or is short; what was read
  // stays.
  bool Load(const std::string& path);
  // Closes a bracket: writes the whole map to `path` (created when absent,
  // never truncated). When no other bracket remains open the map is then
  // emptied. False (and the map kept) when the file cannot be written; the
  // bracket is closed either way.
  bool Save(const std::string& path);

  void Set(const std::string& trace, const std::string& value);
  // Type name + "#Delete" / "#Quarantine" under `trace`.
  void SetPendingDelete(const std::string& trace, const std::string& type_name);
  void SetPendingQuarantine(const std::string& trace, const std::string& type_name);
  bool Contains(const std::string& trace) const;
  std::optional<std::string> Find(const std::string& trace) const;
  bool Erase(const std::string& trace);
  void Clear();
  common::StringMap Snapshot() const;
  int open_brackets() const;

 private:
  mutable std::mutex mu_;
  common::StringMap map_;
  std::set<std::string> erased_;  // erased while brackets are open
  int open_ = 0;
};

// System folder + "\RestartDelete.db".
std::string RestartDeleteMapPath();

// The agent's map and file.
bool LoadRetartDeleteMap();
bool SaveRetartDeleteMap();

}  // namespace engine
