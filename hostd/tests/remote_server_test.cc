// The remote access server against real clients: logons and rights, the
// share's confinement, damaged or vanishing clients, session limits, the
// certificate pin, and file operations through \\HOST\ADMIN$.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "hostd/tests/support/remote_daemon.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/remote_session.h"
#include "platform/service.h"
#include "platform/share.h"
#include "platform/testing/temp_host.h"

namespace {
namespace fs = std::filesystem;
namespace pr = platform::remote;
using hostd::testing::Daemon;
using hostd::testing::RawSession;

const std::vector<hostd::testing::DaemonUser> kUsers = {
    {"Administrator", "Administrators", "adm1n-pw"},
    {"bob", "Users", "bob-pw"},
};

class RemoteServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon_ = std::make_unique<Daemon>(dir_.path() + "/pc1", "PC1", kUsers, extra_);
    console_ = hostd::testing::MakeConsoleHost(dir_.path() + "/console", {{"PC1", daemon_->port()}});
    scope_ = std::make_unique<platform::ScopedHost>(console_.get());
    pr::Client::Get().Reset();
    platform::InstallRemoteAccess();
  }
  void TearDown() override {
    pr::Client::Get().Reset();
    scope_.reset();
  }
  void UseCredentials(const std::string& user, const std::string& password) {
    ASSERT_TRUE(pr::SaveCredentials(*console_, "PC1", {user, password}));
    pr::Client::Get().Reset();
  }
  std::string Pc1Windows(const std::string& rel) const {
    return daemon_->root() + "/C/WINDOWS/" + rel;
  }
  uint32_t AdminSession(RawSession& s) {
    EXPECT_TRUE(s.ok());
    return s.Logon("Administrator", "adm1n-pw");
  }

  platform::testing::TempDir dir_;
  std::vector<std::string> extra_;
  std::unique_ptr<Daemon> daemon_;
  std::unique_ptr<platform::Host> console_;
  std::unique_ptr<platform::ScopedHost> scope_;
};

TEST_F(RemoteServerTest, ShareConnectionChecksAccountAndRights) {
  struct Case {
    const char* user;
    const char* password;
    const char* share;
    uint32_t expected;
  };
  const Case cases[] = {
      {"Administrator", "adm1n-pw", "ADMIN$", 0},
      {"administrator", "adm1n-pw", "admin$", 0},  // names compare without case
      {"Administrator", "wrong", "ADMIN$", platform::kErrorLogonFailure},
      {"Administrator", "", "ADMIN$", platform::kErrorLogonFailure},
      {"nobody", "adm1n-pw", "ADMIN$", platform::kErrorLogonFailure},
      {"bob", "bob-pw", "ADMIN$", platform::kErrorAccessDenied},
      {"bob", "bob-pw", "IPC$", 0},
      {"Administrator", "adm1n-pw", "C$", platform::kErrorBadNetName},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + "/" + c.password + " " + c.share);
    UseCredentials(c.user, c.password);
    EXPECT_EQ(platform::ConnectShare(std::string("\\\\PC1\\") + c.share, platform::kConnectUpdateProfile),
              c.expected);
  }
  EXPECT_TRUE(daemon_->WaitForLog("logon failure for user 'nobody' (no such account)"));
  EXPECT_TRUE(daemon_->WaitForLog("user bob refused ADMIN$"));
}

TEST_F(RemoteServerTest, UnknownHostAndNoCredentials) {
  EXPECT_EQ(platform::ConnectShare("\\\\NOSUCHHOST\\ADMIN$", 1), platform::kErrorBadNetPath);
  // No saved credentials and no prompt allowed.
  EXPECT_EQ(platform::ConnectShare("\\\\PC1\\ADMIN$", platform::kConnectUpdateProfile),
            platform::kErrorLogonFailure);
}

