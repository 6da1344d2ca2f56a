// The service layer without a daemon: wire encoding, framing, the token
// test and the program-side calls outside the SCM.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/error.h"
#include "platform/service.h"
#include "platform/service_program.h"
#include "platform/service_wire.h"
#include "platform/testing/temp_host.h"

namespace platform {
namespace {

using service_wire::Reader;
using service_wire::Writer;

TEST(ServiceWireTest, FieldsRoundTripLittleEndian) {
  Writer w;
  w.U32(0x04030201);
  w.Text("VXAgent");
  SERVICE_STATUS st{0x30, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 5, 2000};
  w.Status(st);
  ServiceConfig c{"VXAgent", "VX Agent", SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                  "%SystemRoot%\\system32\\VXAgent.exe", "LocalSystem"};
  w.Config(c);
  EXPECT_EQ(w.data().substr(0, 8), std::string("\x01\x02\x03\x04\x07\x00\x00\x00", 8));

  Reader r(w.data());
  uint32_t v = 0;
  std::string text;
  SERVICE_STATUS st2;
  ServiceConfig c2;
  ASSERT_TRUE(r.U32(&v));
  ASSERT_TRUE(r.Text(&text));
  ASSERT_TRUE(r.Status(&st2));
  ASSERT_TRUE(r.Config(&c2));
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(v, 0x04030201u);
  EXPECT_EQ(text, "VXAgent");
  EXPECT_EQ(st2.dwServiceType, 0x30u);
  EXPECT_EQ(st2.dwCheckPoint, 5u);
  EXPECT_EQ(st2.dwWaitHint, 2000u);
  EXPECT_EQ(c2.display_name, "VX Agent");
  EXPECT_EQ(c2.start_type, SERVICE_AUTO_START);
  EXPECT_EQ(c2.image_path, c.image_path);
  EXPECT_EQ(c2.account, "LocalSystem");
}

TEST(ServiceWireTest, ShortOrOversizedFieldsAreRefusedWithoutConsuming) {
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"length beyond the data", std::string("\x05\x00\x00\x00" "abc", 7)},
      {"length above the text limit", std::string("\x00\x00\x01\x00", 4) + std::string(70000, 'x')},
      {"length prefix cut", std::string("\x03\x00", 2)},
  };
  for (const auto& c : cases) {
    Reader r(c.bytes);
    std::string s = "unchanged";
    EXPECT_FALSE(r.Text(&s)) << c.what;
    EXPECT_EQ(s, "unchanged") << c.what;
    // Nothing was consumed: the bytes are still there as integers.
    uint32_t v = 0;
    if (c.bytes.size() >= 4) {
      EXPECT_TRUE(r.U32(&v)) << c.what;
    }
  }
  Reader short_status(std::string(27, '\0'));
  SERVICE_STATUS st;
  st.dwCheckPoint = 42;
  EXPECT_FALSE(short_status.Status(&st));
  EXPECT_EQ(st.dwCheckPoint, 42u);
  // A config whose last text is cut leaves the target and position alone.
  Writer w;
  w.Config(ServiceConfig{"A", "B", 0x10, 3, 1, "C:\\x.exe", "LocalSystem"});
  std::string cut = w.data().substr(0, w.data().size() - 1);
  Reader rc(cut);
  ServiceConfig target;
  target.name = "keep";
  EXPECT_FALSE(rc.Config(&target));
  EXPECT_EQ(target.name, "keep");
  std::string first;
  EXPECT_TRUE(rc.Text(&first));
  EXPECT_EQ(first, "A");
}

TEST(ServiceWireTest, FramesCheckTheirLength) {
  struct Case {
    const char* what;
    std::string sent;  // raw bytes the peer writes, then it closes
    bool ok;
    uint32_t error;
  } cases[] = {
      {"a whole frame", std::string("\x03\x00\x00\x00" "abc", 7), true, 0},
      {"zero length", std::string("\x00\x00\x00\x00", 4), false, kErrorInvalidData},
      {"above the limit", std::string("\x01\x00\x01\x00", 4), false, kErrorInvalidData},
      {"body cut short", std::string("\x08\x00\x00\x00" "abc", 7), false, kErrorBrokenPipe},
      {"nothing", std::string(), false, kErrorBrokenPipe},
  };
  for (const auto& c : cases) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(::write(sv[0], c.sent.data(), c.sent.size()), static_cast<ssize_t>(c.sent.size()));
    ::close(sv[0]);
    std::string body = "before";
    SetLastError(0);
    EXPECT_EQ(service_wire::ReadFrame(sv[1], &body), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(body, "abc") << c.what;
    } else {
      EXPECT_EQ(GetLastError(), c.error) << c.what;
      EXPECT_EQ(body, "before") << c.what;
    }
    ::close(sv[1]);
  }
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_FALSE(service_wire::WriteFrame(sv[0], std::string(service_wire::kMaxFrame + 1, 'x')));
  EXPECT_EQ(GetLastError(), kErrorInvalidData);
  ::close(sv[0]);
  ::close(sv[1]);
}

// The process's environment for one token case, restored afterwards.
class TokenTest : public ::testing::Test {
 protected:
  static HostOptions Options() {
    HostOptions opt;
    opt.users = {"Administrator", "alice:Users"};
    return opt;
  }
  TokenTest() : host_(Options()) {
    unsetenv("VX_SERVICE_CHANNEL");
    unsetenv("VX_ACCOUNT");
  }
  ~TokenTest() override {
    unsetenv("VX_SERVICE_CHANNEL");
    unsetenv("VX_ACCOUNT");
  }
  testing::TempHost host_;
};

TEST_F(TokenTest, GroupsDecideWhetherTheProcessIsAService) {
  struct Case {
    const char* channel;
    const char* account;
    bool service;
    const char* sid_present;
    const char* sid_absent;
  } cases[] = {
      {nullptr, "alice", false, kSidInteractive, kSidService},
      {nullptr, "Administrator", false, kSidAdministrators, kSidService},
      {"3", "SYSTEM", true, kSidService, kSidInteractive},
      // LocalSystem started some other way is neither, which counts as a service.
      {nullptr, "SYSTEM", true, kSidAdministrators, kSidInteractive},
  };
  for (const auto& c : cases) {
    if (c.channel)
      setenv("VX_SERVICE_CHANNEL", c.channel, 1);
    else
      unsetenv("VX_SERVICE_CHANNEL");
    setenv("VX_ACCOUNT", c.account, 1);
    bool is_service = !c.service;
    EXPECT_EQ(IsService(&is_service), 0u);
    EXPECT_EQ(is_service, c.service) << c.account;
    bool present = false, absent = false;
    for (const auto& g : GetTokenGroups()) {
      present = present || g.sid == c.sid_present;
      absent = absent || g.sid == c.sid_absent;
    }
    EXPECT_TRUE(present) << c.account << " lacks " << c.sid_present;
    EXPECT_FALSE(absent) << c.account << " has " << c.sid_absent;
  }
  setenv("VX_ACCOUNT", "alice", 1);
  bool alice_is_user = false;
  for (const auto& g : GetTokenGroups()) alice_is_user = alice_is_user || g.sid == kSidUsers;
  EXPECT_TRUE(alice_is_user);
}

void NoMain(uint32_t, char**) {}
void NoHandler(uint32_t) {}

TEST_F(TokenTest, ProgramSideCallsOutsideTheScmFail) {
  SERVICE_TABLE_ENTRYA table[] = {{"X", NoMain}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), kErrorFailedServiceControllerConnect);
  // A channel variable naming something that is not the SCM's socket.
  setenv("VX_SERVICE_CHANNEL", "0", 1);
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), kErrorFailedServiceControllerConnect);
  SERVICE_TABLE_ENTRYA empty[] = {{nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherA(empty));
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);

  EXPECT_EQ(RegisterServiceCtrlHandlerA("Service", NoHandler), 0u);
  EXPECT_EQ(GetLastError(), kErrorServiceNotInExe);
  SERVICE_STATUS st;
  st.dwCurrentState = SERVICE_RUNNING;
  EXPECT_FALSE(SetServiceStatus(1, &st));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(TokenTest, ClientHandlesAreCheckedBeforeAnyExchange) {
  ScHandle none;
  SERVICE_STATUS st;
  EXPECT_FALSE(QueryServiceStatus(none, &st));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(CloseServiceHandle(none));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(OpenSCManagerA("", "OtherDatabase", SC_MANAGER_ALL_ACCESS));
  EXPECT_EQ(GetLastError(), 1065u);
}

}  // namespace
}  // namespace platform
