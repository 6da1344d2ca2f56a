// RemoteAdminScanPipe of the real VXAgent.exe, run as a service under a real
// host daemon on a host with planted spyware. The client builds every byte
// it sends itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/tests/planted_spies.h"
#include "common/string_map_file.h"
#include "hostd/testing/running_daemon.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/strings.h"

namespace vxagent {
namespace {

namespace fs = std::filesystem;
using hostd::testing::BinPath;
using hostd::testing::RunningDaemon;
using hostd::testing::WaitUntil;

const std::string kScanPipe = "\\\\.\\pipe\\RemoteAdminScanPipe";
const std::string kSystem = "C:\\WINDOWS\\system32\\";

using Bytes = std::vector<uint8_t>;

// ScanParameters as the console sends them: scan kind, three padding
// bytes, the on-detection value as 32-bit little-endian.
Bytes Parameters(uint8_t kind, uint32_t on_detection, uint8_t padding = 0) {
  return {kind,
          padding,
          padding,
          padding,
          static_cast<uint8_t>(on_detection),
          static_cast<uint8_t>(on_detection >> 8),
          static_cast<uint8_t>(on_detection >> 16),
          static_cast<uint8_t>(on_detection >> 24)};
}

struct Replies {
  std::vector<std::string> lines;
  bool all_full_records = true;  // every reply was exactly 260 bytes
};

class ScanPipeTest : public ::testing::Test {
 protected:
  ScanPipeTest() : host_(testing::TwoFixedDrives()) {}

  void SetUp() override {
    for (const char* file : {"VXAgent.exe", "Imprinter.dll"})
      fs::copy_file(BinPath(file), host_.Real(kSystem + file));
    platform::RegKey key;
    ASSERT_EQ(0u, key.Create(platform::RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyAllAccess));
    ASSERT_EQ(0u, key.WriteDword("PauseScale", 0));
    ASSERT_TRUE(testing::WriteSampleDatabase());
    testing::PlantSampleSpies(host_);

    daemon_ = std::make_unique<RunningDaemon>(host_.root());
    ASSERT_TRUE(daemon_->ok());
    scm_ = platform::OpenSCManagerA("", "", platform::SC_MANAGER_ALL_ACCESS);
    service_ = platform::CreateServiceA(scm_, "VXAgent", "VXAgent", platform::SERVICE_ALL_ACCESS,
                                        platform::SERVICE_WIN32_OWN_PROCESS, platform::SERVICE_AUTO_START,
                                        platform::SERVICE_ERROR_NORMAL, "%SystemRoot%\\system32\\VXAgent.exe");
    ASSERT_TRUE(service_.IsValid());
    ASSERT_TRUE(platform::StartServiceA(service_));
    ASSERT_TRUE(WaitUntil([] { return platform::WaitNamedPipe(kScanPipe, 100); })) << ServiceLog();
  }

  std::string ServiceLog() { return Read(DebugLogPath()); }
  std::string Read(const std::string& path) {
    std::string out;
    platform::ReadFileToString(path, &out);
    return out;
  }

  platform::PipeClient Open() {
    platform::PipeClient c;
    EXPECT_TRUE(WaitUntil([&] { return platform::WaitNamedPipe(kScanPipe, 1000) && c.Open(kScanPipe); }));
    return c;
  }

  static void Send(platform::PipeClient& c, const Bytes& bytes) {
    uint32_t n = 0;
    EXPECT_TRUE(c.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &n));
    EXPECT_EQ(bytes.size(), n);
  }

  // One scan: SCommand 0, the parameters, then every reply up to "Finish"
  // (compared without regard to case, as the console does).
  Replies Scan(const Bytes& parameters) {
    Replies r;
    platform::PipeClient c = Open();
    Send(c, {0, 0, 0, 0});
    Send(c, parameters);
    for (;;) {
      uint8_t reply[260];
      uint32_t n = 0;
      if (!c.Read(reply, sizeof reply, &n)) break;
      if (n != 260) r.all_full_records = false;
      std::string text(reinterpret_cast<char*>(reply), n);
      r.lines.push_back(text.substr(0, text.find('\0')));
      if (platform::EqualsIgnoreCase(r.lines.back(), "Finish")) break;
    }
    return r;
  }

  uint32_t ScanProgress() {
    platform::RegKey key;
    uint32_t value = 99;
    key.Open(platform::RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyRead);
    key.ReadDword("ScanProgress", &value);
    return value;
  }

