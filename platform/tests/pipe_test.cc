#include "platform/pipe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/testing/temp_host.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing::TempHost;

constexpr const char* kPipe = "\\\\.\\pipe\\RemoteAdminScanPipe";

bool WriteText(PipeClient& c, const std::string& text) {
  uint32_t n = 0;
  return c.Write(text.data(), static_cast<uint32_t>(text.size()), &n) && n == text.size();
}
bool WriteText(PipeServer& s, const std::string& text) {
  uint32_t n = 0;
  return s.Write(text.data(), static_cast<uint32_t>(text.size()), &n) && n == text.size();
}

// Reads one message of up to `capacity` bytes; "!<code>" on failure.
template <typename End>
std::string ReadText(End& end, uint32_t capacity = 1024) {
  std::string buf(capacity, '\0');
  uint32_t n = 0;
  if (!end.Read(buf.data(), capacity, &n)) return "!" + std::to_string(GetLastError());
  return buf.substr(0, n);
}

// Runs `body` in a child process and returns its exit code.
template <typename F>
int RunChild(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PipeTest, ServesClientsOneAfterAnotherOnTheSameInstance) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(WaitNamedPipe(kPipe, 1000));
    PipeClient client;
    ASSERT_TRUE(client.Open(kPipe)) << GetLastError();
    ASSERT_TRUE(server.Connect());
    ASSERT_TRUE(WriteText(client, "request " + std::to_string(round)));
    EXPECT_EQ(ReadText(server), "request " + std::to_string(round));
    ASSERT_TRUE(client.Flush());  // everything was read: returns at once
    ASSERT_TRUE(WriteText(server, "reply"));
    EXPECT_EQ(ReadText(client), "reply");
    ASSERT_TRUE(server.Flush());
    ASSERT_TRUE(server.Disconnect());
    // The dropped client finds the connection ended both ways.
    EXPECT_EQ(ReadText(client), "!109");
    EXPECT_FALSE(WriteText(client, "late"));
    EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
  }
}

TEST(PipeTest, ClientThatCameBeforeConnectIsServed) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  PipeClient client;
  ASSERT_TRUE(client.Open(kPipe));
  ASSERT_TRUE(WriteText(client, "early"));
  // While it waits for Connect the instance is taken.
  PipeClient other;
  EXPECT_FALSE(other.Open(kPipe));
  EXPECT_EQ(GetLastError(), kErrorPipeBusy);
  ASSERT_TRUE(server.Connect());
  EXPECT_EQ(ReadText(server), "early");
}

TEST(PipeTest, DisconnectDropsAClientNeverTaken) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  PipeClient dropped;
  ASSERT_TRUE(dropped.Open(kPipe));
  ASSERT_TRUE(WriteText(dropped, "lost"));
  ASSERT_TRUE(server.Disconnect());
  EXPECT_EQ(ReadText(dropped), "!109");
  PipeClient next;
  ASSERT_TRUE(next.Open(kPipe)) << GetLastError();
  ASSERT_TRUE(WriteText(next, "kept"));
  ASSERT_TRUE(server.Connect());
  EXPECT_EQ(ReadText(server), "kept");
}

// Clients racing for the one instance: every client that opens the pipe
// is served; the others are told it is busy and wait again.
TEST(PipeTest, RacingClientsAreEachServedOrToldBusy) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  std::thread serve([&] {
    while (server.Connect()) {
      std::string request = ReadText(server);
      if (request[0] != '!') WriteText(server, "re:" + request);
      ReadText(server);  // the client's close
      if (!server.Disconnect()) break;
    }
  });
  constexpr int kThreads = 4, kEach = 15;
  std::atomic<int> served{0}, broken{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kEach;) {
        if (!WaitNamedPipe(kPipe, 10000)) return;
        PipeClient c;
        if (!c.Open(kPipe)) {
          if (GetLastError() != kErrorPipeBusy) return;
          continue;
        }
        std::string id = std::to_string(t) + "/" + std::to_string(i);
        if (WriteText(c, id) && ReadText(c) == "re:" + id) {
          ++served;
        } else {
          ++broken;
        }
        ++i;
      }
    });
  }
  for (auto& c : clients) c.join();
  server.Cancel();
  serve.join();
  EXPECT_EQ(broken.load(), 0);
  EXPECT_EQ(served.load(), kThreads * kEach);
}

