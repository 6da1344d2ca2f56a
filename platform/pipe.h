// Named pipes in message mode (CreateNamedPipeA, ConnectNamedPipe,
// DisconnectNamedPipe, WaitNamedPipeA, CreateFileA on a pipe, ReadFile,
// WriteFile, FlushFileBuffers).
//
// A local pipe "\\.\pipe\Name" of a host is one SOCK_SEQPACKET Unix socket
// at <root>/run/pipe/Name with exactly one server instance per name (names
// compare without regard to case). The instance serves one client at a
// time; other clients wait in WaitNamedPipe until it listens again.
// docs/formats/local-pipes.md describes the files and the framing.
//
// Messages keep their boundaries both ways: one Write is one message, one
// Read returns one message. A Read into a buffer smaller than the message
// fills the buffer, fails with 234 (more data) and leaves the rest of the
// message for the next Reads. Reads and writes on a connection whose peer
// has gone fail with 109, and so does a read that finds the peer's orderly
// close. Messages written before the peer went away stay readable.
//
// Remote pipes "\\HOST\pipe\Name" are opened through the connector that the
// remote layer registers (RegisterRemotePipeConnector); without one they
// fail with 53.
//
// CreateFileA on a pipe name through File::Open (file.h) opens a PipeClient
// connection too: this module installs itself as the pipe file system.
//
// Every operation that fails returns false and sets the thread's last
// error; out-parameters are left untouched on failure, except that a Read
// failing with 234 has filled the buffer and `*read` with the first part of
// the message (callers count that as a read, as on Windows).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// Time-outs of WaitNamedPipe (NMPWAIT_USE_DEFAULT_WAIT, NMPWAIT_WAIT_FOREVER).
constexpr uint32_t kPipeWaitDefault = 0;
constexpr uint32_t kPipeWaitForever = 0xFFFFFFFFu;
// What kPipeWaitDefault stands for, in milliseconds.
constexpr uint32_t kPipeDefaultTimeoutMs = 50;

// The client's end of one connection. Local pipes and the remote relay
// provide implementations; PipeClient owns one.
class PipeConnection {
 public:
  virtual ~PipeConnection() = default;
  virtual bool Read(void* buffer, uint32_t size, uint32_t* read) = 0;
  virtual bool Write(const void* data, uint32_t size, uint32_t* written) = 0;
  virtual bool Flush() = 0;
};

// How "\\HOST\pipe\Name" is reached; the remote layer implements it.
class RemotePipeConnector {
 public:
  virtual ~RemotePipeConnector() = default;
  // WaitNamedPipeA on `pipe_name` of `host`, with the results of the local
  // WaitNamedPipe plus the network errors (53, 1326, ...).
  virtual bool Wait(const std::string& host, const std::string& pipe_name,
                    uint32_t timeout_ms) = 0;
  // CreateFileA on the pipe: the connection, or null with the last error set.
  virtual std::unique_ptr<PipeConnection> Open(const std::string& host,
                                               const std::string& pipe_name) = 0;
};

// Installs the connector for remote pipe names (null removes it). The
// connector must outlive its use.
void RegisterRemotePipeConnector(RemotePipeConnector* connector);

// WaitNamedPipeA: true as soon as the pipe's instance listens for a client.
// Fails with 2 when no instance of the pipe exists when called, with 121
// when the time-out ends first, 123 for a name that is no pipe name.
// `timeout_ms` may be kPipeWaitDefault or kPipeWaitForever. Like on
// Windows, another client may still take the instance before Open.
bool WaitNamedPipe(std::string_view name, uint32_t timeout_ms);

// The client end of a pipe (CreateFileA / ReadFile / WriteFile /
// FlushFileBuffers / CloseHandle).
class PipeClient {
 public:
  PipeClient();
  ~PipeClient();
  PipeClient(PipeClient&& other) noexcept;
  PipeClient& operator=(PipeClient&& other) noexcept;
  PipeClient(const PipeClient&) = delete;
  PipeClient& operator=(const PipeClient&) = delete;
  // For connectors that construct their own connections.
  explicit PipeClient(std::unique_ptr<PipeConnection> impl);

  // Connects to the pipe `name` ("\\.\pipe\X" or "\\HOST\pipe\X"); closes
  // what this object held first. Fails with 2 when no instance exists, 231
  // when the instance serves another client, 123 for a bad name. A client
  // may write at once, even before the server has called Connect.
  bool Open(std::string_view name);
  bool IsValid() const { return impl_ != nullptr; }
  void Close();

  // One message per call. Writing 0 bytes succeeds and sends nothing.
  bool Read(void* buffer, uint32_t size, uint32_t* read);
  bool Write(const void* data, uint32_t size, uint32_t* written);
  // Waits until the server has read everything written so far (or has
  // gone). Fails with 109 when the server has already gone.
  bool Flush();

 private:
  std::unique_ptr<PipeConnection> impl_;
};

// The one server instance of a local pipe (CreateNamedPipeA with one
// instance, ConnectNamedPipe, DisconnectNamedPipe, ReadFile, WriteFile,
// FlushFileBuffers, CloseHandle). One thread drives an instance; only
// Cancel may be called from another thread.
//
// Life cycle: Create (listening: a client may connect from now on) ->
// Connect (takes that client, or waits for one) -> exchange -> Disconnect
// (drops the client, listens again) -> Connect ... -> Close.
class PipeServer {
 public:
  PipeServer();
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates the instance of local pipe `name` ("\\.\pipe\X") and starts
  // listening. Fails with 231 when a live instance of that name exists
  // (in any process of the host), 123 for a name that is no local pipe
  // name, 206 when the name is too long for a socket path.
  bool Create(std::string_view name);
  bool IsValid() const;
  // Removes the instance: the connected client sees 109, new opens see 2.
  void Close();

  // Waits for a client and takes it. A client that connected before the
  // call is taken at once; so is one that connected and already closed
  // (its first read then fails with 109). True while a client is taken.
  bool Connect();
  // Drops the client (it reads what was already written, then 109) and
  // listens again. Also drops a client that connected without Connect.
  bool Disconnect();

  // Fail with 233 while no client is taken.
  bool Read(void* buffer, uint32_t size, uint32_t* read);
  bool Write(const void* data, uint32_t size, uint32_t* written);
  bool Flush();

  // Thread-safe: makes the blocking call in progress (Connect, Read, Write,
  // Flush) and every later one fail with 995, so that a serving thread can
  // be stopped. The owner still closes the object.
  void Cancel();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform
