// Named pipes of another host through its daemon's relay: messages keep
// their boundaries both ways, WaitNamedPipe's time-out holds end to end,
// and either end going away is seen by the other.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "hostd/tests/support/remote_daemon.h"
#include "platform/error.h"
#include "platform/pipe.h"
#include "platform/remote_session.h"
#include "platform/share.h"
#include "platform/testing/temp_host.h"

namespace {
namespace pr = platform::remote;
using hostd::testing::Daemon;
using hostd::testing::RawSession;

const std::vector<hostd::testing::DaemonUser> kUsers = {
    {"Administrator", "Administrators", "adm1n-pw"},
    {"bob", "Users", "bob-pw"},
};

// A pipe server of PC1, run by the test: echoes each message, answers
// "big:N" with one N-byte message, "bye" by dropping the client.
class EchoPipe {
 public:
  EchoPipe(platform::Host* host, const std::string& name) {
    platform::ScopedHost scope(host);
    ok_ = server_.Create("\\\\.\\pipe\\" + name);
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }
  ~EchoPipe() {
    server_.Cancel();
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return ok_; }
  int clients() const { return clients_.load(); }
  int ended_by_error() const { return ended_by_error_.load(); }

 private:
  void Serve() {
    std::string buf(256 * 1024, '\0');
    while (server_.Connect()) {
      ++clients_;
      while (true) {
        uint32_t n = 0, w = 0;
        if (!server_.Read(buf.data(), static_cast<uint32_t>(buf.size()), &n)) {
          if (platform::GetLastError() == platform::kErrorBrokenPipe) ++ended_by_error_;
          break;
        }
        std::string m(buf.data(), n);
        if (m == "bye") break;
        if (m.rfind("big:", 0) == 0) m = std::string(std::stoul(m.substr(4)), 'x');
        if (!server_.Write(m.data(), static_cast<uint32_t>(m.size()), &w)) break;
      }
      if (!server_.Disconnect()) break;
    }
  }

  platform::PipeServer server_;
  bool ok_ = false;
  std::thread thread_;
  std::atomic<int> clients_{0};
  std::atomic<int> ended_by_error_{0};
};

class RemotePipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon_ = std::make_unique<Daemon>(dir_.path() + "/pc1", "PC1", kUsers);
    std::string error;
    pc1_ = platform::Host::Load(daemon_->root(), &error);
    ASSERT_TRUE(pc1_) << error;
    console_ = hostd::testing::MakeConsoleHost(dir_.path() + "/console", {{"PC1", daemon_->port()}});
    scope_ = std::make_unique<platform::ScopedHost>(console_.get());
    pr::Client::Get().Reset();
    platform::InstallRemoteAccess();
    ASSERT_TRUE(pr::SaveCredentials(*console_, "PC1", {"bob", "bob-pw"}));  // pipes need no administrator
  }
  void TearDown() override {
    pr::Client::Get().Reset();
    scope_.reset();
  }

  platform::testing::TempDir dir_;
  std::unique_ptr<Daemon> daemon_;
  std::unique_ptr<platform::Host> pc1_, console_;
  std::unique_ptr<platform::ScopedHost> scope_;
};

const char* const kName = "\\\\PC1\\pipe\\RemoteAdminCheckVersionPipe";