TEST_F(RemoteServerTest, InteractivePromptCancelRetryAndSave) {
  int asked = 0;
  auto cancel = [&](const std::string& host, pr::Credentials*) {
    EXPECT_EQ(host, "PC1");
    ++asked;
    return false;
  };
  EXPECT_EQ(platform::ConnectShare("\\\\PC1\\ADMIN$", 9, cancel), platform::kErrorCancelled);
  EXPECT_EQ(asked, 1);
  // Without the interactive flag the prompt is never asked.
  EXPECT_EQ(platform::ConnectShare("\\\\PC1\\ADMIN$", 1, cancel), platform::kErrorLogonFailure);
  EXPECT_EQ(asked, 1);

  // A wrong answer first, then the right one: connected and remembered.
  std::vector<pr::Credentials> answers = {{"Administrator", "bad"}, {"Administrator", "adm1n-pw"}};
  size_t next = 0;
  auto answer = [&](const std::string&, pr::Credentials* c) {
    if (next >= answers.size()) return false;
    *c = answers[next++];
    return true;
  };
  EXPECT_EQ(platform::ConnectShare("\\\\PC1\\ADMIN$", 9, answer), 0u);
  EXPECT_EQ(next, 2u);
  pr::Credentials saved;
  ASSERT_TRUE(pr::LoadSavedCredentials(*console_, "pc1", &saved));
  EXPECT_EQ(saved.user, "Administrator");
  EXPECT_EQ(saved.password, "adm1n-pw");
}

TEST_F(RemoteServerTest, NothingWithoutSession) {
  RawSession s(daemon_->port());
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.greeting_status(), 0u);
  std::vector<std::string> requests;
  requests.push_back(pr::WireWriter().U8(pr::kOpTreeConnect).Str("ADMIN$").Take());
  requests.push_back(pr::WireWriter().U8(pr::kOpOpen).Str("win.ini").U32(platform::kGenericRead).U32(7).U32(3).U32(0x80).Take());
  requests.push_back(pr::WireWriter().U8(pr::kOpGetAttr).Str("System32").Take());
  requests.push_back(pr::WireWriter().U8(pr::kOpFind).Str("*").Take());
  requests.push_back(pr::WireWriter().U8(pr::kOpPipeOpen).Str("AnyPipe").Take());
  requests.push_back(pr::WireWriter().U8(pr::kOpScmOpen).Take());
  for (const auto& r : requests) EXPECT_EQ(s.Call(r), platform::kErrorAccessDenied) << int(r[0]);
  // A failed logon ends the session's rights as well.
  EXPECT_EQ(s.Logon("Administrator", "adm1n-pw"), 0u);
  EXPECT_EQ(s.Call(requests[2]), 0u);
  EXPECT_EQ(s.Logon("Administrator", "nope"), platform::kErrorLogonFailure);
  EXPECT_EQ(s.Call(requests[2]), platform::kErrorAccessDenied);
}

TEST_F(RemoteServerTest, NonAdministratorReachesNeitherShareNorServiceManager) {
  RawSession s(daemon_->port());
  ASSERT_EQ(s.Logon("bob", "bob-pw"), 0u);
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpGetAttr).Str("System32").Take()), platform::kErrorAccessDenied);
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpScmOpen).Take()), platform::kErrorAccessDenied);
  // A pipe only needs a session: this one does not exist.
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpPipeOpen).Str("NoSuchPipe").Take()),
            platform::kErrorFileNotFound);
}

