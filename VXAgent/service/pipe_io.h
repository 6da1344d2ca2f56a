// Reads and writes of the agent's pipe threads, shared by every exchange.
//
// A read distinguishes a client that went away (the thread disconnects and
// listens again) from a pipe that no longer works (the thread ends). A
// reply line is always one whole 260-byte record, flushed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/pipe.h"

namespace vxagent {

enum class ReadResult { kOk, kClientGone, kPipeDead };

// One read of at most `size` bytes into `buf`; `*got` is the byte count.
// A message longer than `size` yields its first part as kOk.
ReadResult ReadRecord(platform::PipeServer& pipe, uint8_t* buf, uint32_t size, uint32_t* got);

// Writes `text` as one reply line and flushes. False when the write failed
// or was short.
bool WriteLine(platform::PipeServer& pipe, const std::string& text);

// One exchange of a pipe, run after its SCommand was read with
// bThreadExit != 1. Returns false when the pipe itself failed, which ends
// the thread; a client that went away is not a failure.
using Exchange = bool (*)(platform::PipeServer&);

// Pipes whose work is not part of this agent yet: the request is read and
// the client is let go without any reply, so nothing claims success.
bool UnservedExchange(platform::PipeServer& pipe);

}  // namespace vxagent
