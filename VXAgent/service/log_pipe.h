// The exchange of RemoteAdminLogPipe (served by RemoteAdminLogThread): one
// batch of spy operations per connection.
//
//   console: "SPYOPERATION" (260 bytes)      agent: "OK"
//   console: one spy operation record        agent: the record's operation,
//            (text + NUL, up to 1024 bytes)         "Restart Required" or
//   ... repeated ...                                 "UNSUCCESS"
//   console: "ENDOFRECORDS" (260 bytes)      agent: nothing
//
// Any other command (case is ignored) is dropped without a reply. Once an
// operation of the batch needs a restart, every later successful reply of
// the batch is "Restart Required". The restart-delete map is loaded when
// the batch begins and stored when it ends, also when the client goes away
// in the middle or a reply cannot be written.
#pragma once

#include <string>

#include "platform/pipe.h"

namespace vxagent {

inline constexpr char kSpyOperationCommand[] = "SPYOPERATION";
inline constexpr char kEndOfRecords[] = "ENDOFRECORDS";
inline constexpr char kReplyOk[] = "OK";
inline constexpr char kReplyUnsuccess[] = "UNSUCCESS";
inline constexpr char kReplyRestartRequired[] = "Restart Required";

// The reply to one received record text (split, SpyOperation, reply text).
std::string AnswerSpyOperationRecord(const std::string& record);

// The pipe exchange after the SCommand (see pipe_io.h): false when the pipe
// itself failed.
bool LogPipeExchange(platform::PipeServer& pipe);

}  // namespace vxagent
