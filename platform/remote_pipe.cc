// Named pipes of other hosts ("\\HOST\pipe\Name"): a session of its own
// per pipe connection, which the host's daemon turns into a relay to the
// local pipe. WaitNamedPipe waits on the host itself, so its time-out holds
// end to end; the session that waited is kept for the open that follows on
// the same thread.
#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/pipe.h"
#include "platform/remote_session.h"
#include "platform/strings.h"

namespace platform {
namespace {

class RemotePipeConnection : public PipeConnection {
 public:
  explicit RemotePipeConnection(std::unique_ptr<remote::Connection> c) : c_(std::move(c)) {}

  bool Read(void* buffer, uint32_t size, uint32_t* read) override {
    if (rest_.empty()) {
      std::string message;
      if (!c_->ReadMessage(&message)) return false;
      rest_ = std::move(message);
      offset_ = 0;
    }
    size_t left = rest_.size() - offset_;
    size_t n = std::min<size_t>(left, size);
    std::copy(rest_.data() + offset_, rest_.data() + offset_ + n, static_cast<char*>(buffer));
    offset_ += n;
    *read = static_cast<uint32_t>(n);
    if (offset_ < rest_.size()) return Fail(kErrorMoreData);  // the rest comes with the next reads
    rest_.clear();
    return true;
  }

  bool Write(const void* data, uint32_t size, uint32_t* written) override {
    if (size > 0 && !c_->WriteMessage(data, size)) return false;
    *written = size;
    return true;
  }

  // The relay forwards each message as it comes; what is written has left
  // this host when Write returns.
  bool Flush() override { return c_->broken() ? Fail(kErrorBrokenPipe) : true; }

 private:
  std::unique_ptr<remote::Connection> c_;
  std::string rest_;
  size_t offset_ = 0;
};

struct WaitedSession {
  std::string host, pipe;
  std::unique_ptr<remote::Connection> session;
};
thread_local WaitedSession t_waited;

class RemotePipes : public RemotePipeConnector {
 public:
  bool Wait(const std::string& host, const std::string& pipe_name, uint32_t timeout_ms) override {
    t_waited.session.reset();
    std::unique_ptr<remote::Connection> c = remote::Client::Get().OpenSession(host);
    if (!c) return false;
    remote::WireWriter w;
    w.U8(remote::kOpPipeWait).Str(pipe_name).U32(timeout_ms);
    std::string payload;
    if (!c->CallWaiting(w.data(), timeout_ms, &payload)) return false;
    t_waited = {ToUpperAscii(host), ToLowerAscii(pipe_name), std::move(c)};
    return true;
  }

  std::unique_ptr<PipeConnection> Open(const std::string& host, const std::string& pipe_name) override {
    std::unique_ptr<remote::Connection> c;
    if (t_waited.session && t_waited.host == ToUpperAscii(host) &&
        t_waited.pipe == ToLowerAscii(pipe_name) && !t_waited.session->broken())
      c = std::move(t_waited.session);
    t_waited.session.reset();
    if (!c) c = remote::Client::Get().OpenSession(host);
    if (!c) return nullptr;
    remote::WireWriter w;
    w.U8(remote::kOpPipeOpen).Str(pipe_name);
    std::string payload;
    if (!c->Call(w.data(), &payload)) return nullptr;
    return std::make_unique<RemotePipeConnection>(std::move(c));
  }
};

}  // namespace

void InstallRemotePipes() {
  static RemotePipes* pipes = new RemotePipes();  // lives as long as the process
  RegisterRemotePipeConnector(pipes);
}

}  // namespace platform
