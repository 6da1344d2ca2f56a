// The scan run inside the agent process: the guard, the scan history, the
// LogFolder files, the signature report and Imprinter.dll.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/pipes/version_check.h"
#include "VXAgent/service/agent_logs.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/scan_history.h"
#include "VXAgent/service/scan_pipe.h"
#include "VXAgent/service/scan_run.h"
#include "VXAgent/service/signature_report.h"
#include "VXAgent/service/tests/planted_spies.h"
#include "common/string_map_file.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/registry.h"

namespace vxagent {
namespace {

namespace fs = std::filesystem;
using testing::kAdHunterExe;
using testing::kAdHunterSha256;

const char kSystem[] = "C:\\WINDOWS\\system32\\";

class SettableClock : public platform::Clock {
 public:
  void Set(int year, int month, int day, int hour, int minute, int second) {
    platform::LocalTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    millis_ = platform::FromLocalTime(t) * 1000;
  }
  int64_t NowUnixMillis() override { return millis_; }

 private:
  int64_t millis_ = 0;
};

// Polls `done` every 10 ms for up to 10 s.
bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

std::string BinFile(const std::string& name) {
  const char* dir = std::getenv("VX_BIN_DIR");
  return std::string(dir ? dir : "bin") + "/" + name;
}

class ScanRunTest : public ::testing::Test {
 protected:
  ScanRunTest() : host_(testing::TwoFixedDrives()) {
    ::setenv("VX_PAUSE_SCALE", "0", 1);
    engine::RestartDeleteMap::Global().Clear();
    platform::RegKey key;
    key.Create(platform::RootKey::kLocalMachine, kAgentKey, platform::kKeyAllAccess);
  }
  ~ScanRunTest() override { platform::SetClockForTesting(nullptr); }

  void InstallImprinter() {
    fs::copy_file(BinFile("Imprinter.dll"), host_.Real(std::string(kSystem) + "Imprinter.dll"));
  }
  std::string Read(const std::string& path) {
    std::string out;
    platform::ReadFileToString(path, &out);
    return out;
  }
  bool Exists(const std::string& path) { return platform::PathFileExists(path); }
  uint32_t ScanProgress() {
    platform::RegKey key;
    uint32_t value = 99;
    key.Open(platform::RootKey::kLocalMachine, kAgentKey, platform::kKeyRead);
    key.ReadDword("ScanProgress", &value);
    return value;
  }
  common::StringMap ReadMap(const std::string& path) {
    common::StringMap map;
    EXPECT_TRUE(common::ReadStringMapFile(path, &map)) << path;
    return map;
  }

