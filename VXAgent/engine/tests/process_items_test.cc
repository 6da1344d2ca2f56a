#include "VXAgent/engine/process_items.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/process.h"
#include "platform/testing/temp_host.h"
#include "platform/tests/helpers/helper_paths.h"

namespace engine {
namespace {

using platform::Process;

constexpr char kSpy[] = "C:\\Program Files\\Spy\\spy.exe";

class Recorder : public SpyScannerInterface {
 public:
  explicit Recorder(int action) : action_(action) {}
  void RecordDetection(std::unique_ptr<CSpyItem> trace, const std::string& status) override {
    recorded.push_back(trace->GetTypeName() + ":" + trace->trace() + "=" + status);
  }
  bool AnnounceDetection(const std::string&) override {
    ++announcements;
    return true;
  }
  void CountFound() override { ++found; }
  void CountDeleted() override { ++deleted; }
  void CountQuarantined() override { ++quarantined; }
  void SetRestartRequired() override { restart = true; }
  bool TakeFirstDetectionPending() override { return true; }
  int action() const override { return action_; }
  std::vector<std::string> recorded;
  int found = 0, deleted = 0, quarantined = 0, announcements = 0;
  bool restart = false;

 private:
  int action_;
};

class ProcessItemsTest : public ::testing::Test {
 protected:
  ProcessItemsTest() {
    ::setenv("VX_PAUSE_SCALE", "0", 1);
    platform::testing::CopyFile(platform::testing::TestProgram(), host_.Real(kSpy));
    platform::testing::CopyFile(platform::testing::TestProgram(), host_.Real("C:\\Tools\\good.exe"));
  }
  ~ProcessItemsTest() override { platform::testing::StopHostProcesses(host_.host()); }
  Process Start(const std::string& program) {
    Process p;
    EXPECT_TRUE(platform::CreateProcess(program, "spy.exe wait", {}, &p)) << program;
    return p;
  }
  static bool Running(Process& p) {
    uint32_t code = 0;
    return p.GetExitCode(&code) && code == platform::kStillActive;
  }
  platform::testing::TempHost host_;
};

TEST_F(ProcessItemsTest, IntakeOfProcessAndFileLists) {
  CProcessList list;
  list.AddDefinitions("Spy", {"%WINDIR%\\x.scr"});
  list.AddExecutableFiles("Spy", {"C:\\a\\b.BAT", "%SYSDIR%\\c.exe", "C:\\d\\e.Com", "C:\\f.dll",
                                  "C:\\g.txt"});
  std::vector<std::string> traces;
  for (const auto& i : list.items()) traces.push_back(i->trace());
  EXPECT_EQ((std::vector<std::string>{"C:\\WINDOWS\\x.scr", "C:\\a\\b.BAT",
                                      "C:\\WINDOWS\\system32\\c.exe", "C:\\d\\e.Com"}),
            traces);
  CProcessItem item("C:\\x.exe", "Spy");
  EXPECT_FALSE(item.IsPresent());
  EXPECT_EQ(kTraceDone, item.Remove("Spy", "C:\\x.exe", "Process", kDeleteDetected));
  EXPECT_EQ("Process", item.GetTypeName());
}

TEST_F(ProcessItemsTest, LogOnlyRecordsOnceAndLeavesItRunning) {
  Process a = Start(kSpy);
  Process b = Start(kSpy);
  Process good = Start("C:\\Tools\\good.exe");
  CProcessList list;
  list.AddDefinitions("Spy", {"%PFDIR%\\SPY\\Spy.exe", "C:\\Other\\other.exe"});
  Recorder scanner(kActionLogOnly);
  list.Scan(scanner, kActionLogOnly);
  // The trace keeps the definition's own spelling; matching ignores case.
  EXPECT_EQ((std::vector<std::string>{"Process:C:\\Program Files\\SPY\\Spy.exe=Detected"}),
            scanner.recorded);
  EXPECT_EQ(1, scanner.found);
  EXPECT_EQ(0, scanner.announcements) << "process finds are not announced";
  EXPECT_EQ(1u, list.items().size());
  EXPECT_TRUE(Running(a));
  EXPECT_TRUE(Running(b));
}

TEST_F(ProcessItemsTest, DeleteAndQuarantineTerminateEveryInstance) {
  for (int action : {kActionDelete, kActionQuarantine}) {
    SCOPED_TRACE(action);
    Process a = Start(kSpy);
    // Started through its short name: the same executable.
    Process b = Start("C:\\PROGRA~1\\Spy\\spy.exe");
    Process good = Start("C:\\Tools\\good.exe");
    CProcessList list;
    list.AddDefinitions("Spy", {kSpy});
    Recorder scanner(action);
    list.Scan(scanner, action);
    EXPECT_EQ((std::vector<std::string>{std::string("Process:") + kSpy + "=Deleted"}), scanner.recorded);
    EXPECT_EQ(1, scanner.found);
    EXPECT_EQ(action == kActionDelete ? 1 : 0, scanner.deleted);
    EXPECT_EQ(action == kActionQuarantine ? 1 : 0, scanner.quarantined);
    EXPECT_TRUE(a.WaitForExit(5000));
    EXPECT_TRUE(b.WaitForExit(5000));
    EXPECT_TRUE(Running(good));
    good.Terminate(0);
  }
}

TEST_F(ProcessItemsTest, TerminateMatchingReportsZero) {
  Process a = Start(kSpy);
  CProcessItem item(kSpy, "Spy");
  EXPECT_EQ(kTraceFailed, item.Quarantine());
  EXPECT_TRUE(a.WaitForExit(5000));
}

// A process list that cannot be read: the phase finds nothing.
class NoProcesses : public ProcessEnumeration {
 public:
  bool List(std::vector<Entry>*) override { return false; }
  bool Terminate(uint32_t) override { return false; }
};

TEST_F(ProcessItemsTest, UnreadableProcessListFindsNothing) {
  Process a = Start(kSpy);
  CProcessList list(std::make_shared<NoProcesses>());
  list.AddDefinitions("Spy", {kSpy});
  Recorder scanner(kActionDelete);
  list.Scan(scanner, kActionDelete);
  EXPECT_TRUE(scanner.recorded.empty());
  EXPECT_TRUE(Running(a));
}

}  // namespace
}  // namespace engine
