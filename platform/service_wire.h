// Wire encoding shared by the SCM's clients, the host daemon and service
// programs: the request/reply frames on <root>/run/scm.sock and the
// messages on a service's control channel (docs/formats/scm-protocol.md).
//
// Integers are little-endian 32-bit, written byte by byte; texts are a
// 32-bit length followed by that many bytes (no NUL). Readers check every
// length against the bytes really there before allocating.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/service.h"

namespace platform::service_wire {

// Largest frame body accepted on the SCM socket and largest channel message.
constexpr uint32_t kMaxFrame = 64 * 1024;
// Longest text inside a frame (service names are far shorter).
constexpr uint32_t kMaxText = 32 * 1024;
constexpr uint32_t kProtocolVersion = 1;

// Requests on the SCM socket (first field of every request body).
enum Op : uint32_t {
  kOpHello = 1,           // u32 version -> u32 version, text computer name
  kOpOpenService = 2,     // text name -> u32 handle, text stored name
  kOpCreateService = 3,   // config fields -> u32 handle, text stored name
  kOpStartService = 4,    // u32 handle, u32 argc, argc texts -> (nothing)
  kOpControlService = 5,  // u32 handle, u32 control -> status
  kOpQueryStatus = 6,     // u32 handle -> status
  kOpDeleteService = 7,   // u32 handle -> (nothing)
  kOpEnumServices = 8,    // (nothing) -> u32 count, count x (text, text, status)
  kOpQueryConfig = 9,     // u32 handle -> config fields
  kOpCloseHandle = 10,    // u32 handle -> (nothing)
};

// Messages on a service's control channel (first field of every message).
enum ChannelKind : uint32_t {
  kMsgConnect = 1,      // program -> SCM: u32 pid, text dispatch table name
  kMsgStatus = 2,       // program -> SCM: status
  kMsgControl = 3,      // SCM -> program: u32 sequence, u32 control
  kMsgControlDone = 4,  // program -> SCM: u32 sequence, u32 result
  kMsgStart = 5,        // SCM -> program: u32 argc, argc texts (after connect)
};

class Writer {
 public:
  void U32(uint32_t v);
  void Text(std::string_view s);
  void Status(const SERVICE_STATUS& s);
  void Config(const ServiceConfig& c);
  const std::string& data() const { return buf_; }

 private:
  std::string buf_;
};

// Reads fields in order; each read fails (false, nothing consumed) when
// the remaining bytes cannot hold the field.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}
  bool U32(uint32_t* v);
  bool Text(std::string* s, uint32_t max = kMaxText);
  bool Status(SERVICE_STATUS* s);
  bool Config(ServiceConfig* c);
  bool AtEnd() const { return pos_ == data_.size(); }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

// One frame on a stream socket: u32 body length, then the body. Both set
// the last error on failure (109 when the peer closed, 13 for a length
// of 0 or above kMaxFrame).
bool WriteFrame(int fd, std::string_view body);
bool ReadFrame(int fd, std::string* body);

}  // namespace platform::service_wire
