#include "platform/remote_wire.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace platform::remote {

WireWriter& WireWriter::U8(uint8_t v) {
  data_.push_back(static_cast<char>(v));
  return *this;
}
WireWriter& WireWriter::U16(uint16_t v) {
  for (int i = 0; i < 2; ++i) data_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return *this;
}
WireWriter& WireWriter::U32(uint32_t v) {
  for (int i = 0; i < 4; ++i) data_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return *this;
}
WireWriter& WireWriter::U64(uint64_t v) {
  for (int i = 0; i < 8; ++i) data_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return *this;
}
WireWriter& WireWriter::Str(std::string_view s) {
  U32(static_cast<uint32_t>(s.size()));
  data_.append(s);
  return *this;
}
WireWriter& WireWriter::Raw(std::string_view s) {
  data_.append(s);
  return *this;
}

bool WireReader::U8(uint8_t* v) {
  if (remaining() < 1) return false;
  *v = static_cast<uint8_t>(data_[pos_++]);
  return true;
}
bool WireReader::U16(uint16_t* v) {
  if (remaining() < 2) return false;
  uint16_t r = 0;
  for (int i = 0; i < 2; ++i) r |= static_cast<uint16_t>(static_cast<uint8_t>(data_[pos_ + i])) << (8 * i);
  pos_ += 2;
  *v = r;
  return true;
}
bool WireReader::U32(uint32_t* v) {
  if (remaining() < 4) return false;
  uint32_t r = 0;
  for (int i = 0; i < 4; ++i) r |= static_cast<uint32_t>(static_cast<uint8_t>(data_[pos_ + i])) << (8 * i);
  pos_ += 4;
  *v = r;
  return true;
}
bool WireReader::U64(uint64_t* v) {
  if (remaining() < 8) return false;
  uint64_t r = 0;
  for (int i = 0; i < 8; ++i) r |= static_cast<uint64_t>(static_cast<uint8_t>(data_[pos_ + i])) << (8 * i);
  pos_ += 8;
  *v = r;
  return true;
}
bool WireReader::I64(int64_t* v) {
  uint64_t u;
  if (!U64(&u)) return false;
  *v = static_cast<int64_t>(u);
  return true;
}
bool WireReader::Str(std::string* s, uint32_t max) {
  size_t start = pos_;
  uint32_t n;
  if (!U32(&n)) return false;
  if (n > max || n > remaining()) {
    pos_ = start;
    return false;
  }
  s->assign(data_.substr(pos_, n));
  pos_ += n;
  return true;
}

const char* FrameStatusName(FrameStatus status) {
  switch (status) {
    case FrameStatus::kOk: return "ok";
    case FrameStatus::kClosed: return "closed";
    case FrameStatus::kTruncated: return "truncated frame";
    case FrameStatus::kTooLarge: return "frame too large";
    case FrameStatus::kTimeout: return "idle time-out";
    case FrameStatus::kError: return "connection error";
  }
  return "?";
}

TlsConnection::TlsConnection(SSL* ssl, int fd) : ssl_(ssl), fd_(fd) {}

TlsConnection::~TlsConnection() {
  Shutdown();
  SSL_free(ssl_);
  ::close(fd_);
}

void TlsConnection::Shutdown() {
  if (shut_) return;
  shut_ = true;
  // A quiet close: the peer may already be gone, so never wait for its
  // close_notify, and never let SIGPIPE end the process.
  SSL_set_quiet_shutdown(ssl_, 1);
  SSL_shutdown(ssl_);
  ::shutdown(fd_, SHUT_RDWR);
}

void TlsConnection::SetReceiveTimeout(uint32_t milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool TlsConnection::HasBuffered() const { return SSL_has_pending(ssl_) == 1; }

int TlsConnection::ReadExact(char* out, size_t size) {
  size_t got = 0;
  while (got < size) {
    size_t n = 0;
    ERR_clear_error();
    errno = 0;
    int rc = SSL_read_ex(ssl_, out + got, size - got, &n);
    if (rc == 1) {
      got += n;
      continue;
    }
    int err = SSL_get_error(ssl_, rc);
    if (err == SSL_ERROR_ZERO_RETURN) return got == 0 ? 1 : 2;
    if (err == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK)) return 3;
    if (err == SSL_ERROR_WANT_READ) return 3;
    // A peer that goes between frames without a TLS close (reset or plain
    // end of stream) has closed; inside a frame the frame is cut.
    if (err == SSL_ERROR_SYSCALL) return got == 0 ? 1 : 2;
    return got == 0 ? 4 : 2;
  }
  return 0;
}

