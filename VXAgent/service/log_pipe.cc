#include "VXAgent/service/log_pipe.h"

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/pipes/records.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/pipe_io.h"
#include "VXAgent/service/spy_operation.h"
#include "platform/strings.h"

namespace vxagent {
namespace {

namespace rec = records;

// Holds the batch's bracket on the restart-delete map: loaded when the batch
// begins, stored however the batch ends (even by an exception), so that no
// bracket stays open and no entry of the batch is lost.
class BatchMap {
 public:
  BatchMap() {
    DebugLog("Befor LoadRetartDeleteMap");
    engine::LoadRetartDeleteMap();
    DebugLog("After LoadRetartDeleteMap");
  }
  ~BatchMap() {
    DebugLog("Befor SaveRetartDeleteMap");
    engine::SaveRetartDeleteMap();
    DebugLog("After SaveRetartDeleteMap");
  }
  BatchMap(const BatchMap&) = delete;
  BatchMap& operator=(const BatchMap&) = delete;
};

}  // namespace

std::string AnswerSpyOperationRecord(const std::string& record) {
  const rec::SpyOperation op = rec::SplitSpyOperation(record);
  if (!SpyOperation(op.item, op.spy, op.type, op.operation)) return kReplyUnsuccess;
  return BatchRestartFlag() ? kReplyRestartRequired : op.operation;
}

bool LogPipeExchange(platform::PipeServer& pipe) {
  uint8_t buf[rec::kSpyOperationMaxSize];
  uint32_t got = 0;
  ReadResult r = ReadRecord(pipe, buf, sizeof buf, &got);
  if (r == ReadResult::kPipeDead) return false;
  if (r == ReadResult::kClientGone) return true;
  if (!platform::EqualsIgnoreCase(rec::LineText(buf, got), kSpyOperationCommand)) {
    DebugLog("In Log ::command is not SPYOPERATION, now calling DisconnectNamedPipe!");
    return true;
  }
  if (!WriteLine(pipe, kReplyOk)) return true;

  ClearBatchRestartFlag();
  BatchMap map;
  for (;;) {
    buf[0] = 0;
    r = ReadRecord(pipe, buf, sizeof buf, &got);
    if (r == ReadResult::kPipeDead) return false;
    if (r == ReadResult::kClientGone) {
      DebugLog("In Log ::ReadFile Failed, now calling DisconnectNamedPipe!");
      return true;
    }
    const std::string text = rec::LineText(buf, got);
    if (platform::EqualsIgnoreCase(text, kEndOfRecords)) return true;
    if (!WriteLine(pipe, AnswerSpyOperationRecord(text))) {
      DebugLog("In Log ::WriteFile Failed, now calling DisconnectNamedPipe!");
      return true;
    }
  }
}

}  // namespace vxagent