  platform::testing::TempHost host_;
  SettableClock clock_;
};

// ---- scan history ------------------------------------------------------

TEST_F(ScanRunTest, ScanHistoryNumbersRunsPerDayAndKeepsSectionOrder) {
  platform::SetClockForTesting(&clock_);
  clock_.Set(2026, 12, 10, 9, 5, 3);
  ASSERT_TRUE(SaveScanStatisticsinINI(4, 0, 0));
  clock_.Set(2026, 12, 10, 13, 0, 0);
  ASSERT_TRUE(SaveScanStatisticsinINI(3, 2, 0));
  clock_.Set(2026, 12, 10, 23, 59, 59);
  ASSERT_TRUE(SaveScanStatisticsinINI(0, 0, 0));
  EXPECT_EQ("10 December 2026#3", LastScanSection());
  clock_.Set(2026, 12, 11, 0, 0, 1);
  ASSERT_TRUE(SaveScanStatisticsinINI(2, 0, 1));
  EXPECT_EQ("11 December 2026#1", LastScanSection());
  // Plain text, sections in the order they were first created.
  EXPECT_EQ(
      "\n[10 December 2026]\nnoofscans=3\n"
      "\n[10 December 2026#1]\nTIME=09:05:03\nDetected=4\nDeleted=0\nQuarantined=0\n"
      "\n[LASTSCAN]\nDate=11 December 2026#1\n"
      "\n[10 December 2026#2]\nTIME=13:00:00\nDetected=3\nDeleted=2\nQuarantined=0\n"
      "\n[10 December 2026#3]\nTIME=23:59:59\nDetected=0\nDeleted=0\nQuarantined=0\n"
      "\n[11 December 2026]\nnoofscans=1\n"
      "\n[11 December 2026#1]\nTIME=00:00:01\nDetected=2\nDeleted=0\nQuarantined=1\n",
      Read(ScanHistoryPath()));
}

TEST_F(ScanRunTest, ScanHistoryAfterTheConsoleTookTheFileStartsAgainAtOne) {
  platform::SetClockForTesting(&clock_);
  clock_.Set(2026, 12, 10, 9, 0, 0);
  SaveScanStatisticsinINI(1, 0, 0);
  SaveScanStatisticsinINI(1, 0, 0);
  ASSERT_TRUE(platform::DeleteFile(ScanHistoryPath()));
  SaveScanStatisticsinINI(1, 0, 0);
  EXPECT_EQ("10 December 2026#1", LastScanSection());
  // A damaged count does not give a negative record number.
  platform::WriteStringToFile(ScanHistoryPath(), "\n[10 December 2026]\nnoofscans=-7\n");
  SaveScanStatisticsinINI(1, 0, 0);
  EXPECT_EQ("10 December 2026#1", LastScanSection());
}

// ---- LogFolder files ---------------------------------------------------

TEST_F(ScanRunTest, WriteLogInMapTurnsScanLogLinesIntoKeys) {
  struct Case {
    const char* what;
    std::string log;
    common::StringMap expected;
  } cases[] = {
      {"one file line",
       " On [ 7 March 2006 14:05:09 ] - File:SomeSpy <C:\\WINDOWS\\x.exe>Deleted\r\n",
       {{" [ 7 March 2006 14:05:09 ]  - File < SomeSpy > C:\\WINDOWS\\x.exe#", "Deleted"}}},
      {"two identical lines give one entry",
       " On [ 7 March 2006 14:05:09 ] - File:A <C:\\a>Detected\r\n"
       " On [ 7 March 2006 14:05:09 ] - File:A <C:\\a>Detected\r\n",
       {{" [ 7 March 2006 14:05:09 ]  - File < A > C:\\a#", "Detected"}}},
      {"the later status wins",
       " On [ 7 March 2006 14:05:09 ] - File:A <C:\\a>Detected\r\n"
       " On [ 7 March 2006 14:05:09 ] - File:A <C:\\a>Quarantined\r\n",
       {{" [ 7 March 2006 14:05:09 ]  - File < A > C:\\a#", "Quarantined"}}},
      {"types with blanks, cookies, surrounding blanks trimmed",
       " On [ 1 May 2026 00:00:00 ] - Registry Value:Spy Co <HKLM\\Software\\S\\V>Detected\r\n"
       " On [ 1 May 2026 00:00:00 ] - Cookie:Spy Co <www.ad.com$Administrator,Guest,>  Deleted \r\n",
       {{" [ 1 May 2026 00:00:00 ]  - Registry Value < Spy Co > HKLM\\Software\\S\\V#", "Detected"},
        {" [ 1 May 2026 00:00:00 ]  - Cookie < Spy Co > www.ad.com$Administrator,Guest,#", "Deleted"}}},
      {"blank and foreign lines are no entries",
       "\r\nsomething else\r\n On [ 1 May 2026 00:00:00 ] - File:A <C:\\a>Detected",
       {{" [ 1 May 2026 00:00:00 ]  - File < A > C:\\a#", "Detected"}}},
      {"an empty log gives an empty map", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string source = std::string(kSystem) + "SpywareLog.txt";
    const std::string target = std::string(kSystem) + "out.txt";
    platform::DeleteFile(target);
    ASSERT_TRUE(platform::WriteStringToFile(source, c.log));
    ASSERT_TRUE(WriteLogInMap(source, target));
    EXPECT_EQ(c.expected, ReadMap(target));
    EXPECT_EQ(common::StringMapFile::Encode(c.expected), Read(target));
  }
}

TEST_F(ScanRunTest, WriteLogInMapFailures) {
  const std::string source = std::string(kSystem) + "SpywareLog.txt";
  // A missing scan log: nothing written.
  EXPECT_FALSE(WriteLogInMap(source, std::string(kSystem) + "out.txt"));
  EXPECT_FALSE(Exists(std::string(kSystem) + "out.txt"));
  // A target that cannot be written is logged.
  platform::WriteStringToFile(source, " On [ 1 May 2026 00:00:00 ] - File:A <C:\\a>Detected\r\n");
  platform::CreateDirectory(std::string(kSystem) + "taken.txt");
  EXPECT_FALSE(WriteLogInMap(source, std::string(kSystem) + "taken.txt"));
  EXPECT_NE(std::string::npos, Read(DebugLogPath()).find("Could not create file for store log:C:\\WINDOWS\\system32\\taken.txt"));
  // An older, longer file is overwritten from the start, not cut: its tail
  // stays behind the new pairs and is never read.
  const std::string target = std::string(kSystem) + "old.txt";
  const std::string old = common::StringMapFile::Encode({{"k1", std::string(100, 'x')}, {"k2", "y"}});
  platform::WriteStringToFile(target, old);
  ASSERT_TRUE(WriteLogInMap(source, target));
  const std::string now = common::StringMapFile::Encode({{" [ 1 May 2026 00:00:00 ]  - File < A > C:\\a#", "Detected"}});
  EXPECT_EQ(now + old.substr(now.size()), Read(target));
  EXPECT_EQ(1u, ReadMap(target).size());
}

TEST_F(ScanRunTest, SaveLogFileOnClientMovesTheScanLogUnderTheLastScan) {
  const std::string scan_log = std::string(kSystem) + "SpywareLog.txt";
  platform::WriteStringToFile(scan_log, " On [ 1 May 2026 00:00:00 ] - File:A <C:\\a>Detected\r\n");
  platform::SetFileAttributes(scan_log, platform::kAttrReadOnly);
  platform::WriteStringToFile(ScanHistoryPath(), "\n[LASTSCAN]\nDate=1 May 2026#2\n");
  SaveLogFileOnClient();
  EXPECT_FALSE(Exists(scan_log)) << "deleted once stored, read-only or not";
  EXPECT_EQ((common::StringMap{{" [ 1 May 2026 00:00:00 ]  - File < A > C:\\a#", "Detected"}}),
            ReadMap(std::string(kSystem) + "LogFolder\\1 May 2026#2.txt"));
  // Without a history the file is named after the empty section; a scan
  // log that cannot be stored stays.
  platform::DeleteFile(ScanHistoryPath());
  platform::WriteStringToFile(scan_log, "");
  SaveLogFileOnClient();
  EXPECT_TRUE(Exists(std::string(kSystem) + "LogFolder\\.txt"));
  platform::WriteStringToFile(scan_log, "x");
  platform::WriteStringToFile(ScanHistoryPath(), "\n[LASTSCAN]\nDate=blocked\n");
  platform::CreateDirectory(std::string(kSystem) + "LogFolder\\blocked.txt");
  SaveLogFileOnClient();
  EXPECT_TRUE(Exists(scan_log));
}

// ---- signature report --------------------------------------------------

TEST_F(ScanRunTest, SignatureReportListsEachFileAndProgramOnce) {
  InstallImprinter();
  host_.WriteFile(kAdHunterExe, testing::kAdHunterContent);
  host_.WriteFile("C:\\ten.dll", "0123456789");
  host_.WriteFile("C:\\sixteen.dll", "0123456789abcdef");
  host_.WriteFile("C:\\locked.sys", "The quick brown fox jumps over the lazy dog");
  platform::SetFileAttributes("C:\\locked.sys", platform::kAttrReadOnly);
  platform::WriteStringToFile(
      std::string(kSystem) + "SpywareLog.txt",
      " On [ 1 May 2026 00:00:00 ] - Cookie:C <www.ad.com$Administrator,>Detected\r\n"
      " On [ 1 May 2026 00:00:00 ] - Process:Runner <C:\\WINDOWS\\gone.EXE>Detected\r\n"
      " On [ 1 May 2026 00:00:00 ] - File:AdHunter <C:\\WINDOWS\\adhunter.exe>Detected\r\n"
      " On [ 1 May 2026 00:00:00 ] - File:Second <C:\\WINDOWS\\adhunter.exe>Detected\r\n"
      " On [ 1 May 2026 00:00:00 ] - File:Tiny <C:\\ten.dll>Detected\r\n"
      " On [ 1 May 2026 00:00:00 ] - File:Gone <C:\\gone.dll>Detected\r\n"
      " On [ 1 May 2026 00:00:00 ] - File:Edge <C:\\sixteen.dll>Detected\r\n"
      " On [ 1 May 2026 00:00:00 ] - Folder:F <C:\\WINDOWS>Detected\r\n"
      " On [ 1 May 2026 00:00:00 ] - Registry Key:R <HKLM\\Software\\R>Detected\r\n"
      " On [ 1 May 2026 00:00:00 ] - File:Locked <C:\\locked.sys>Detected\r\n");
  CreateReportCE();
  EXPECT_EQ(std::string("Runner#@#C:\\WINDOWS\\gone.EXE#@#\n") +  // a locked image: signed as far as possible
                "AdHunter#@#C:\\WINDOWS\\adhunter.exe#@#" + kAdHunterSha256 + "\n" +
                "Edge#@#C:\\sixteen.dll#@#" +
                "9f9f5111f7b27a781f1f1ddde5ebc2dd2b796bfc7365c9c28b548e564176929f\n" +
                "Locked#@#C:\\locked.sys#@#" + kAdHunterSha256 + "\n",
            Read(SpySignaturesPath()));
  EXPECT_EQ(0u, platform::GetFileAttributes("C:\\locked.sys") & platform::kAttrReadOnly);
}

TEST_F(ScanRunTest, SignatureReportLeavesAnOldReportWhenThereIsNothingToSign) {
  const std::string old = "Old#@#C:\\old.exe#@#abc\n";
  platform::WriteStringToFile(SpySignaturesPath(), old);
  host_.WriteFile(kAdHunterExe, testing::kAdHunterContent);
  // Only registry and cookie lines: no report at all.
  InstallImprinter();
  platform::WriteStringToFile(std::string(kSystem) + "SpywareLog.txt",
                              " On [ 1 May 2026 00:00:00 ] - Registry Value:R <HKLM\\S\\V>Detected\r\n"
                              " On [ 1 May 2026 00:00:00 ] - Cookie:C <www.ad.com$Administrator,>Detected\r\n");
  CreateReportCE();
  EXPECT_EQ(old, Read(SpySignaturesPath()));
  // No scan log at all.
  platform::DeleteFile(std::string(kSystem) + "SpywareLog.txt");
  CreateReportCE();
  EXPECT_EQ(old, Read(SpySignaturesPath()));
}

TEST_F(ScanRunTest, CreateReportWithoutTheLibraryOrItsExportWritesNothing) {
  const std::string old = "Old#@#C:\\old.exe#@#abc\n";
  platform::WriteStringToFile(SpySignaturesPath(), old);
  host_.WriteFile(kAdHunterExe, testing::kAdHunterContent);
  EXPECT_EQ(1, createReport({kAdHunterExe}, {"AdHunter"}));
  EXPECT_EQ(old, Read(SpySignaturesPath()));
  EXPECT_NE(std::string::npos, Read(DebugLogPath()).find("hinstDLL == NULL!"));
  // A library of that name without the export.
  const char* bin = std::getenv("VX_BIN_DIR");
  ASSERT_NE(bin, nullptr);
  fs::copy_file(std::string(bin) + "/../tests/helpers/system/VxTestLib.dll",
                host_.Real(std::string(kSystem) + "Imprinter.dll"));
  EXPECT_EQ(1, createReport({kAdHunterExe}, {"AdHunter"}));
  EXPECT_EQ(old, Read(SpySignaturesPath()));
  EXPECT_NE(std::string::npos, Read(DebugLogPath()).find("CreateSignature ==  NULL !"));
}

TEST_F(ScanRunTest, CreateSignatureIsTheFilesSha256) {
  InstallImprinter();
  platform::ModuleHandle library = platform::LoadLibrary("Imprinter.dll");
  ASSERT_NE(library, nullptr);
  auto create = reinterpret_cast<CreateSignatureFn>(platform::GetProcAddress(library, "CreateSignature"));
  ASSERT_NE(create, nullptr);
  struct Case {
    const char* path;
    std::string content;  // empty path content: the file is not created
    const char* signature;
    bool ok;
  } cases[] = {
      {"C:\\abc.bin", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", true},
      {"C:\\empty.bin", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", true},
      {"C:\\big.bin", std::string(200000, 'a'), "2287d207f24a941ff3b56c04c8a25ad56b63e3023207b3bb5b4ac0c9869d74be",
       true},  // several read chunks
      {"C:\\missing.bin", "<none>", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.content != "<none>") host_.WriteFile(c.path, c.content);
    char signature[kSignatureBufferSize];
    std::memset(signature, 'Z', sizeof signature);
    int rc = create(c.path, 0, signature);
    EXPECT_EQ(c.ok, rc == 0) << rc;
    EXPECT_STREQ(c.signature, signature);
  }
  platform::FreeLibrary(library);
}

// ---- the scan run ------------------------------------------------------

// A console pipe whose first record blocks the scan until released.
class BlockingPipe : public engine::ScanPipe {
 public:
  bool WriteRecord(std::string_view record) override {
    std::unique_lock<std::mutex> lock(mu_);
    records_.emplace_back(record);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return released_; });
    return true;
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mu_);
    released_ = true;
    cv_.notify_all();
  }
  size_t records() {
    std::lock_guard<std::mutex> lock(mu_);
    return records_.size();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool entered_ = false, released_ = false;
  std::vector<std::string> records_;
};

class ThrowingPipe : public engine::ScanPipe {
 public:
  bool WriteRecord(std::string_view) override { throw std::runtime_error("pipe broke"); }
};

TEST_F(ScanRunTest, TwoConcurrentRunsExactlyOneRuns) {
  ASSERT_TRUE(testing::WriteSampleDatabase());
  testing::PlantSampleSpies(host_);
  platform::SetClockForTesting(&clock_);
  clock_.Set(2026, 12, 10, 9, 5, 3);
  BlockingPipe pipes[2];
  ScanRunResult results[2] = {ScanRunResult::kFailed, ScanRunResult::kFailed};
  std::mutex done_mu;
  int done = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&, i] {
      results[i] = StartScan(0, &pipes[i], "PC1", 0, nullptr);
      std::lock_guard<std::mutex> lock(done_mu);
      ++done;
    });
  // One run blocks inside its scan on its first detection; the other must
  // have returned at once without waiting for it.
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(done_mu);
    return done == 1;
  }));
  const int loser = results[0] == ScanRunResult::kAlreadyRunning ? 0 : 1;
  EXPECT_EQ(ScanRunResult::kAlreadyRunning, results[loser]);
  EXPECT_EQ(0u, pipes[loser].records());
  // The loser may return before the winner got as far as setting the
  // registry value; its first detection comes after that.
  ASSERT_TRUE(pipes[1 - loser].WaitEntered());
  EXPECT_TRUE(ScanRunning());
  EXPECT_EQ(1u, ScanProgress());
  // A third caller meanwhile is refused too and touches no file.
  EXPECT_FALSE(StartScan(1, nullptr, "", 0));
  EXPECT_FALSE(Exists(ScanHistoryPath()));
  pipes[0].Release();
  pipes[1].Release();
  for (auto& t : threads) t.join();
  EXPECT_EQ(ScanRunResult::kDone, results[1 - loser]);
  EXPECT_FALSE(ScanRunning());
  EXPECT_EQ(0u, ScanProgress());
  EXPECT_EQ("\n[10 December 2026]\nnoofscans=1\n\n[10 December 2026#1]\nTIME=09:05:03\nDetected=4\n",
            Read(ScanHistoryPath()).substr(0, 79));
}