FrameStatus TlsConnection::ReadFrame(std::string* body, uint32_t max_body) {
  unsigned char head[4];
  int rc = ReadExact(reinterpret_cast<char*>(head), 4);
  if (rc == 1) return FrameStatus::kClosed;
  if (rc == 3) return FrameStatus::kTimeout;
  if (rc == 2) return FrameStatus::kTruncated;
  if (rc != 0) return FrameStatus::kError;
  uint32_t len = static_cast<uint32_t>(head[0]) | static_cast<uint32_t>(head[1]) << 8 |
                 static_cast<uint32_t>(head[2]) << 16 | static_cast<uint32_t>(head[3]) << 24;
  if (len > max_body) return FrameStatus::kTooLarge;
  std::string data;
  // Grow as bytes arrive rather than trusting the announced length.
  constexpr size_t kChunk = 64 * 1024;
  while (data.size() < len) {
    size_t want = std::min<size_t>(kChunk, len - data.size());
    size_t old = data.size();
    data.resize(old + want);
    rc = ReadExact(data.data() + old, want);
    if (rc != 0) return rc == 4 ? FrameStatus::kError : FrameStatus::kTruncated;
  }
  *body = std::move(data);
  return FrameStatus::kOk;
}

bool TlsConnection::WriteFrame(std::string_view body) {
  std::string frame;
  frame.reserve(body.size() + 4);
  uint32_t len = static_cast<uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) frame.push_back(static_cast<char>((len >> (8 * i)) & 0xFF));
  frame.append(body);
  size_t done = 0;
  while (done < frame.size()) {
    size_t n = 0;
    ERR_clear_error();
    if (SSL_write_ex(ssl_, frame.data() + done, frame.size() - done, &n) != 1) return false;
    done += n;
  }
  return true;
}

namespace {
// Threads of this process now looking in PollSpinning, and how many may.
std::atomic<unsigned> g_spinning{0};
unsigned SpinSlots() {
  static const unsigned slots = std::max(1u, std::thread::hardware_concurrency() / 2);
  return slots;
}
// After a look that found nothing, this thread's next waits sleep at once:
// `t_skip` of them, a number that doubles with each fruitless look (up to
// kMaxSkip) and starts again at 1 after a look that paid off. On a busy
// machine answers come late and looking only burns this thread's share.
constexpr unsigned kMaxSkip = 64;
thread_local unsigned t_skip = 0;
thread_local unsigned t_next_skip = 1;
}  // namespace

int PollSpinning(pollfd* fds, nfds_t count, int timeout_ms, uint32_t spin_us) {
  using Clock = std::chrono::steady_clock;
  // A look that took longer than this lost the processor to another thread:
  // the processor is wanted, and sleeping costs that thread nothing.
  constexpr auto kLostProcessor = std::chrono::microseconds(5);
  int rc = ::poll(fds, count, 0);
  if (rc != 0 || timeout_ms == 0) return rc;  // no wait at all
  if (spin_us == 0) return ::poll(fds, count, timeout_ms);
  if (t_skip > 0) {
    --t_skip;
    return ::poll(fds, count, timeout_ms);
  }
  unsigned n = g_spinning.load(std::memory_order_relaxed);
  do {
    if (n >= SpinSlots()) return ::poll(fds, count, timeout_ms);
  } while (!g_spinning.compare_exchange_weak(n, n + 1, std::memory_order_relaxed));
  auto now = Clock::now();
  const auto spin_end = now + std::chrono::microseconds(spin_us);
  bool lost = false;
  while (rc == 0 && now < spin_end) {
    sched_yield();
    auto after = Clock::now();
    lost = after - now > kLostProcessor;
    if (lost) break;
    now = after;
    rc = ::poll(fds, count, 0);
  }
  g_spinning.fetch_sub(1, std::memory_order_relaxed);
  if (rc != 0) {
    t_next_skip = 1;
    return rc;
  }
  // Losing the processor says only that it is wanted now, not that answers
  // come late.
  if (!lost) {
    t_skip = t_next_skip;
    t_next_skip = std::min(t_next_skip * 2, kMaxSkip);
  }
  // The look may have taken some of a bounded wait; a relay's waits are
  // seconds long, so the time-out is not shortened for it.
  return ::poll(fds, count, timeout_ms);
}

namespace {
SSL_CTX* NewContext(const SSL_METHOD* method, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (!ctx) {
    if (error) *error = "TLS context: " + OpenSslErrorText();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
  // Read whole records (and whatever follows) in one system call rather
  // than a header read and a body read per record.
  SSL_CTX_set_read_ahead(ctx, 1);
  return ctx;
}
}  // namespace

SSL_CTX* NewClientContext(std::string* error) {
  SSL_CTX* ctx = NewContext(TLS_client_method(), error);
  if (ctx) SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  return ctx;
}

SSL_CTX* NewServerContext(const std::string& cert_file, const std::string& key_file,
                          std::string* error) {
  SSL_CTX* ctx = NewContext(TLS_server_method(), error);
  if (!ctx) return nullptr;
  // No session tickets: a ticket arriving after the handshake would make a
  // blocking read wait for application data that is not coming.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_use_certificate_file(ctx, cert_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    if (error) *error = cert_file + ": cannot load the host certificate and key: " + OpenSslErrorText();
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

std::string CertificateFingerprint(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!cert || X509_digest(cert, EVP_sha256(), md, &len) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string out = "sha256:";
  for (unsigned int i = 0; i < len; ++i) {
    out.push_back(kHex[md[i] >> 4]);
    out.push_back(kHex[md[i] & 15]);
  }
  return out;
}

std::string OpenSslErrorText() {
  unsigned long e = ERR_peek_last_error();
  if (!e) return "unknown TLS error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

}  // namespace platform::remote
