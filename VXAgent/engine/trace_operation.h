// Console orders on single traces (delete, recover, delete the quarantined
// form, quarantine), as the log pipe receives them. Traces are rebuilt from
// the type name and the trace string the spyware log recorded (registry
// data in its colon form). Failures are recorded in the restart-delete map.
#pragma once

#include <memory>
#include <string>

#include "VXAgent/engine/spy_item.h"

namespace engine {

class RestartDeleteMap;

// A trace of the named type ("File", "Registry Data", ...), or null for
// "Process" and for unknown type names.
std::unique_ptr<CSpyItem> BuildTrace(const std::string& type_name, const std::string& trace,
                                     const std::string& spy_name);

class TraceOperation {
 public:
  // `map`: the restart-delete map to record failures in; the agent's own
  // when null.
  explicit TraceOperation(RestartDeleteMap* map = nullptr);

  // RECOVER (mode 0), QDELETE (1), DDELETE (2). A process trace has its
  // processes terminated whatever the mode; recovering a trace that is
  // pending in the restart-delete map only cancels the pending entry; a
  // failed delete is recorded as type + "#Delete". Always true.
  bool ApplyOperation(const std::string& spy_name, const std::string& type_name,
                      const std::string& trace, int mode);
  // QUARANTINE: a failure is recorded as type + "#Quarantine". Process
  // traces and unknown types are left alone. Always true.
  bool QuarantineTrace(const std::string& spy_name, const std::string& type_name,
                       const std::string& trace);

  // Set when a failure was recorded.
  bool restartNeeded = false;

 private:
  RestartDeleteMap* map_;
};

}  // namespace engine