TEST(PipeTest, ReadsKeepMessageBoundariesAndReturnLongOnesInParts) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  PipeClient client;
  ASSERT_TRUE(client.Open(kPipe));
  ASSERT_TRUE(server.Connect());
  struct Case {
    uint32_t message;
    uint32_t buffer;
    std::vector<std::string> reads;  // each read's outcome, "234:" marks more data
  } cases[] = {
      {4, 260, {"ok:4"}},
      {260, 260, {"ok:260"}},
      {522, 260, {"234:260", "234:260", "ok:2"}},
      {300, 100, {"234:100", "234:100", "ok:100"}},
      {1, 1, {"ok:1"}},
  };
  // All messages are written first: reads must not join them.
  for (const auto& c : cases) {
    std::string msg(c.message, '\0');
    for (uint32_t i = 0; i < c.message; ++i) msg[i] = static_cast<char>('a' + (i + c.message) % 26);
    ASSERT_TRUE(WriteText(client, msg));
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    std::string expected(c.message, '\0');
    for (uint32_t i = 0; i < c.message; ++i) expected[i] = static_cast<char>('a' + (i + c.message) % 26);
    std::string got;
    for (const auto& want : c.reads) {
      std::string buf(c.buffer, '\0');
      uint32_t n = 0;
      bool ok = server.Read(buf.data(), c.buffer, &n);
      std::string outcome = ok ? "ok:" : (GetLastError() == kErrorMoreData ? "234:" : "fail:");
      EXPECT_EQ(outcome + std::to_string(n), want);
      got += buf.substr(0, n);
    }
    EXPECT_EQ(got, expected);
  }
}

TEST(PipeTest, WaitAndOpenReportMissingAndBusyPipes) {
  TempHost th;
  EXPECT_FALSE(WaitNamedPipe("\\\\.\\pipe\\Nobody", 1000));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  PipeClient client;
  EXPECT_FALSE(client.Open("\\\\.\\pipe\\Nobody"));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);

  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  ASSERT_TRUE(client.Open(kPipe));
  ASSERT_TRUE(server.Connect());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitNamedPipe(kPipe, 80));
  EXPECT_EQ(GetLastError(), kErrorSemTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
  PipeClient second;
  EXPECT_FALSE(second.Open(kPipe));
  EXPECT_EQ(GetLastError(), kErrorPipeBusy);
  EXPECT_FALSE(second.IsValid());
  // Names ignore case.
  EXPECT_FALSE(second.Open("\\\\.\\pipe\\remoteadminscanpipe"));
  EXPECT_EQ(GetLastError(), kErrorPipeBusy);
}

TEST(PipeTest, SecondClientWaitsUntilTheInstanceListensAgain) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  PipeClient first;
  ASSERT_TRUE(first.Open(kPipe));
  ASSERT_TRUE(server.Connect());

  std::atomic<bool> waited{false};
  std::string second_reply;
  std::thread second([&] {
    PipeClient c;
    if (!WaitNamedPipe(kPipe, 10000)) return;
    waited = true;
    if (!c.Open(kPipe) || !WriteText(c, "second")) return;
    second_reply = ReadText(c);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(waited.load());
  ASSERT_TRUE(WriteText(first, "first"));
  EXPECT_EQ(ReadText(server), "first");
  ASSERT_TRUE(server.Disconnect());
  ASSERT_TRUE(server.Connect());
  EXPECT_EQ(ReadText(server), "second");
  ASSERT_TRUE(WriteText(server, "served"));
  second.join();
  EXPECT_TRUE(waited.load());
  EXPECT_EQ(second_reply, "served");
}

TEST(PipeTest, PeerCloseEndsTheConnectionWith109) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  {
    // A client that connects and closes without writing.
    PipeClient client;
    ASSERT_TRUE(client.Open(kPipe));
  }
  ASSERT_TRUE(server.Connect());
  EXPECT_EQ(ReadText(server), "!109");
  EXPECT_FALSE(WriteText(server, "x"));
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
  EXPECT_FALSE(server.Flush());
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
  ASSERT_TRUE(server.Disconnect());

  // The server goes away after its last message: the client still reads it.
  PipeClient client;
  ASSERT_TRUE(client.Open(kPipe));
  ASSERT_TRUE(server.Connect());
  ASSERT_TRUE(WriteText(server, "Finished Uninstallation"));
  server.Close();
  EXPECT_EQ(ReadText(client), "Finished Uninstallation");
  EXPECT_EQ(ReadText(client), "!109");
  EXPECT_FALSE(WriteText(client, "x"));
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
  PipeClient after;
  EXPECT_FALSE(after.Open(kPipe));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST(PipeTest, UnreadRequestDoesNotHideTheServersReply) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  PipeClient client;
  ASSERT_TRUE(client.Open(kPipe));
  ASSERT_TRUE(server.Connect());
  ASSERT_TRUE(WriteText(client, "never read"));
  ASSERT_TRUE(WriteText(server, "SUCCESS"));
  server.Close();
  EXPECT_EQ(ReadText(client), "SUCCESS");
  EXPECT_EQ(ReadText(client), "!109");
}

