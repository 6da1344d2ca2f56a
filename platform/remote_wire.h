// The wire of remote access between hosts: TLS connections carrying framed
// requests and replies (docs/formats/remote-protocol.md).
//
// A frame is a 32-bit little-endian body length followed by the body. The
// first byte of a request body is its operation; a reply body starts with a
// 32-bit status (a Windows error code, 0 for success). Integers are written
// and read byte by byte; every length is checked against the bytes really
// present before anything is allocated.
#pragma once

#include <openssl/ssl.h>
#include <poll.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform::remote {

// Port used when a host name resolves through DNS rather than the host map.
constexpr uint16_t kDefaultPort = 44445;
// Largest frame body either side accepts unless configured otherwise.
constexpr uint32_t kDefaultMaxFrame = 1u << 20;
// Largest read or write that one file request carries.
constexpr uint32_t kMaxTransfer = 256u * 1024;

enum Op : uint8_t {
  kOpLogon = 1,         // user, password -> flags (bit 0: administrator)
  kOpTreeConnect = 2,   // share name -> nothing
  kOpOpen = 10,         // path, access, share, disposition, attributes -> handle
  kOpRead = 11,         // handle, size -> bytes
  kOpWrite = 12,        // handle, bytes -> written
  kOpSeek = 13,         // handle, offset (i64), origin -> position
  kOpGetSize = 14,      // handle -> size
  kOpSetEnd = 15,       // handle -> nothing
  kOpFlush = 16,        // handle -> nothing
  kOpGetTimes = 17,     // handle -> creation, access, write
  kOpSetTimes = 18,     // handle, creation, access, write -> nothing
  kOpClose = 19,        // handle -> nothing
  kOpDelete = 20,       // path
  kOpMove = 21,         // from, to, replace
  kOpCopy = 22,         // from, to, fail_if_exists (both on the share)
  kOpMkdir = 23,        // path
  kOpRmdir = 24,        // path
  kOpGetAttr = 25,      // path -> attributes
  kOpSetAttr = 26,      // path, attributes
  kOpFind = 27,         // pattern -> more handle, count, entries
  kOpFindNext = 28,     // more handle -> more handle, count, entries
  kOpSetExecutable = 29,  // path, on (u8): a program copied here stays runnable
  kOpPipeWait = 39,     // pipe name, wait ms -> nothing (WaitNamedPipe)
  kOpPipeOpen = 40,     // pipe name -> then relay mode
  kOpScmOpen = 41,      // -> nothing; the session now has a service-manager session
  kOpScmCall = 42,      // service-manager request body -> its reply body
};

// Builds a body: integers little-endian byte by byte, texts and byte
// strings as a 32-bit length then the bytes.
class WireWriter {
 public:
  WireWriter& U8(uint8_t v);
  WireWriter& U16(uint16_t v);
  WireWriter& U32(uint32_t v);
  WireWriter& U64(uint64_t v);
  WireWriter& I64(int64_t v) { return U64(static_cast<uint64_t>(v)); }
  WireWriter& Str(std::string_view s);
  WireWriter& Raw(std::string_view s);
  const std::string& data() const { return data_; }
  std::string Take() { return std::move(data_); }

 private:
  std::string data_;
};

// Reads a body. Each getter returns false, leaving its out-parameter
// untouched, when the bytes it needs are not there.
class WireReader {
 public:
  explicit WireReader(std::string_view data) : data_(data) {}
  bool U8(uint8_t* v);
  bool U16(uint16_t* v);
  bool U32(uint32_t* v);
  bool U64(uint64_t* v);
  bool I64(int64_t* v);
  // A length-prefixed text; false when longer than `max` or than the rest.
  bool Str(std::string* s, uint32_t max = kDefaultMaxFrame);
  size_t remaining() const { return data_.size() - pos_; }
  bool AtEnd() const { return pos_ == data_.size(); }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

// Result of reading a frame.
enum class FrameStatus {
  kOk,
  kClosed,     // the peer closed before the first byte of a frame
  kTruncated,  // the peer closed or failed inside a frame
  kTooLarge,   // the announced length exceeds the limit
  kTimeout,    // nothing arrived within the socket's receive time-out
  kError,      // TLS or socket failure
};
const char* FrameStatusName(FrameStatus status);

// One TLS connection over a connected TCP socket; owns both. Not thread
// safe: one thread reads and writes at a time.
class TlsConnection {
 public:
  // Takes ownership of `ssl` (already bound to `fd`) and of `fd`.
  TlsConnection(SSL* ssl, int fd);
  ~TlsConnection();
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;

  int fd() const { return fd_; }
  SSL* ssl() const { return ssl_; }

  FrameStatus ReadFrame(std::string* body, uint32_t max_body);
  bool WriteFrame(std::string_view body);
  // Whether the TLS layer holds bytes already read from the socket (records
  // read ahead, or decrypted data not yet handed out): poll on the socket
  // does not see them.
  bool HasBuffered() const;
  // Sets the receive time-out of the socket (0 = none).
  void SetReceiveTimeout(uint32_t milliseconds);
  // Sends the TLS close and shuts the socket down (idempotent).
  void Shutdown();

 private:
  // Reads exactly `size` bytes; 0 = ok, 1 = closed before any, 2 = closed
  // or failed after some, 3 = time-out, 4 = error.
  int ReadExact(char* out, size_t size);

  SSL* ssl_;
  int fd_;
  bool shut_ = false;
};

// How long a relay looks for the next message before it sleeps: an
// exchange's answer usually comes within microseconds, while a processor
// that has gone idle takes tens of them to wake up again.
constexpr uint32_t kRelaySpinUs = 100;

// poll(2) for the waits of a relay. When the wait may last (`timeout_ms`
// not 0), first looks for up to `spin_us` without sleeping, yielding the
// processor between looks; it stops looking as soon as the processor goes
// to another thread (the processor is wanted). Only half the processors'
// worth of threads of the process look at a time, the others sleep at
// once, and a thread whose look found nothing sleeps at once for its next
// few waits (more after each fruitless look). Then polls with `timeout_ms`
// (-1: no limit). Returns as poll.
int PollSpinning(pollfd* fds, nfds_t count, int timeout_ms, uint32_t spin_us);

// TLS 1.3-only contexts. The client verifies nothing itself: callers pin
// the peer certificate (see CertificateFingerprint).
SSL_CTX* NewClientContext(std::string* error);
// Server context with the host's certificate and key files.
SSL_CTX* NewServerContext(const std::string& cert_file, const std::string& key_file,
                          std::string* error);

// "sha256:" followed by the lower-case hex SHA-256 of the certificate's DER.
std::string CertificateFingerprint(X509* cert);

// Text of the newest OpenSSL error of this thread, for messages.
std::string OpenSslErrorText();

}  // namespace platform::remote