TEST_F(RemoteServerTest, ShareStaysInsideWindowsFolder) {
  fs::create_directories(dir_.path() + "/outside");
  std::ofstream(dir_.path() + "/outside/secret.txt") << "secret";
  std::ofstream(daemon_->root() + "/C/boot.ini") << "boot";
  fs::create_directory_symlink(dir_.path() + "/outside", Pc1Windows("escape"));
  fs::create_symlink(dir_.path() + "/outside/secret.txt", Pc1Windows("secret-link.txt"));
  fs::create_symlink("/nonexistent-target", Pc1Windows("dangling"));

  RawSession s(daemon_->port());
  ASSERT_EQ(AdminSession(s), 0u);
  struct Case {
    const char* path;
    uint32_t expected;
  };
  const Case cases[] = {
      {"..\\boot.ini", platform::kErrorAccessDenied},
      {"System32\\..\\..\\boot.ini", platform::kErrorAccessDenied},
      {"../boot.ini", platform::kErrorAccessDenied},
      {"...\\boot.ini", platform::kErrorAccessDenied},
      {".. \\boot.ini", platform::kErrorAccessDenied},
      {".\\win.ini", platform::kErrorAccessDenied},
      {"C:\\boot.ini", platform::kErrorInvalidName},
      {"win.ini:stream", platform::kErrorInvalidName},
      {"escape\\secret.txt", platform::kErrorAccessDenied},
      {"escape", platform::kErrorAccessDenied},
      {"ESCAPE\\new.txt", platform::kErrorAccessDenied},
      {"secret-link.txt", platform::kErrorAccessDenied},
      {"dangling", platform::kErrorAccessDenied},
      {"System32", 0},
      {"\\System32", 0},  // a leading separator is still inside the share
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpGetAttr).Str(c.path).Take()), c.expected);
    if (c.expected != 0) {
      EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpOpen).Str(c.path).U32(platform::kGenericWrite)
                           .U32(0).U32(platform::kCreateAlways).U32(0x80).Take()),
                c.expected);
      EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpDelete).Str(c.path).Take()), c.expected);
    }
  }
  // Wildcards only in the last component, and never in a folder outside.
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpFind).Str("escape\\*").Take()), platform::kErrorAccessDenied);
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpFind).Str("Sys*\\x").Take()), platform::kErrorInvalidName);
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpMove).Str("win.ini").Str("..\\stolen").U8(0).Take()),
            platform::kErrorAccessDenied);
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpCopy).Str("escape\\secret.txt").Str("copy.txt").U8(0).Take()),
            platform::kErrorAccessDenied);
  std::ifstream secret(dir_.path() + "/outside/secret.txt");
  std::string content((std::istreambuf_iterator<char>(secret)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "secret");
  EXPECT_TRUE(fs::exists(daemon_->root() + "/C/boot.ini"));
  EXPECT_FALSE(fs::exists(Pc1Windows("copy.txt")));
}

TEST_F(RemoteServerTest, DamagedClientsLoseOnlyTheirSession) {
  struct Case {
    const char* what;
    std::function<void(RawSession&)> act;
    const char* logged;
  };
  const Case cases[] = {
      {"oversized frame", [](RawSession& s) { s.WriteRaw(std::string("\xff\xff\xff\x7f", 4)); },
       "frame too large"},
      {"frame cut short", [](RawSession& s) {
         s.WriteRaw(std::string("\x40\x00\x00\x00\x19", 5));
         s.conn().Shutdown();
       }, "truncated frame"},
      {"length cut short", [](RawSession& s) {
         s.WriteRaw(std::string("\x40\x00", 2));
         s.conn().Shutdown();
       }, "truncated frame"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RawSession bystander(daemon_->port());
    ASSERT_EQ(AdminSession(bystander), 0u);
    int before = daemon_->CountLog(c.logged);
    {
      RawSession s(daemon_->port());
      ASSERT_TRUE(s.ok());
      c.act(s);
    }
    EXPECT_TRUE(daemon_->WaitForLog(c.logged, before + 1));
    // The session that was already open and a new one both go on.
    EXPECT_EQ(bystander.Call(pr::WireWriter().U8(pr::kOpGetAttr).Str("System32").Take()), 0u);
    RawSession after(daemon_->port());
    EXPECT_EQ(AdminSession(after), 0u);
  }

  // Bytes that are no TLS at all, and a client that leaves mid-handshake.
  int fd = hostd::testing::ConnectPlain(daemon_->port());
  ASSERT_GE(fd, 0);
  std::string garbage = "GET / HTTP/1.0\r\n\r\n" + std::string(300, '\x17');
  ASSERT_EQ(::write(fd, garbage.data(), garbage.size()), static_cast<ssize_t>(garbage.size()));
  char buf[64];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
  ::close(fd);
  fd = hostd::testing::ConnectPlain(daemon_->port());
  ASSERT_EQ(::write(fd, "\x16\x03\x01", 3), 3);
  ::close(fd);
  EXPECT_TRUE(daemon_->WaitForLog("TLS handshake failed", 2));

  // Malformed bodies inside well-formed frames are answered, not fatal.
  RawSession s(daemon_->port());
  ASSERT_EQ(AdminSession(s), 0u);
  EXPECT_EQ(s.Call(""), platform::kErrorInvalidParameter);
  EXPECT_EQ(s.Call(std::string(1, '\xEE')), platform::kErrorInvalidFunction);
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpGetAttr).U32(1000).Raw("abc").Take()),
            platform::kErrorInvalidParameter);
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpRead).U32(77).U32(10).Take()), platform::kErrorInvalidHandle);
  EXPECT_EQ(s.Call(pr::WireWriter().U8(pr::kOpGetAttr).Str("System32").Take()), 0u);
  EXPECT_TRUE(daemon_->running());
}

