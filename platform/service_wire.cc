#include "platform/service_wire.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/error.h"

namespace platform::service_wire {

void Writer::U32(uint32_t v) {
  for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void Writer::Text(std::string_view s) {
  U32(static_cast<uint32_t>(s.size()));
  buf_.append(s);
}

void Writer::Status(const SERVICE_STATUS& s) {
  U32(s.dwServiceType);
  U32(s.dwCurrentState);
  U32(s.dwControlsAccepted);
  U32(s.dwWin32ExitCode);
  U32(s.dwServiceSpecificExitCode);
  U32(s.dwCheckPoint);
  U32(s.dwWaitHint);
}

void Writer::Config(const ServiceConfig& c) {
  Text(c.name);
  Text(c.display_name);
  U32(c.service_type);
  U32(c.start_type);
  U32(c.error_control);
  Text(c.image_path);
  Text(c.account);
}

bool Reader::U32(uint32_t* v) {
  if (data_.size() - pos_ < 4) return false;
  uint32_t r = 0;
  for (int i = 0; i < 4; ++i) r |= static_cast<uint32_t>(static_cast<uint8_t>(data_[pos_ + i])) << (8 * i);
  pos_ += 4;
  *v = r;
  return true;
}

bool Reader::Text(std::string* s, uint32_t max) {
  size_t start = pos_;
  uint32_t n = 0;
  if (!U32(&n)) return false;
  if (n > max || data_.size() - pos_ < n) {
    pos_ = start;
    return false;
  }
  s->assign(data_.substr(pos_, n));
  pos_ += n;
  return true;
}

bool Reader::Status(SERVICE_STATUS* s) {
  if (data_.size() - pos_ < 28) return false;
  SERVICE_STATUS r;
  U32(&r.dwServiceType);
  U32(&r.dwCurrentState);
  U32(&r.dwControlsAccepted);
  U32(&r.dwWin32ExitCode);
  U32(&r.dwServiceSpecificExitCode);
  U32(&r.dwCheckPoint);
  U32(&r.dwWaitHint);
  *s = r;
  return true;
}

bool Reader::Config(ServiceConfig* c) {
  size_t start = pos_;
  ServiceConfig r;
  if (Text(&r.name) && Text(&r.display_name) && U32(&r.service_type) && U32(&r.start_type) &&
      U32(&r.error_control) && Text(&r.image_path) && Text(&r.account)) {
    *c = std::move(r);
    return true;
  }
  pos_ = start;
  return false;
}

namespace {

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      return Fail(errno == EPIPE || errno == ECONNRESET ? kErrorBrokenPipe : ErrorFromErrno(errno));
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return Fail(errno == ECONNRESET ? kErrorBrokenPipe : ErrorFromErrno(errno));
    }
    if (r == 0) return Fail(kErrorBrokenPipe);
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

bool WriteFrame(int fd, std::string_view body) {
  if (body.empty() || body.size() > kMaxFrame) return Fail(kErrorInvalidData);
  Writer head;
  head.U32(static_cast<uint32_t>(body.size()));
  std::string frame = head.data();
  frame.append(body);
  return WriteAll(fd, frame.data(), frame.size());
}

bool ReadFrame(int fd, std::string* body) {
  char head[4];
  if (!ReadAll(fd, head, sizeof head)) return false;
  uint32_t n = 0;
  Reader(std::string_view(head, 4)).U32(&n);
  if (n == 0 || n > kMaxFrame) return Fail(kErrorInvalidData);
  std::string buf(n, '\0');
  if (!ReadAll(fd, buf.data(), n)) return false;
  *body = std::move(buf);
  return true;
}

}  // namespace platform::service_wire
