// Pipe exchanges shaped like the console's: a 260-byte request written and
// flushed, one 260-byte reply read. Shared by the pipe benchmarks.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "platform/pipe.h"

namespace vxbench {

constexpr uint32_t kRecordSize = 260;  // a ReplyLine

// Serves the local pipe `name` like an agent thread: takes a client,
// answers every message with one record, listens again when the client
// goes. Stops on destruction.
class EchoServer {
 public:
  explicit EchoServer(const std::string& name) {
    ok_ = server_.Create(name);
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }
  ~EchoServer() {
    server_.Cancel();
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return ok_; }

 private:
  void Serve() {
    char buf[1024];
    char reply[kRecordSize] = "Same Versions";
    while (server_.Connect()) {
      uint32_t n = 0, w = 0;
      while (server_.Read(buf, sizeof buf, &n) && server_.Write(reply, kRecordSize, &w)) {
        server_.Flush();
      }
      if (!server_.Disconnect()) break;
    }
  }

  platform::PipeServer server_;
  bool ok_ = false;
  std::thread thread_;
};

// One exchange on an open client; false on any failure or short transfer.
inline bool RoundTrip(platform::PipeClient& client) {
  char request[kRecordSize] = {};
  std::memcpy(request, "5.1", 4);
  char reply[kRecordSize];
  uint32_t n = 0;
  return client.Write(request, kRecordSize, &n) && n == kRecordSize && client.Flush() &&
         client.Read(reply, sizeof reply, &n) && n == kRecordSize;
}

}  // namespace vxbench