class RemoteLimitsTest : public RemoteServerTest {
 protected:
  RemoteLimitsTest() {
    extra_ = {"--max-sessions-per-peer", "2", "--idle-timeout", "300", "--max-frame", "4096"};
  }
};

TEST_F(RemoteLimitsTest, SessionsPerPeerIdleTimeAndFrameLimit) {
  // A shared session that the host closed for idleness is replaced unseen.
  UseCredentials("Administrator", "adm1n-pw");
  ASSERT_EQ(platform::ConnectShare("\\\\PC1\\ADMIN$", 1), 0u);
  EXPECT_NE(platform::GetFileAttributes("\\\\PC1\\ADMIN$\\System32"), platform::kInvalidFileAttributes);
  ASSERT_TRUE(daemon_->WaitForLog("idle time-out"));
  EXPECT_NE(platform::GetFileAttributes("\\\\PC1\\ADMIN$\\System32"), platform::kInvalidFileAttributes)
      << platform::GetLastError();
  pr::Client::Get().Reset();
  {
    RawSession a(daemon_->port()), b(daemon_->port()), c(daemon_->port());
    EXPECT_EQ(a.greeting_status(), 0u);
    EXPECT_EQ(b.greeting_status(), 0u);
    EXPECT_EQ(c.greeting_status(), 71u);
    EXPECT_TRUE(daemon_->WaitForLog("too many sessions"));
  }
  // Freed places are given again (the server notices the closes at once).
  for (int i = 0; i < 100; ++i) {
    RawSession again(daemon_->port());
    if (again.greeting_status() == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_LT(i, 99);
  }
  RawSession idle(daemon_->port());
  ASSERT_EQ(idle.greeting_status(), 0u);
  int idle_before = daemon_->CountLog("idle time-out");
  EXPECT_TRUE(idle.ClosedByServer());
  EXPECT_TRUE(daemon_->WaitForLog("idle time-out", idle_before + 1));

  RawSession big(daemon_->port());
  ASSERT_EQ(AdminSession(big), 0u);
  std::string body = pr::WireWriter().U8(pr::kOpGetAttr).Str(std::string(5000, 'a')).Take();
  EXPECT_EQ(big.Call(body), 0xFFFFFFFFu);
  EXPECT_TRUE(daemon_->WaitForLog("frame too large"));
}

TEST_F(RemoteServerTest, ChangedCertificateIsRefused) {
  UseCredentials("Administrator", "adm1n-pw");
  ASSERT_EQ(platform::ConnectShare("\\\\PC1\\ADMIN$", 1), 0u);
  std::string known = dir_.path() + "/console/tls/known_hosts";
  ASSERT_TRUE(fs::exists(known));

  // Another host answers under the same name: a new certificate.
  Daemon impostor(dir_.path() + "/impostor", "PC1", kUsers);
  auto console2 = hostd::testing::MakeConsoleHost(dir_.path() + "/console", {});
  std::ofstream(dir_.path() + "/console/host.ini", std::ios::app) << "PC1 = 127.0.0.1:" << impostor.port() << "\n";
  std::string error;
  auto moved = platform::Host::Load(dir_.path() + "/console", &error);
  ASSERT_TRUE(moved) << error;
  platform::ScopedHost scope(moved.get());
  pr::Client::Get().Reset();
  EXPECT_EQ(platform::ConnectShare("\\\\PC1\\ADMIN$", 9, [](const std::string&, pr::Credentials*) {
              ADD_FAILURE() << "a changed certificate is no reason to ask for a password";
              return false;
            }),
            pr::kErrorTrustFailure);
  EXPECT_NE(pr::LastRemoteDetail().find("different certificate"), std::string::npos);
  // The impostor never saw a logon.
  EXPECT_EQ(impostor.Log().find("logon"), std::string::npos);
}

TEST_F(RemoteServerTest, FilesThroughAdminShare) {
  UseCredentials("Administrator", "adm1n-pw");
  ASSERT_EQ(platform::ConnectShare("\\\\PC1\\ADMIN$", 1), 0u);
  const std::string sys = "\\\\PC1\\ADMIN$\\System32\\";

  // Upload from the console's own disk, larger than one transfer.
  std::string payload;
  for (int i = 0; i < 70000; ++i) payload += std::to_string(i % 97) + ",";
  ASSERT_TRUE(platform::WriteStringToFile("C:\\agent.bin", payload));
  ASSERT_TRUE(platform::SetFileAttributes("C:\\agent.bin", platform::kAttrHidden));
  ASSERT_TRUE(platform::CopyFile("C:\\agent.bin", sys + "VXAgent.exe", false));
  std::ifstream real(Pc1Windows("system32/VXAgent.exe"), std::ios::binary);
  std::string on_disk((std::istreambuf_iterator<char>(real)), std::istreambuf_iterator<char>());
  EXPECT_EQ(on_disk, payload);
  EXPECT_TRUE(platform::GetFileAttributes(sys + "vxagent.EXE") & platform::kAttrHidden);
  EXPECT_EQ(platform::CopyFile("C:\\agent.bin", sys + "VXAgent.exe", true), false);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileExists);

  std::string back;
  ASSERT_TRUE(platform::ReadFileToString(sys + "VXAgent.exe", &back));
  EXPECT_EQ(back, payload);

  // Handle operations.
  platform::File f;
  ASSERT_TRUE(f.Open(sys + "data.db", platform::kGenericRead | platform::kGenericWrite, 0,
                     platform::kCreateAlways));
  uint32_t n = 0;
  ASSERT_TRUE(f.Write("hello world", 11, &n));
  EXPECT_EQ(n, 11u);
  uint64_t pos = 0;
  ASSERT_TRUE(f.Seek(5, platform::kSeekBegin, &pos));
  EXPECT_EQ(pos, 5u);
  ASSERT_TRUE(f.SetEndOfFile());
  uint64_t size = 0;
  ASSERT_TRUE(f.GetSize(&size));
  EXPECT_EQ(size, 5u);
  // The open handle refuses a second opener that shares nothing.
  platform::File g;
  EXPECT_FALSE(g.Open(sys + "data.db", platform::kGenericRead, platform::kShareAll, platform::kOpenExisting));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
  f.Close();

  // Search with wildcards.
  platform::FindFile find;
  platform::FindData d;
  std::vector<std::string> names;
  ASSERT_TRUE(find.First(sys + "*.*", &d));
  do names.push_back(d.name);
  while (find.Next(&d));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorNoMoreFiles);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "VXAgent.exe", "config", "data.db"}));
  EXPECT_FALSE(find.First(sys + "*.zzz", &d));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);

  // Folders, renames, deletion and the errors of each.
  EXPECT_TRUE(platform::CreateDirectory(sys + "LogFolder"));
  EXPECT_FALSE(platform::CreateDirectory(sys + "LogFolder"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);
  EXPECT_TRUE(platform::PathIsDirectory(sys + "logfolder"));
  EXPECT_TRUE(platform::MoveFile(sys + "data.db", sys + "LogFolder\\moved.db"));
  EXPECT_FALSE(platform::RemoveDirectory(sys + "LogFolder"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorDirNotEmpty);
  EXPECT_TRUE(platform::CopyFile(sys + "LogFolder\\moved.db", sys + "copy.db", false));
  EXPECT_TRUE(platform::PathFileExists(sys + "copy.db"));
  ASSERT_TRUE(platform::SetFileAttributes(sys + "copy.db", platform::kAttrReadOnly));
  EXPECT_FALSE(platform::DeleteFile(sys + "copy.db"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
  ASSERT_TRUE(platform::SetFileAttributes(sys + "copy.db", platform::kAttrNormal));
  EXPECT_TRUE(platform::DeleteFile(sys + "copy.db"));
  EXPECT_FALSE(platform::DeleteFile(sys + "copy.db"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_EQ(platform::GetFileAttributes("\\\\PC1\\ADMIN$\\nofolder\\x.txt"), platform::kInvalidFileAttributes);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorPathNotFound);
  EXPECT_EQ(platform::GetFileAttributes("\\\\PC1\\C$\\x.txt"), platform::kInvalidFileAttributes);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorBadNetName);
}

TEST_F(RemoteServerTest, ServiceManagerOfAnotherHost) {
  // Only administrators reach it.
  UseCredentials("bob", "bob-pw");
  EXPECT_FALSE(platform::OpenSCManagerA("PC1", "", platform::SC_MANAGER_ALL_ACCESS));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);

  UseCredentials("Administrator", "adm1n-pw");
  ASSERT_EQ(platform::ConnectShare("\\\\PC1\\ADMIN$", 1), 0u);
  // The program travels over the share and stays runnable.
  fs::copy_file(fs::path(std::getenv("VX_BIN_DIR")) / "vx_test_service", console_->root() + "/C/svc.exe");
  ASSERT_TRUE(platform::CopyFile("C:\\svc.exe", "\\\\PC1\\ADMIN$\\System32\\svc.exe", false))
      << platform::GetLastError();

  platform::ScHandle scm = platform::OpenSCManagerA("PC1", "", platform::SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(scm) << platform::GetLastError();
  platform::ScHandle svc = platform::CreateServiceA(
      scm, "VXAgent", "VXAgent", platform::SERVICE_ALL_ACCESS, platform::SERVICE_WIN32_OWN_PROCESS,
      platform::SERVICE_AUTO_START, platform::SERVICE_ERROR_NORMAL, "C:\\WINDOWS\\system32\\svc.exe normal");
  ASSERT_TRUE(svc) << platform::GetLastError();
  ASSERT_TRUE(platform::StartServiceA(svc)) << platform::GetLastError();
  EXPECT_FALSE(platform::StartServiceA(svc));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorServiceAlreadyRunning);
  platform::SERVICE_STATUS st;
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(platform::QueryServiceStatus(svc, &st));
    if (st.dwCurrentState == platform::SERVICE_RUNNING) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(st.dwCurrentState, platform::SERVICE_RUNNING);
  ASSERT_TRUE(platform::ControlService(svc, platform::SERVICE_CONTROL_STOP, &st));
  for (int i = 0; i < 500 && st.dwCurrentState != platform::SERVICE_STOPPED; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(platform::QueryServiceStatus(svc, &st));
  }
  EXPECT_EQ(st.dwCurrentState, platform::SERVICE_STOPPED);
  EXPECT_TRUE(platform::DeleteService(svc));
  platform::CloseServiceHandle(svc);
  EXPECT_FALSE(platform::OpenServiceA(scm, "VXAgent", platform::SERVICE_ALL_ACCESS));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorServiceDoesNotExist);
}

}  // namespace