TEST(PipeTest, FlushWaitsUntilThePeerHasRead) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  PipeClient client;
  ASSERT_TRUE(client.Open(kPipe));
  ASSERT_TRUE(server.Connect());
  ASSERT_TRUE(WriteText(client, "request"));
  std::atomic<bool> flushed{false};
  std::thread t([&] { flushed = client.Flush(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(flushed.load());
  EXPECT_EQ(ReadText(server), "request");
  t.join();
  EXPECT_TRUE(flushed.load());
}

TEST(PipeTest, OneInstancePerNameAndLeftoversOfADeadOwnerDoNotCount) {
  TempHost th;
  PipeServer a, b;
  ASSERT_TRUE(a.Create(kPipe));
  EXPECT_FALSE(b.Create("\\\\.\\pipe\\REMOTEADMINSCANPIPE"));
  EXPECT_EQ(GetLastError(), kErrorPipeBusy);
  // Another process of the host is refused too.
  EXPECT_EQ(RunChild([] {
              PipeServer s;
              return !s.Create(kPipe) && GetLastError() == kErrorPipeBusy ? 0 : 1;
            }),
            0);
  a.Close();
  ASSERT_TRUE(b.Create(kPipe));
  b.Close();

  // An owner that dies without closing leaves its socket file behind.
  ASSERT_EQ(RunChild([] {
              PipeServer* s = new PipeServer;  // never closed: the process just ends
              return s->Create(kPipe) ? 0 : 1;
            }),
            0);
  EXPECT_TRUE(fs::exists(th.host().PipeDir() + "/RemoteAdminScanPipe"));
  EXPECT_FALSE(WaitNamedPipe(kPipe, 50));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  PipeClient client;
  EXPECT_FALSE(client.Open(kPipe));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  ASSERT_TRUE(a.Create(kPipe));
  ASSERT_TRUE(client.Open(kPipe));
}

TEST(PipeTest, ServesAClientInAnotherProcess) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  pid_t pid = fork();
  if (pid == 0) {
    PipeClient c;
    bool ok = WaitNamedPipe(kPipe, 5000) && c.Open(kPipe) && WriteText(c, "from child") &&
              ReadText(c) == "to child";
    _exit(ok ? 0 : 1);
  }
  ASSERT_TRUE(server.Connect());
  EXPECT_EQ(ReadText(server), "from child");
  EXPECT_TRUE(WriteText(server, "to child"));
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(PipeTest, SocketFilesAreForTheHostsOwnProgramsOnly) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  struct stat st {};
  ASSERT_EQ(stat((th.host().PipeDir() + "/RemoteAdminScanPipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(th.host().PipeDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // Listening again after a client keeps the modes.
  PipeClient c;
  ASSERT_TRUE(c.Open(kPipe));
  ASSERT_TRUE(server.Connect());
  ASSERT_TRUE(server.Disconnect());
  ASSERT_EQ(stat((th.host().PipeDir() + "/RemoteAdminScanPipe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(PipeTest, RejectsNamesThatAreNoPipes) {
  TempHost th;
  struct Case {
    const char* name;
    uint32_t error;
  } cases[] = {
      {"C:\\WINDOWS\\x", kErrorInvalidName},
      {"\\\\.\\pipe\\a/b", kErrorInvalidName},
      {"\\\\.\\pipe\\..", kErrorInvalidName},
      {"\\\\PC2\\pipe\\X", kErrorInvalidName},  // servers create local pipes only
  };
  for (const auto& c : cases) {
    PipeServer s;
    EXPECT_FALSE(s.Create(c.name)) << c.name;
    EXPECT_EQ(GetLastError(), c.error) << c.name;
  }
  PipeServer s;
  EXPECT_FALSE(s.Create("\\\\.\\pipe\\" + std::string(300, 'x')));
  EXPECT_EQ(GetLastError(), kErrorFilenameExcedRange);
}

TEST(PipeTest, WorksUnderAHostRootLongerThanASocketPath) {
  testing::TempDir dir;
  std::string root = dir.path() + "/" + std::string(90, 'r') + "/host";
  std::string error;
  ASSERT_TRUE(Host::Create(root, HostOptions(), &error)) << error;
  auto host = Host::Load(root, &error);
  ASSERT_TRUE(host) << error;
  ScopedHost scope(host.get());
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe)) << GetLastError();
  ASSERT_TRUE(WaitNamedPipe(kPipe, 1000));
  PipeClient client;
  ASSERT_TRUE(client.Open(kPipe)) << GetLastError();
  ASSERT_TRUE(server.Connect());
  ASSERT_TRUE(WriteText(client, "long"));
  EXPECT_EQ(ReadText(server), "long");
}

TEST(PipeTest, CancelStopsABlockedServer) {
  TempHost th;
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  uint32_t error = 0;
  bool connected = true;
  std::thread t([&] {
    connected = server.Connect();
    error = GetLastError();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  server.Cancel();
  t.join();
  EXPECT_FALSE(connected);
  EXPECT_EQ(error, kErrorOperationAborted);

  // A read blocked on a connected client is stopped the same way.
  PipeServer busy;
  ASSERT_TRUE(busy.Create("\\\\.\\pipe\\Other"));
  PipeClient client;
  ASSERT_TRUE(client.Open("\\\\.\\pipe\\Other"));
  ASSERT_TRUE(busy.Connect());
  std::string result;
  std::thread r([&] { result = ReadText(busy); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  busy.Cancel();
  r.join();
  EXPECT_EQ(result, "!995");
}

// A connector that reaches "\\HOST\pipe\X" through this host's own pipes,
// as a relay does on the far side.
class LoopbackConnector : public RemotePipeConnector {
 public:
  bool Wait(const std::string& host, const std::string& pipe_name, uint32_t timeout_ms) override {
    last_host = host;
    return WaitNamedPipe("\\\\.\\pipe\\" + pipe_name, timeout_ms);
  }
  std::unique_ptr<PipeConnection> Open(const std::string& host, const std::string& pipe_name) override {
    last_host = host;
    PipeClient local;
    if (!local.Open("\\\\.\\pipe\\" + pipe_name)) return nullptr;
    return std::make_unique<Forward>(std::move(local));
  }
  std::string last_host;

 private:
  struct Forward : PipeConnection {
    explicit Forward(PipeClient c) : client(std::move(c)) {}
    bool Read(void* b, uint32_t s, uint32_t* r) override { return client.Read(b, s, r); }
    bool Write(const void* d, uint32_t s, uint32_t* w) override { return client.Write(d, s, w); }
    bool Flush() override { return client.Flush(); }
    PipeClient client;
  };
};

TEST(PipeTest, RemoteNamesGoThroughTheRegisteredConnector) {
  TempHost th;
  const char* remote = "\\\\PC2\\pipe\\RemoteAdminScanPipe";
  PipeClient client;
  EXPECT_FALSE(WaitNamedPipe(remote, 10));
  EXPECT_EQ(GetLastError(), kErrorBadNetPath);
  EXPECT_FALSE(client.Open(remote));
  EXPECT_EQ(GetLastError(), kErrorBadNetPath);

  LoopbackConnector connector;
  RegisterRemotePipeConnector(&connector);
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  EXPECT_TRUE(WaitNamedPipe(remote, 1000));
  ASSERT_TRUE(client.Open(remote));
  EXPECT_EQ(connector.last_host, "PC2");
  ASSERT_TRUE(server.Connect());
  ASSERT_TRUE(WriteText(client, "over the relay"));
  EXPECT_EQ(ReadText(server), "over the relay");
  RegisterRemotePipeConnector(nullptr);
}

TEST(PipeTest, FileOpenOnAPipeNameIsAPipeClient) {
  TempHost th;
  File file;
  EXPECT_FALSE(file.Open(kPipe, kGenericRead | kGenericWrite, kShareNone, kOpenExisting));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  PipeServer server;
  ASSERT_TRUE(server.Create(kPipe));
  ASSERT_TRUE(file.Open(kPipe, kGenericRead | kGenericWrite, kShareNone, kOpenExisting))
      << GetLastError();
  ASSERT_TRUE(server.Connect());
  uint32_t n = 0;
  ASSERT_TRUE(file.Write("\0\0\0\0", 4, &n));
  EXPECT_EQ(ReadText(server), std::string(4, '\0'));
  ASSERT_TRUE(WriteText(server, "Same Versions"));
  char reply[260];
  ASSERT_TRUE(file.Read(reply, sizeof reply, &n));
  EXPECT_EQ(std::string(reply, n), "Same Versions");
  EXPECT_FALSE(file.Seek(0, kSeekBegin));
}

}  // namespace
}  // namespace platform
