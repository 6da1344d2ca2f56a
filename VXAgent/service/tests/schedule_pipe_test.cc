// RemoteAdminScheduleScanPipe of the real agent, run as a service under a
// real host daemon, spoken to by a client that builds its bytes itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "VXAgent/service/debug_log.h"
#include "hostd/testing/running_daemon.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/testing/temp_host.h"

namespace vxagent {
namespace {

namespace fs = std::filesystem;
using hostd::testing::BinPath;
using hostd::testing::RunningDaemon;
using Bytes = std::vector<uint8_t>;

const char kPipe[] = "\\\\.\\pipe\\RemoteAdminScheduleScanPipe";
const char kScheduleKey[] = "Software\\VXCorporate\\Schedule_Info";

void Put32(Bytes* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
Bytes Le32(uint32_t v) {
  Bytes b;
  Put32(&b, v);
  return b;
}
Bytes ScheduleInfoBytes(uint32_t kind, uint32_t on_detection, uint32_t day, int64_t time) {
  Bytes b;
  Put32(&b, kind);
  Put32(&b, on_detection);
  Put32(&b, day);
  Put32(&b, static_cast<uint32_t>(static_cast<uint64_t>(time)));
  Put32(&b, static_cast<uint32_t>(static_cast<uint64_t>(time) >> 32));
  return b;
}

class SchedulePipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A zone half an hour off whole hours, so that a UTC hour or minute
    // would show. The daemon and the agent inherit it.
    const char* tz = std::getenv("TZ");
    if (tz) saved_tz_ = tz;
    had_tz_ = tz != nullptr;
    setenv("TZ", "XST-5:30", 1);
    tzset();

    fs::copy_file(BinPath("VXAgent.exe"), host_.Real("C:\\WINDOWS\\system32\\VXAgent.exe"));
    daemon_ = std::make_unique<RunningDaemon>(host_.root());
    ASSERT_TRUE(daemon_->ok());
    scm_ = platform::OpenSCManagerA("", "", platform::SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(scm_.IsValid());
    service_ = platform::CreateServiceA(scm_, "VXAgent", "VXAgent", platform::SERVICE_ALL_ACCESS,
                                        platform::SERVICE_WIN32_OWN_PROCESS, platform::SERVICE_DEMAND_START,
                                        platform::SERVICE_ERROR_NORMAL, "%SystemRoot%\\system32\\VXAgent.exe");
    ASSERT_TRUE(service_.IsValid());
    ASSERT_TRUE(platform::StartServiceA(service_));
    ASSERT_TRUE(hostd::testing::WaitUntil([] { return platform::WaitNamedPipe(kPipe, 100); })) << Log();
  }

  void TearDown() override {
    daemon_.reset();
    if (had_tz_)
      setenv("TZ", saved_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

  static std::string Log() {
    std::string out;
    platform::ReadFileToString(DebugLogPath(), &out);
    return out;
  }

  // Opens the pipe and writes each record as one message. The agent may
  // let the client go before its last records (bThreadExit 1); a write that
  // then fails ends the sending, and the missing reply shows any other case.
  static platform::PipeClient Send(const std::vector<Bytes>& records) {
    platform::PipeClient c;
    EXPECT_TRUE(hostd::testing::WaitUntil([&] { return platform::WaitNamedPipe(kPipe, 1000) && c.Open(kPipe); }));
    for (const Bytes& r : records) {
      uint32_t n = 0;
      if (!c.Write(r.data(), static_cast<uint32_t>(r.size()), &n)) break;
      EXPECT_EQ(n, r.size());
    }
    return c;
  }

  // The one reply of an exchange, "<none>" when the agent let the client go
  // without one. Every reply is a whole 260-byte line, zero after its text.
  static std::string Exchange(const std::vector<Bytes>& records) {
    platform::PipeClient c = Send(records);
    uint8_t reply[400];
    uint32_t n = 0;
    if (!c.Read(reply, sizeof reply, &n)) return "<none>";
    EXPECT_EQ(n, 260u);
    std::string text(reinterpret_cast<const char*>(reply));
    for (uint32_t i = static_cast<uint32_t>(text.size()); i < n; ++i) EXPECT_EQ(reply[i], 0) << i;
    // Nothing follows the reply: the agent disconnects.
    EXPECT_FALSE(c.Read(reply, sizeof reply, &n));
    return text;
  }

  static bool ScheduleExists() {
    platform::RegKey key;
    return key.Open(platform::RootKey::kLocalMachine, kScheduleKey, platform::kKeyRead) == 0;
  }

  platform::testing::TempHost host_;
  std::unique_ptr<RunningDaemon> daemon_;
  platform::ScHandle scm_, service_;
  std::string saved_tz_;
  bool had_tz_ = false;
};

TEST_F(SchedulePipeTest, SetAndRemoveTheScheduleOverTheWire) {
  // A guard left set by a scan cut off by a stop; no scan runs now.
  {
    platform::RegKey agent;
    ASSERT_EQ(agent.Open(platform::RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyAllAccess), 0u);
    agent.WriteDword("ScanProgress", 1);
  }
  platform::LocalTime t;
  t.year = 2026, t.month = 12, t.day = 11, t.hour = 21, t.minute = 30, t.second = 45;
  const int64_t when = platform::FromLocalTime(t);
  ASSERT_NE(when, -1);

  EXPECT_EQ(Exchange({Le32(0), Le32(1), ScheduleInfoBytes(3, 2, 2, when)}), "SUCCESS");
  platform::RegKey key;
  ASSERT_EQ(key.Open(platform::RootKey::kLocalMachine, kScheduleKey, platform::kKeyRead), 0u);
  uint32_t scan_type = 9, on_detection = 9, day = 9;
  std::string time;
  key.ReadDword("ScanType", &scan_type);
  key.ReadDword("OnDetection", &on_detection);
  key.ReadDword("Day", &day);
  key.ReadString("Time", &time);
  key.Close();
  EXPECT_EQ(scan_type, 1u);
  EXPECT_EQ(on_detection, 2u);
  EXPECT_EQ(day, 2u);
  EXPECT_EQ(time, "21:30");
  platform::RegKey agent;
  ASSERT_EQ(agent.Open(platform::RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyRead), 0u);
  uint32_t progress = 9;
  agent.ReadDword("ScanProgress", &progress);
  EXPECT_EQ(progress, 0u);

  // Operations other than 0 and 1 get no answer and change nothing.
  for (uint32_t op : {2u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Exchange({Le32(0), Le32(op)}), "<none>") << op;
    EXPECT_TRUE(ScheduleExists());
  }
  // bThreadExit 1: dropped before the operation is looked at.
  EXPECT_EQ(Exchange({Le32(1), Le32(0)}), "<none>");
  EXPECT_TRUE(ScheduleExists());

  EXPECT_EQ(Exchange({Le32(0), Le32(0)}), "SUCCESS");
  EXPECT_FALSE(ScheduleExists());
  EXPECT_EQ(Exchange({Le32(0), Le32(0)}), "ERROR");

  // A short schedule record stores nothing.
  EXPECT_EQ(Exchange({Le32(0), Le32(1), Bytes(12, 1)}), "ERROR");
  EXPECT_FALSE(ScheduleExists());

  // A schedule whose key cannot be removed (it has a subkey).
  EXPECT_EQ(Exchange({Le32(0), Le32(1), ScheduleInfoBytes(0, 0, 8, when)}), "SUCCESS");
  ASSERT_EQ(key.Create(platform::RootKey::kLocalMachine, std::string(kScheduleKey) + "\\Extra", platform::kKeyAllAccess),
            0u);
  key.Close();
  EXPECT_EQ(Exchange({Le32(0), Le32(0)}), "ERROR");
  EXPECT_TRUE(ScheduleExists());

  const std::string log = Log();
  const char* kLines[] = {
      "## In RemoteAdminScheduleScanThread\r\n",
      "## Befor Schedule ConnectNamedPipe\r\n",
      "## After Schedule ConnectNamedPipe\r\n",
      "## Schedule_Scan SUCCESS\r\n",
      "## After Schedule FlushFileBuffers!\r\n",
      "## Schedule_Scan ERROR\r\n",
      "## After Schedule FlushFileBuffers(2)!\r\n",
      "## In remove schedule scan\r\n",
      "## Remove Schedule_Scan SUCCESS\r\n",
      "## After Schedule FlushFileBuffers(3)!\r\n",
      "## Remove Schedule_Scan ERROR\r\n",
      "## After Schedule FlushFileBuffers(4)!\r\n",
      "## In Schedule cmd.bThreadExit == TRUE, now calling DisconnectNamedPipe!\r\n",
      "## Befor Schedule DisconnectNamedPipe\r\n",
      "## After Schedule DisconnectNamedPipe\r\n",
  };
  for (const char* line : kLines) EXPECT_NE(log.find(line), std::string::npos) << line << log;
}

TEST_F(SchedulePipeTest, ClientsThatLeaveMidExchangeAreLoggedAndTheNextIsServed) {
  struct Case {
    const char* what;
    std::vector<Bytes> records;
    const char* line;
  };
  const Case kCases[] = {
      {"leaves after the SCommand", {Le32(0)}, "In Schedule ::ReadFile(2) Failed, now calling DisconnectNamedPipe!"},
      {"leaves after OperCmd 1", {Le32(0), Le32(1)}, "In Schedule ::ReadFile(3) Failed, now calling DisconnectNamedPipe!"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    { platform::PipeClient gone = Send(c.records); }
    EXPECT_TRUE(hostd::testing::WaitUntil([&] { return Log().find(c.line) != std::string::npos; })) << Log();
  }
  // The pipe still answers in full.
  EXPECT_EQ(Exchange({Le32(0), Le32(0)}), "ERROR");
}

}  // namespace
}  // namespace vxagent
