// Planting: makes the spyware of a definition database present on the
// current host, so that a scan has something real to find. For each chosen
// spy it writes the files and folders of its definitions, creates its
// registry keys, values and data, writes cookie files of its sites into the
// cookie folder of every user of the host, and starts its processes from
// planted executables (copies of a stand-in program that runs until it is
// killed).
//
// Paths and HKEY_CURRENT_USER resolve for the account this process runs
// as, through the engine's own expander, so they are the places the scan
// looks at when it runs as the same account (the lab plants as SYSTEM, the
// account of the agent service). "%PROFILE%" definitions are planted into
// the profile of every user of the host; a key definition under
// HKEY_USERS\S-1-5-21-... is planted under the machine's first real user
// hive (the one the scan rewrites it to), or the first user's SID when the
// registry holds none yet.
//
// Each planted trace is reported with the type name and trace string that
// a scan logs for it. Definitions that cannot be made present are reported
// as skipped with a reason (a wildcard path, a registry path without a
// known hive, a value later overwritten by another spy with other data).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VXAgent/engine/spy_database.h"

namespace lab {

struct PlantOptions {
  // Names of the spies to plant (exact); empty: every spy of the map.
  std::vector<std::string> spies;
  // Real path of the stand-in program copied to every executable path of
  // a process definition (and of file definitions naming programs); those
  // copies are then started. Empty: executables get a text like any other
  // planted file and nothing is started.
  std::string standin;
  // Account the planted processes run as; empty: the host's first user.
  std::string process_account;
};

struct PlantedTrace {
  std::string type;   // "File", "Registry Data", ... (the scan's type name)
  std::string spy;
  std::string trace;  // the trace string as a scan of the planted host logs it
};

struct PlantedProcess {
  std::string spy;
  std::string image;  // Windows path of the planted executable
  uint32_t pid = 0;
};

struct SkippedDefinition {
  std::string type;
  std::string spy;
  std::string definition;
  std::string reason;
};

struct PlantResult {
  std::vector<PlantedTrace> traces;       // in planting order; processes included
  std::vector<PlantedProcess> processes;  // started, still running when returned
  std::vector<SkippedDefinition> skipped;
};

// Plants the chosen spies of `map` on the current host. False with a
// one-line reason in `error` when a named spy is not in the map (nothing is
// planted then) or when a file, folder, registry entry or process cannot be
// created; what was planted before the failure stays, and its processes
// are listed in `result` so that the caller can stop them.
bool PlantSpies(const engine::SpyMap& map, const PlantOptions& options, PlantResult* result,
                std::string* error);

// Terminates the planted processes of `processes` that still run on the
// current host with the planted image (a process id reused by another
// program is left alone) and waits briefly for each to end. Returns how
// many were terminated.
int StopPlantedProcesses(const std::vector<PlantedProcess>& processes);

// Reads a definition database file: sealed (as the agent gets it) or
// plain. False with a reason when it cannot be read or is damaged.
bool LoadDefinitionDatabase(const std::string& real_path, engine::SpyMap* map,
                            std::string* error);

}  // namespace lab