  platform::testing::TempHost host_;
  std::unique_ptr<RunningDaemon> daemon_;
  platform::ScHandle scm_, service_;
};

TEST_F(ScanPipeTest, ScansAnswerStartAnnouncementSummaryAndFinish) {
  struct Case {
    const char* what;
    Bytes parameters;
    bool pending_restart;  // a planted trace already waits for the next start
    const char* summary;
    bool traces_stay;  // nothing was removed
  } cases[] = {
      {"quick, log only", Parameters(0, 0), false, "[PC1] 4 Spyware(s) found.", true},
      {"full with non-zero padding walks D: too", Parameters(1, 0, 0xEE), false, "[PC1] 5 Spyware(s) found.", true},
      {"on detection 7 reads like log only", Parameters(0, 7), false, "[PC1] 4 Spyware(s) found.", true},
      {"quick, delete", Parameters(0, 1), false, "[PC1] 4 Spyware(s) found out of which 4 are deleted.", false},
      {"quick, quarantine", Parameters(0, 2), false,
       "[PC1] 4 Spyware(s) found out of which 4 are quarantined.", false},
      {"a delete already pending needs a restart", Parameters(0, 1), true,
       "[PC1] 3 Spyware(s) found out of which 3 are deleted. (Restart Required)", false},
  };
  int runs = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::PlantSampleSpies(host_);
    const std::string restart_file = kSystem + "RestartDelete.db";
    platform::DeleteFile(restart_file);
    if (c.pending_restart) {
      ASSERT_TRUE(common::WriteStringMapFile(restart_file, {{testing::kAdHunterExe, "File#Delete"}}, true));
    }
    Replies r = Scan(c.parameters);
    ++runs;
    EXPECT_TRUE(r.all_full_records);
    // The first detection is announced once, between the start and the summary.
    EXPECT_EQ((std::vector<std::string>{"[PC1] Starting scan...", "[PC1] Spywares found.", c.summary, "Finish"}),
              r.lines)
        << ServiceLog();
    EXPECT_EQ(c.traces_stay, platform::PathFileExists(testing::kTinyTrackDll));
    EXPECT_EQ(0u, ScanProgress());
    // Each run left its history record and its LogFolder file, and took
    // the scan log away.
    const std::string history = Read(kSystem + "ScanHistory.ini");
    const size_t last = history.find("\n[LASTSCAN]\nDate=");
    ASSERT_NE(std::string::npos, last) << history;
    const std::string section = history.substr(last + 17, history.find('\n', last + 17) - last - 17);
    EXPECT_EQ("#" + std::to_string(runs), section.substr(section.find('#')));
    EXPECT_TRUE(platform::PathFileExists(kSystem + "LogFolder\\" + section + ".txt"));
    EXPECT_FALSE(platform::PathFileExists(kSystem + "SpywareLog.txt"));
    if (c.traces_stay) {
      EXPECT_EQ(std::string("AdHunter#@#C:\\WINDOWS\\adhunter.exe#@#") + testing::kAdHunterSha256 + "\n",
                Read(kSystem + "SpySignatures.txt"));
    }
  }
}

TEST_F(ScanPipeTest, AScanInProgressElsewhereStartsNothing) {
  {
    platform::RegKey key;
    ASSERT_EQ(0u, key.Open(platform::RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyAllAccess));
    ASSERT_EQ(0u, key.WriteDword("ScanProgress", 1));
  }
  Replies r = Scan(Parameters(0, 1));
  EXPECT_EQ((std::vector<std::string>{"[PC1] Starting scan...", "[PC1] Scanning is already running by Scheduler.",
                                      "Finish"}),
            r.lines);
  EXPECT_TRUE(platform::PathFileExists(testing::kAdHunterExe)) << "nothing deleted";
  EXPECT_FALSE(platform::PathFileExists(kSystem + "ScanHistory.ini"));
  EXPECT_EQ(1u, ScanProgress()) << "the other scan's guard is left alone";
}

TEST_F(ScanPipeTest, ShortOrAbandonedRequestsStartNoScanAndFreeThePipe) {
  {
    platform::PipeClient c = Open();
    Send(c, {0, 0, 0, 0});
    Send(c, {0, 0, 0});  // three bytes of eight
    uint8_t reply[260];
    uint32_t n = 0;
    EXPECT_FALSE(c.Read(reply, sizeof reply, &n));
  }
  {
    platform::PipeClient c = Open();
    Send(c, {1, 0, 0, 0});  // bThreadExit: let go without a reply
    uint8_t reply[260];
    uint32_t n = 0;
    EXPECT_FALSE(c.Read(reply, sizeof reply, &n));
  }
  { platform::PipeClient c = Open(); }  // gone before the SCommand
  EXPECT_FALSE(platform::PathFileExists(kSystem + "ScanHistory.ini"));
  EXPECT_TRUE(platform::PathFileExists(testing::kAdHunterExe));
  // The pipe still serves a scan.
  Replies r = Scan(Parameters(0, 0));
  ASSERT_EQ(4u, r.lines.size()) << ServiceLog();
  EXPECT_EQ("[PC1] 4 Spyware(s) found.", r.lines[2]);
}

}  // namespace
}  // namespace vxagent
