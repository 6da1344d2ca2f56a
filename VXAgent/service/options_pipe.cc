#include "VXAgent/service/options_pipe.h"

#include "VXAgent/pipes/records.h"
#include "VXAgent/service/active_protection.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/pipe_io.h"
#include "platform/registry.h"

namespace vxagent {
namespace {

namespace rec = records;

constexpr char kSuccess[] = "SUCCESS";
constexpr char kError[] = "ERROR";

std::string PrepareUninstall() {
  SetActiveProtection(false);  // its text is not reported
  const size_t last = std::string_view(kScheduleKey).rfind('\\');
  platform::RegKey parent;
  if (parent.Open(platform::RootKey::kLocalMachine, std::string_view(kScheduleKey).substr(0, last),
                  platform::kKeyAllAccess) != 0)
    return kError;
  return parent.DeleteKey(std::string_view(kScheduleKey).substr(last + 1)) == 0 ? kSuccess : kError;
}

}  // namespace

std::optional<std::string> AnswerOptionsOperation(uint32_t operation) {
  switch (operation) {
    case 1: return SetActiveProtection(true);
    case 2: return SetActiveProtection(false);
    case 3: return PrepareUninstall();
    case 4: return std::nullopt;
    default: return std::string(kSuccess);
  }
}

bool OptionsPipeExchange(platform::PipeServer& pipe) {
  uint8_t buf[rec::kOptionsRequestSize];
  uint32_t got = 0;
  ReadResult r = ReadRecord(pipe, buf, sizeof buf, &got);
  if (r == ReadResult::kPipeDead) return false;
  if (r == ReadResult::kClientGone) return true;
  rec::OptionsRequest request;
  if (!rec::Decode(buf, got, &request)) {
    DebugLog("In Options ::short OptionsRequest, now calling DisconnectNamedPipe!");
    return true;
  }
  std::optional<std::string> reply = AnswerOptionsOperation(request.operation);
  if (reply && !WriteLine(pipe, *reply)) DebugLog("In Options ::WriteFile Failed, now calling DisconnectNamedPipe!");
  return true;
}

}  // namespace vxagent
