#include "VXAgent/engine/trace_operation.h"

#include "VXAgent/engine/cookie_items.h"
#include "VXAgent/engine/file_items.h"
#include "VXAgent/engine/process_items.h"
#include "VXAgent/engine/registry_items.h"
#include "VXAgent/engine/restart_delete_map.h"

namespace engine {

std::unique_ptr<CSpyItem> BuildTrace(const std::string& type, const std::string& trace,
                                     const std::string& spy) {
  if (type == kCookieType) return std::make_unique<CCookieItem>(trace, spy);
  if (type == kFileType) return std::make_unique<CFileItem>(trace, spy);
  if (type == kFolderType) return std::make_unique<CFolderItem>(trace, spy);
  if (type == kRegKeyType) return std::make_unique<CRegKeyItem>(trace, spy);
  if (type == kRegValueType) return std::make_unique<CRegValueItem>(trace, spy);
  // The log records detected data in the colon form.
  if (type == kRegDataType) return std::make_unique<CRegDataItem>(trace, spy, /*quoted=*/false);
  return nullptr;
}

TraceOperation::TraceOperation(RestartDeleteMap* map)
    : map_(map ? map : &RestartDeleteMap::Global()) {}

bool TraceOperation::ApplyOperation(const std::string& spy, const std::string& type,
                                    const std::string& trace, int mode) {
  if (type == kProcessType) {
    CProcessItem(trace, spy).TerminateMatching();
    return true;
  }
  if (mode == kRecoverQuarantined && map_->Erase(trace)) return true;
  std::unique_ptr<CSpyItem> item = BuildTrace(type, trace, spy);
  if (!item) return true;
  if (item->Remove(spy, trace, type, mode) == kTraceFailed && mode != kRecoverQuarantined) {
    map_->SetPendingDelete(trace, type);
    restartNeeded = true;
  }
  return true;
}

bool TraceOperation::QuarantineTrace(const std::string& spy, const std::string& type,
                                     const std::string& trace) {
  std::unique_ptr<CSpyItem> item = BuildTrace(type, trace, spy);
  if (!item) return true;
  if (item->Quarantine() == kTraceFailed) {
    map_->SetPendingQuarantine(trace, type);
    restartNeeded = true;
  }
  return true;
}

}  // namespace engine
