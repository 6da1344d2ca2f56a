// One console order on one logged item ("DDELETE", "QDELETE", "RECOVER",
// "QUARANTINE"), carried out with a TraceOperation, and the batch restart
// flag that tells the log pipe to answer "Restart Required".
#pragma once

#include <string>

namespace engine {
class RestartDeleteMap;
}

namespace vxagent {

inline constexpr char kOpDeleteDetected[] = "DDELETE";
inline constexpr char kOpDeleteQuarantined[] = "QDELETE";
inline constexpr char kOpRecover[] = "RECOVER";
inline constexpr char kOpQuarantine[] = "QUARANTINE";

// Performs `operation` (compared exactly) on `item` of the type `type`.
// True when the operation is one of the four (the actions themselves always
// succeed: what they cannot finish now is entered in the restart-delete
// map); false for any other text, which does nothing. Sets the batch
// restart flag when the item can only be finished at the next start.
// `map` receives such entries; the agent's own map when null.
bool SpyOperation(const std::string& item, const std::string& spy_name, const std::string& type,
                  const std::string& operation, engine::RestartDeleteMap* map = nullptr);

// The batch restart flag: cleared when a log-pipe batch begins, set by
// SpyOperation, read for each reply of the batch.
void ClearBatchRestartFlag();
bool BatchRestartFlag();

}  // namespace vxagent