TEST_F(RemotePipeTest, MessagesKeepTheirBoundaries) {
  EchoPipe echo(pc1_.get(), "RemoteAdminCheckVersionPipe");
  ASSERT_TRUE(echo.ok());
  ASSERT_TRUE(platform::WaitNamedPipe(kName, 5000)) << platform::GetLastError();
  platform::PipeClient c;
  ASSERT_TRUE(c.Open("\\\\pc1\\PIPE\\remoteadmincheckversionpipe")) << platform::GetLastError();
  uint32_t n = 0;
  char buf[300];
  for (const std::string& m : {std::string("\0\0\0\0", 4), std::string(522, 'v'), std::string("5.1")}) {
    ASSERT_TRUE(c.Write(m.data(), static_cast<uint32_t>(m.size()), &n));
    EXPECT_EQ(n, m.size());
    ASSERT_TRUE(c.Flush());
    std::string got;
    // A reader smaller than the message gets it in parts, with 234 before the last.
    while (true) {
      bool ok = c.Read(buf, sizeof buf, &n);
      got.append(buf, n);
      if (ok) break;
      ASSERT_EQ(platform::GetLastError(), platform::kErrorMoreData);
    }
    EXPECT_EQ(got, m);
  }
  // Two messages written before reading stay two messages.
  ASSERT_TRUE(c.Write("one", 3, &n));
  ASSERT_TRUE(c.Write("three", 5, &n));
  ASSERT_TRUE(c.Read(buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), "one");
  ASSERT_TRUE(c.Read(buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), "three");
  // A burst each way: every message arrives, whole and in order, also when
  // several arrive together and wait in the relay's buffers.
  constexpr int kBurst = 200;
  for (int i = 0; i < kBurst; ++i) {
    std::string m = "m" + std::to_string(i) + std::string(i % 7 * 40, '.');
    ASSERT_TRUE(c.Write(m.data(), static_cast<uint32_t>(m.size()), &n));
  }
  for (int i = 0; i < kBurst; ++i) {
    ASSERT_TRUE(c.Read(buf, sizeof buf, &n)) << "message " << i << ": " << platform::GetLastError();
    EXPECT_EQ(std::string(buf, n), "m" + std::to_string(i) + std::string(i % 7 * 40, '.'));
  }
  // A large message crosses whole.
  ASSERT_TRUE(c.Write("big:150000", 10, &n));
  std::string big(200000, '\0');
  ASSERT_TRUE(c.Read(big.data(), static_cast<uint32_t>(big.size()), &n));
  EXPECT_EQ(n, 150000u);

  // The server drops the client: the next read sees a broken pipe.
  ASSERT_TRUE(c.Write("bye", 3, &n));
  EXPECT_FALSE(c.Read(buf, sizeof buf, &n));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorBrokenPipe);
}

TEST_F(RemotePipeTest, WaitTimeOutHoldsEndToEnd) {
  platform::PipeClient c;
  EXPECT_FALSE(platform::WaitNamedPipe(kName, 100));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_FALSE(c.Open(kName));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);

  EchoPipe echo(pc1_.get(), "RemoteAdminCheckVersionPipe");
  ASSERT_TRUE(echo.ok());
  platform::PipeClient first;
  ASSERT_TRUE(platform::WaitNamedPipe(kName, 5000));
  ASSERT_TRUE(first.Open(kName));
  uint32_t n = 0;
  char buf[16];
  ASSERT_TRUE(first.Write("hi", 2, &n));
  ASSERT_TRUE(first.Read(buf, sizeof buf, &n));  // the instance now serves `first`
  // A second client waits in vain while the one instance is taken...
  EXPECT_FALSE(platform::WaitNamedPipe(kName, 150));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSemTimeout);
  EXPECT_FALSE(c.Open(kName));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorPipeBusy);
  // ...and gets it once the first one leaves.
  std::thread leave([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    first.Close();
  });
  EXPECT_TRUE(platform::WaitNamedPipe(kName, 5000)) << platform::GetLastError();
  leave.join();
  ASSERT_TRUE(c.Open(kName)) << platform::GetLastError();
  ASSERT_TRUE(c.Write("again", 5, &n));
  ASSERT_TRUE(c.Read(buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), "again");
}

TEST_F(RemotePipeTest, VanishingClientFreesTheInstance) {
  EchoPipe echo(pc1_.get(), "RemoteAdminScanPipe");
  ASSERT_TRUE(echo.ok());
  {
    RawSession s(daemon_->port());
    ASSERT_EQ(s.Logon("bob", "bob-pw"), 0u);
    ASSERT_EQ(s.Call(pr::WireWriter().U8(pr::kOpPipeOpen).Str("RemoteAdminScanPipe").Take()), 0u);
    // Half a relay frame, then gone.
    s.WriteRaw(std::string("\x10\x00\x00\x00\x01\x02", 6));
    s.conn().Shutdown();
  }
  EXPECT_TRUE(daemon_->WaitForLog("relay ended: truncated frame"));
  // The daemon let go of the local pipe and still serves other clients.
  platform::PipeClient c;
  ASSERT_TRUE(platform::WaitNamedPipe("\\\\PC1\\pipe\\RemoteAdminScanPipe", 5000)) << platform::GetLastError();
  ASSERT_TRUE(c.Open("\\\\PC1\\pipe\\RemoteAdminScanPipe")) << platform::GetLastError();
  uint32_t n = 0;
  char buf[16];
  ASSERT_TRUE(c.Write("ok?", 3, &n));
  ASSERT_TRUE(c.Read(buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), "ok?");
  EXPECT_EQ(echo.clients(), 2);
  EXPECT_EQ(echo.ended_by_error(), 1);
}

}  // namespace
