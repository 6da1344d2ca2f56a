#include "VXAgent/service/pipe_io.h"

#include "VXAgent/pipes/records.h"
#include "platform/error.h"

namespace vxagent {

ReadResult ReadRecord(platform::PipeServer& pipe, uint8_t* buf, uint32_t size, uint32_t* got) {
  *got = 0;
  if (pipe.Read(buf, size, got) && *got > 0) return ReadResult::kOk;
  uint32_t code = platform::GetLastError();
  if (code == platform::kErrorMoreData) return ReadResult::kOk;  // first part is the record
  if (code == platform::kErrorBrokenPipe || code == platform::kErrorPipeNotConnected ||
      code == platform::kErrorNoData || code == platform::kErrorSuccess)
    return ReadResult::kClientGone;
  return ReadResult::kPipeDead;
}

bool WriteLine(platform::PipeServer& pipe, const std::string& text) {
  records::Bytes line = records::EncodeLine(text);
  uint32_t written = 0;
  if (!pipe.Write(line.data(), static_cast<uint32_t>(line.size()), &written) ||
      written != line.size())
    return false;
  pipe.Flush();
  return true;
}

bool UnservedExchange(platform::PipeServer& pipe) {
  uint8_t buf[records::kSpyOperationMaxSize];
  uint32_t got = 0;
  return ReadRecord(pipe, buf, sizeof buf, &got) != ReadResult::kPipeDead;
}

}  // namespace vxagent
