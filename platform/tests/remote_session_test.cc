// The calling host's side of remote access that needs no daemon: the wire
// reader's bounds, the relay's waits, the host map, saved credentials and
// certificate pins.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/remote_session.h"
#include "platform/remote_wire.h"
#include "platform/testing/temp_host.h"

namespace {
using namespace platform;
using namespace platform::remote;

TEST(WireReaderTest, NeverReadsPastTheBody) {
  std::string body = WireWriter().U8(7).U16(0x1234).U32(0xA1B2C3D4).U64(0x0102030405060708ull).Str("abc").Take();
  EXPECT_EQ(body.substr(0, 7), std::string("\x07\x34\x12\xD4\xC3\xB2\xA1", 7));
  WireReader r(body);
  uint8_t a;
  uint16_t b;
  uint32_t c;
  uint64_t d;
  std::string s;
  ASSERT_TRUE(r.U8(&a) && r.U16(&b) && r.U32(&c) && r.U64(&d) && r.Str(&s));
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, 0x1234);
  EXPECT_EQ(c, 0xA1B2C3D4u);
  EXPECT_EQ(d, 0x0102030405060708ull);
  EXPECT_EQ(s, "abc");
  EXPECT_TRUE(r.AtEnd());

  struct Case {
    const char* what;
    std::string body;
    uint32_t max;
  };
  const Case cases[] = {
      {"length beyond the body", std::string("\x05\x00\x00\x00" "abc", 7), 100},
      {"huge length", std::string("\xff\xff\xff\xff" "abc", 7), 0xFFFFFFFFu},
      {"over the limit", std::string("\x03\x00\x00\x00" "abc", 7), 2},
      {"length cut", std::string("\x03\x00", 2), 100},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    WireReader r(k.body);
    std::string out = "untouched";
    EXPECT_FALSE(r.Str(&out, k.max));
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(r.remaining(), k.body.size());  // a failed read consumes nothing
  }
  WireReader short_int(std::string("\x01\x02\x03", 3));
  uint32_t v = 42;
  EXPECT_FALSE(short_int.U32(&v));
  EXPECT_EQ(v, 42u);
}

// A connected pair of stream sockets, closed at the end.
struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
  ~SocketPair() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void Send(const char* text) { ASSERT_EQ(::write(fd[1], text, 1), 1); }
  void CloseFar() {
    ::close(fd[1]);
    fd[1] = -1;
  }
};

TEST(PollSpinningTest, ReportsWhatPollReports) {
  struct Case {
    const char* what;
    int timeout_ms;
    int after_ms;  // the far end acts after this long (-1: never)
    bool close;    // the far end closes instead of sending
    int result;
    short revents;
  };
  const Case cases[] = {
      {"ready before the call", -1, 0, false, 1, POLLIN},
      {"arrives while waiting", -1, 20, false, 1, POLLIN},
      {"the far end closes", -1, 30, true, 1, POLLIN | POLLHUP},
      {"nothing, no waiting", 0, -1, false, 0, 0},
      {"nothing within the time-out", 20, -1, false, 0, 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    SocketPair s;
    std::thread far;
    if (k.after_ms == 0) s.Send("x");
    if (k.after_ms > 0)
      far = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(k.after_ms));
        k.close ? s.CloseFar() : s.Send("x");
      });
    pollfd p{s.fd[0], POLLIN, 0};
    EXPECT_EQ(remote::PollSpinning(&p, 1, k.timeout_ms, remote::kRelaySpinUs), k.result);
    if (far.joinable()) far.join();
    EXPECT_EQ(p.revents & (POLLIN | POLLHUP), k.revents);
  }
}