TEST_F(ScanRunTest, ARunLeavesHistoryLogFolderAndReport) {
  ASSERT_TRUE(testing::WriteSampleDatabase());
  testing::PlantSampleSpies(host_);
  InstallImprinter();
  platform::SetClockForTesting(&clock_);
  clock_.Set(2026, 12, 10, 9, 5, 3);
  ScanStatistics stats;
  ASSERT_EQ(ScanRunResult::kDone, StartScan(0, nullptr, "", 0, &stats));
  EXPECT_EQ(testing::kQuickFinds, stats.found);
  EXPECT_EQ(0, stats.deleted);
  EXPECT_FALSE(stats.restartRequired);
  EXPECT_EQ(testing::kQuickFinds, LastScanStatistics().found);
  EXPECT_EQ(0u, ScanProgress());
  EXPECT_EQ("10 December 2026#1", LastScanSection());
  EXPECT_EQ(std::string("AdHunter#@#C:\\WINDOWS\\adhunter.exe#@#") + kAdHunterSha256 + "\n",
            Read(SpySignaturesPath()));
  EXPECT_FALSE(Exists(std::string(kSystem) + "SpywareLog.txt"));
  EXPECT_EQ((common::StringMap{
                {" [ 10 December 2026 09:05:03 ]  - Cookie < CookieMonster > www.adsite.com$Administrator,#",
                 "Detected"},
                {" [ 10 December 2026 09:05:03 ]  - File < AdHunter > C:\\WINDOWS\\adhunter.exe#", "Detected"},
                {" [ 10 December 2026 09:05:03 ]  - File < TinyTrack > C:\\TinyTrack\\tt.dll#", "Detected"},
                {" [ 10 December 2026 09:05:03 ]  - Registry Value < AdHunter > HKLM\\Software\\AdHunter\\Run#",
                 "Detected"},
            }),
            ReadMap(std::string(kSystem) + "LogFolder\\10 December 2026#1.txt"));
  // A full scan with delete also walks D: and counts what it deleted.
  ASSERT_EQ(ScanRunResult::kDone, StartScan(1, nullptr, "", 1, &stats));
  EXPECT_EQ(testing::kFullFinds, stats.found);
  EXPECT_EQ(testing::kFullFinds, stats.deleted);
  EXPECT_EQ(1, stats.scanKind);
  EXPECT_FALSE(Exists(testing::kTinyTrackOnD));
  EXPECT_EQ(static_cast<size_t>(testing::kFullFinds), ReadMap(std::string(kSystem) + "LogFolder\\10 December 2026#2.txt").size());
}

