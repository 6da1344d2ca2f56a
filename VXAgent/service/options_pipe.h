// The exchange of RemoteAdminOptionsPipe (served by
// RemoteAdminOptionsThread): one OptionsRequest (104 bytes) per connection.
//
//   0 update                 -> "SUCCESS", nothing done
//   1 enable protection      -> the text of SetActiveProtection(true)
//   2 disable protection     -> the text of SetActiveProtection(false)
//   3 uninstall preparation  -> protection off, then the schedule key
//                               deleted: "SUCCESS" / "ERROR"
//   4 protected-node check   -> no reply
//   any other                -> "SUCCESS"
//
// A request shorter than 104 bytes is not acted upon and gets no reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/pipe.h"

namespace vxagent {

inline constexpr char kScheduleKey[] = "Software\\VXCorporate\\Schedule_Info";

// What the agent does for `operation`; the reply, or none (operation 4).
std::optional<std::string> AnswerOptionsOperation(uint32_t operation);

// The pipe exchange after the SCommand (see pipe_io.h): false when the pipe
// itself failed.
bool OptionsPipeExchange(platform::PipeServer& pipe);

}  // namespace vxagent
