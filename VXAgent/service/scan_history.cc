#include "VXAgent/service/scan_history.h"

#include <cstdint>

#include "VXAgent/service/debug_log.h"
#include "common/config.h"
#include "common/dates.h"
#include "platform/clock.h"
#include "platform/system_info.h"

namespace vxagent {
namespace {

constexpr const char* kScanCountKey = "noofscans";

// The history is plain text: the console reads it as such.
void OpenPlain(common::CConfig* config) {
  config->SetDecryptOnLoad(false);
  config->SetEncryptOnSave(false);
  config->SetFileName(ScanHistoryPath());
  config->Load(ScanHistoryPath());  // a missing file is an empty history
}

}  // namespace

std::string ScanHistoryPath() { return platform::GetSystemDirectory() + "\\" + kScanHistoryFile; }

bool SaveScanStatisticsinINI(int32_t found, int32_t deleted, int32_t quarantined) {
  try {
    common::CConfig config;
    OpenPlain(&config);
    // One reading of the clock, so that the day and the time agree.
    const platform::LocalTime now = platform::GetLocalTime();
    const std::string day = common::DayText(now);
    if (config.GetKey(kScanCountKey, day) == nullptr) config.SetInt(kScanCountKey, 0, "", day);
    // A damaged count (empty or negative) starts the day again rather than
    // naming a record "#-2147483647".
    const int32_t count = config.GetInt(kScanCountKey, day);
    const int32_t n = (count < 0 || count == INT32_MAX ? 0 : count) + 1;
    config.SetInt(kScanCountKey, n, "", day);
    const std::string record = day + "#" + std::to_string(n);
    config.SetValue("TIME", common::TimeText(now), "", record);
    config.SetInt("Detected", found, "", record);
    config.SetInt("Deleted", deleted, "", record);
    config.SetInt("Quarantined", quarantined, "", record);
    config.SetValue("Date", record, "", kLastScanSection);
    if (!config.Save()) {
      DebugLog("Could not save " + ScanHistoryPath());
      return false;
    }
    return true;
  } catch (...) {
    DebugLog("Exception caught in SaveScanStatisticsinINI");
    return false;
  }
}

std::string LastScanSection() {
  // A loaded CConfig counts as changed and writes itself back when it goes:
  // the same text, so the history stays as it was.
  common::CConfig config;
  OpenPlain(&config);
  return config.GetValue("Date", kLastScanSection);
}

}  // namespace vxagent