TEST_F(ScanRunTest, ARunThatThrowsReleasesGuardProgressAndMap) {
  ASSERT_TRUE(testing::WriteSampleDatabase());
  testing::PlantSampleSpies(host_);
  ThrowingPipe pipe;
  ScanStatistics stats;
  stats.found = -1;
  EXPECT_EQ(ScanRunResult::kFailed, StartScan(0, &pipe, "PC1", 0, &stats));
  EXPECT_EQ(-1, stats.found) << "no statistics for a failed run";
  EXPECT_FALSE(ScanRunning());
  EXPECT_EQ(0u, ScanProgress());
  EXPECT_EQ(0, engine::RestartDeleteMap::Global().open_brackets());
  EXPECT_NE(std::string::npos, Read(DebugLogPath()).find("Exception caught In StartScan"));
  EXPECT_FALSE(Exists(ScanHistoryPath()));
  // The next run goes through.
  EXPECT_TRUE(StartScan(0, nullptr, "", 0));
}

TEST_F(ScanRunTest, ScanPipeAnswersBusyWhileARunOfThisProcessHoldsTheGuard) {
  ASSERT_TRUE(testing::WriteSampleDatabase());
  testing::PlantSampleSpies(host_);
  BlockingPipe blocker;
  std::thread run([&] { StartScan(0, &blocker, "PC1", 0, nullptr); });
  ASSERT_TRUE(blocker.WaitEntered());
  // The registry value alone would let a second scan in.
  {
    platform::RegKey key;
    key.Open(platform::RootKey::kLocalMachine, kAgentKey, platform::kKeyAllAccess);
    key.WriteDword("ScanProgress", 0);
  }
  const std::string name = "\\\\.\\pipe\\RemoteAdminScanPipe";
  platform::PipeServer server;
  ASSERT_TRUE(server.Create(name));
  std::vector<std::string> lines;
  std::thread console([&] {
    platform::PipeClient c;
    if (!WaitFor([&] { return platform::WaitNamedPipe(name, 1000) && c.Open(name); })) return;
    const uint8_t parameters[8] = {0, 0, 0, 0, 1, 0, 0, 0};  // quick, delete
    uint32_t n = 0;
    c.Write(parameters, sizeof parameters, &n);
    uint8_t reply[260];
    while (c.Read(reply, sizeof reply, &n)) {
      lines.emplace_back(reinterpret_cast<char*>(reply));
      if (lines.back() == "Finish") break;
    }
  });
  ASSERT_TRUE(server.Connect());
  EXPECT_TRUE(ScanExchange(server));
  server.Disconnect();
  console.join();
  blocker.Release();
  run.join();
  EXPECT_EQ((std::vector<std::string>{"[PC1] Starting scan...", "[PC1] Scanning is already running by Scheduler.",
                                      "Finish"}),
            lines);
  EXPECT_EQ(1u, blocker.records()) << "only the first run announced anything";
  EXPECT_EQ("\n[LASTSCAN]\nDate=", Read(ScanHistoryPath()).substr(Read(ScanHistoryPath()).find("\n[LAST"), 17));
  EXPECT_EQ(std::string::npos, Read(ScanHistoryPath()).find("#2")) << "one run recorded";
}

TEST(ScanSummaryTest, TextsByActionAndRestart) {
  struct Case {
    uint32_t on_detection;
    ScanStatistics stats;
    const char* text;
  } cases[] = {
      {0, {0, 0, 0, 0, false}, "[PC1] No Spywares found."},
      {1, {0, 0, 0, 0, true}, "[PC1] No Spywares found. (Restart Required)"},
      {0, {3, 0, 0, 0, false}, "[PC1] 3 Spyware(s) found."},
      {1, {3, 2, 0, 0, false}, "[PC1] 3 Spyware(s) found out of which 2 are deleted."},
      {2, {3, 0, 3, 1, false}, "[PC1] 3 Spyware(s) found out of which 3 are quarantined."},
      {2, {3, 0, 2, 0, true}, "[PC1] 3 Spyware(s) found out of which 2 are quarantined. (Restart Required)"},
      {7, {5, 0, 0, 0, false}, "[PC1] 5 Spyware(s) found."},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, ScanSummary("PC1", c.on_detection, c.stats));
}

}  // namespace
}  // namespace vxagent