TEST(PollSpinningTest, ManyWaitersAtOnceEachGetTheirMessage) {
  // More waiters than may look at once: the others sleep, and every one
  // still wakes for its own message.
  constexpr int kWaiters = 16;
  std::vector<std::unique_ptr<SocketPair>> pairs;
  for (int i = 0; i < kWaiters; ++i) pairs.push_back(std::make_unique<SocketPair>());
  std::vector<int> results(kWaiters, -2);
  std::vector<short> revents(kWaiters, 0);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i)
    waiters.emplace_back([&, i] {
      pollfd p{pairs[i]->fd[0], POLLIN, 0};
      results[i] = remote::PollSpinning(&p, 1, 5000, remote::kRelaySpinUs);
      revents[i] = p.revents;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (auto& p : pairs) p->Send("x");
  for (auto& t : waiters) t.join();
  for (int i = 0; i < kWaiters; ++i) {
    EXPECT_EQ(results[i], 1) << "waiter " << i;
    EXPECT_EQ(revents[i], POLLIN) << "waiter " << i;
  }
}

TEST(RemoteResolveTest, HostMapThenDns) {
  platform::testing::TempHost t;
  std::ofstream(t.root() + "/host.ini", std::ios::app)
      << "pc7 = 10.1.2.3:5000\nPC8 = 10.1.2.4\nBAD = 10.1.2.5:99999\n";
  std::string error;
  auto host = Host::Load(t.root(), &error);
  ASSERT_TRUE(host) << error;
  struct Case {
    const char* name;
    bool ok;
    const char* address;
    uint16_t port;
  };
  const Case cases[] = {
      {"PC7", true, "10.1.2.3", 5000},
      {"pc7", true, "10.1.2.3", 5000},
      {"PC8", true, "10.1.2.4", kDefaultPort},
      {"BAD", false, "", 0},
      {"localhost", true, "localhost", kDefaultPort},
      {"no-such-host.invalid", false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string address = "x";
    uint16_t port = 1;
    EXPECT_EQ(ResolveHost(*host, c.name, &address, &port), c.ok);
    if (c.ok) {
      EXPECT_EQ(address, c.address);
      EXPECT_EQ(port, c.port);
    } else {
      EXPECT_EQ(GetLastError(), kErrorBadNetPath);
      EXPECT_EQ(address, "x");
    }
  }
}

TEST(RemoteCredentialsTest, SavedPerHostAndReplaced) {
  platform::testing::TempHost t;
  Credentials c;
  EXPECT_FALSE(LoadSavedCredentials(t.host(), "PC1", &c));
  ASSERT_TRUE(SaveCredentials(t.host(), "pc1", {"Administrator", "p a:ss,word=1"}));
  ASSERT_TRUE(SaveCredentials(t.host(), "PC2", {"other", "x"}));
  ASSERT_TRUE(SaveCredentials(t.host(), "PC1", {"Administrator", "new"}));
  ASSERT_TRUE(LoadSavedCredentials(t.host(), "Pc1", &c));
  EXPECT_EQ(c.user, "Administrator");
  EXPECT_EQ(c.password, "new");
  ASSERT_TRUE(LoadSavedCredentials(t.host(), "PC2", &c));
  EXPECT_EQ(c.password, "x");
  EXPECT_FALSE(SaveCredentials(t.host(), "PC3", {"a", "tab\there"}));
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  EXPECT_FALSE(LoadSavedCredentials(t.host(), "PC3", &c));
  struct stat st;
  ASSERT_EQ(::stat((t.root() + "/credentials").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(RemotePinTest, FirstUsePinsLaterChangesAreRefused) {
  platform::testing::TempHost t;
  EXPECT_EQ(CheckHostPin(t.host(), "PC1", "sha256:aa"), PinResult::kFirstUse);
  EXPECT_EQ(CheckHostPin(t.host(), "pc1", "sha256:aa"), PinResult::kMatched);
  EXPECT_EQ(CheckHostPin(t.host(), "PC1", "sha256:bb"), PinResult::kChanged);
  EXPECT_EQ(CheckHostPin(t.host(), "PC2", "sha256:bb"), PinResult::kFirstUse);
  // A refused change does not replace the pin.
  EXPECT_EQ(CheckHostPin(t.host(), "PC1", "sha256:aa"), PinResult::kMatched);
}

}  // namespace
