#include "VXAgent/service/spy_operation.h"

#include <atomic>

#include "VXAgent/engine/spy_item.h"
#include "VXAgent/engine/trace_operation.h"

namespace vxagent {
namespace {

std::atomic<bool> g_batch_restart{false};

}  // namespace

bool SpyOperation(const std::string& item, const std::string& spy_name, const std::string& type,
                  const std::string& operation, engine::RestartDeleteMap* map) {
  engine::TraceOperation op(map);
  bool result = false;
  if (operation == kOpDeleteDetected)
    result = op.ApplyOperation(spy_name, type, item, engine::kDeleteDetected);
  else if (operation == kOpDeleteQuarantined)
    result = op.ApplyOperation(spy_name, type, item, engine::kDeleteQuarantined);
  else if (operation == kOpRecover)
    result = op.ApplyOperation(spy_name, type, item, engine::kRecoverQuarantined);
  else if (operation == kOpQuarantine)
    result = op.QuarantineTrace(spy_name, type, item);
  if (op.restartNeeded) g_batch_restart = true;
  return result;
}

void ClearBatchRestartFlag() { g_batch_restart = false; }
bool BatchRestartFlag() { return g_batch_restart; }

}  // namespace vxagent
