// Planted spyware against a real scan: every trace type planted on a host,
// a full scan finds each one and deletes or quarantines it, and console
// orders recover or delete the quarantined forms. One test runs on a lab
// host planted by "lab plant" (the scan runs here as the agent's account),
// the other on a temporary host planted through the library.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/engine/spy_database.h"
#include "VXAgent/engine/spy_scanner.h"
#include "VXAgent/engine/trace_operation.h"
#include "common/rc4.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/testing/temp_host.h"
#include "tools/lab/plant.h"
#include "tools/vxdbtool/sample_database.h"

namespace {

using engine::CReportingScanner;
using lab::PlantedTrace;

std::string Joined(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& a : args) out += (out.empty() ? "" : " ") + a;
  return out;
}

std::string Bin(const std::string& name) { return std::string(std::getenv("VX_BIN_DIR")) + "/" + name; }

// Runs bin/lab with `args`; its standard output goes to `out`.
int RunLab(const std::vector<std::string>& args, std::string* out = nullptr) {
  char path[] = "/tmp/plant-test-XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) return -1;
  ::unlink(path);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fd, 1);
    std::vector<std::string> copy = args;
    std::string program = Bin("lab");
    std::vector<char*> argv = {program.data()};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::string text;
  char buf[4096];
  ssize_t n;
  ::lseek(fd, 0, SEEK_SET);
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class FixedClock : public platform::Clock {
 public:
  FixedClock() {
    platform::LocalTime t;
    t.year = 2006;
    t.month = 3;
    t.day = 7;
    t.hour = 14;
    t.minute = 5;
    t.second = 9;
    millis_ = platform::FromLocalTime(t) * 1000;
  }
  int64_t NowUnixMillis() override { return millis_; }

 private:
  int64_t millis_;
};

constexpr char kStamp[] = " On [ 7 March 2006 14:05:09 ] - ";

// The scan's phases by type, in the order it runs them.
int PhaseOf(const std::string& type) {
  static const char* const kOrder[] = {"Cookie", "Process", "File", "Folder",
                                       "Registry Data", "Registry Value", "Registry Key"};
  for (int i = 0; i < 7; ++i)
    if (type == kOrder[i]) return i;
  return -1;
}

// A spyware log line parsed back: type, spy, trace, status.
struct LogEntry {
  std::string type, spy, trace, status;
};

std::vector<std::string> SpywareLog() {
  std::string text;
  platform::ReadFileToString(std::string("C:\\WINDOWS\\system32\\") + engine::kSpywareLogFile, &text);
  std::vector<std::string> lines;
  for (auto& l : platform::Split(text, '\n'))
    if (!l.empty()) lines.push_back(l);
  return lines;
}

LogEntry Parse(const std::string& line) {
  LogEntry e;
  std::string rest = line.substr(line.find("] - ") + 4);
  e.type = rest.substr(0, rest.find(':'));
  rest = rest.substr(e.type.size() + 1);
  e.spy = rest.substr(0, rest.find(" <"));
  rest = rest.substr(e.spy.size() + 2);
  size_t close = rest.rfind('>');
  e.trace = rest.substr(0, close);
  e.status = rest.substr(close + 1);
  if (!e.status.empty() && e.status.back() == '\r') e.status.pop_back();
  return e;
}

// The log lines a scan writes for `traces`, sorted; processes are never
// quarantined, only terminated ("Deleted").
std::vector<std::string> ExpectedLines(const std::vector<PlantedTrace>& traces, const std::string& status) {
  std::vector<std::string> lines;
  for (const auto& t : traces) {
    std::string s = t.type == "Process" && status == "Quarantined" ? "Deleted" : status;
    lines.push_back(kStamp + t.type + ":" + t.spy + " <" + t.trace + ">" + s + "\r");
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string CountsLine(const std::vector<PlantedTrace>& traces) {
  std::map<std::string, int> n;
  for (const auto& t : traces) ++n[t.type];
  return engine::ScanCountsLine(n["Cookie"], n["Process"], n["File"], n["Folder"], n["Registry Key"],
                                n["Registry Value"], n["Registry Data"]);
}

std::string LastTraceLogLine() {
  std::string text;
  platform::ReadFileToString(std::string("C:\\WINDOWS\\system32\\") + engine::kTraceLogFile, &text);
  auto lines = platform::Split(text, '\n');
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines.empty() ? "" : lines.back();
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += "  " + l + "\n";
  return out;
}

// Checks the spyware log of the scan just run: exactly the expected lines,
// written phase by phase.
void ExpectLog(const std::vector<PlantedTrace>& traces, const std::string& status) {
  std::vector<std::string> log = SpywareLog();
  int last_phase = -1;
  for (const auto& line : log) {
    int phase = PhaseOf(Parse(line).type);
    EXPECT_GE(phase, last_phase) << "out of phase order: " << line;
    last_phase = phase;
  }
  std::sort(log.begin(), log.end());
  std::vector<std::string> expected = ExpectedLines(traces, status), missing, extra;
  std::set_difference(expected.begin(), expected.end(), log.begin(), log.end(), std::back_inserter(missing));
  std::set_difference(log.begin(), log.end(), expected.begin(), expected.end(), std::back_inserter(extra));
  EXPECT_TRUE(missing.empty() && extra.empty())
      << "missing:\n" << Lines(missing) << "unexpected:\n" << Lines(extra);
  EXPECT_NE(std::string::npos, LastTraceLogLine().find(CountsLine(traces) + "\r")) << LastTraceLogLine();
}

struct ScanResult {
  int found, deleted, quarantined;
  bool restart;
};

ScanResult Scan(bool full, int action) {
  FixedClock clock;
  platform::SetClockForTesting(&clock);
  CReportingScanner scanner;
  scanner.RunSpyScan(full, nullptr, "PC1", action);
  platform::SetClockForTesting(nullptr);
  return {scanner.foundCount, scanner.deletedCount, scanner.quarantinedCount, scanner.restartRequired};
}

bool RunsOnHost(const std::string& image) {
  std::vector<platform::ProcessEntry> list;
  platform::ListProcesses(&list);
  for (const auto& p : list)
    if (platform::EqualsIgnoreCase(p.image, image)) return true;
  return false;
}

std::vector<std::string> ImagesOf(const std::vector<PlantedTrace>& traces) {
  std::vector<std::string> images;
  for (const auto& t : traces)
    if (t.type == "Process") images.push_back(t.trace);
  return images;
}

void ExpectEveryTypePlanted(const std::vector<PlantedTrace>& traces) {
  std::map<std::string, int> n;
  for (const auto& t : traces) ++n[t.type];
  for (const char* type : {"Cookie", "Process", "File", "Folder", "Registry Data", "Registry Value",
                           "Registry Key"})
    EXPECT_GT(n[type], 0) << type;
}

bool RegKeyExists(const std::string& trace) {
  platform::RootKey root;
  std::string name = trace.substr(0, trace.find('\\'));
  if (!platform::ParseRootKey(name, &root)) return false;
  platform::RegKey key;
  return key.Open(root, trace.substr(trace.find('\\') + 1), platform::kKeyQueryValue) == 0;
}

void WriteSealedDatabase(const std::string& real_path, const engine::SpyMap& map) {
  std::string bytes = engine::EncodeSpyArchive(map);
  ASSERT_TRUE(common::Rc4Crypt(&bytes));
  std::ofstream(real_path, std::ios::binary) << bytes;
}

// --- On a lab host, planted by "lab plant" ---------------------------------

class LabPlantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VX_PAUSE_SCALE", "0", 1);
    engine::RestartDeleteMap::Global().Clear();
    lab_ = dir_.path() + "/lab";
    ASSERT_EQ(0, RunLab({"up", lab_, "--clients", "1", "--logon-delay-ms", "0"}));
    up_ = true;
  }
  void TearDown() override {
    ::unsetenv("VX_ACCOUNT");
    scope_.reset();
    if (up_) {
      EXPECT_EQ(0, RunLab({"down", lab_}));
    }
  }

  // Parses the "planted" lines of lab plant's output.
  static std::vector<PlantedTrace> Planted(const std::string& out) {
    std::vector<PlantedTrace> traces;
    for (const auto& line : platform::Split(out, '\n')) {
      auto f = platform::Split(line, '\t');
      if (f.size() == 4 && f[0] == "planted") traces.push_back({f[1], f[2], f[3]});
    }
    return traces;
  }

  void EnterHost() {
    std::string error;
    host_ = platform::Host::Load(lab_ + "/pc1", &error);
    ASSERT_TRUE(host_) << error;
    scope_ = std::make_unique<platform::ScopedHost>(host_.get());
    // The agent's account: the lab planted for it.
    ::setenv("VX_ACCOUNT", "SYSTEM", 1);
  }

  platform::testing::TempDir dir_;
  std::string lab_;
  bool up_ = false;
  std::unique_ptr<platform::Host> host_;
  std::unique_ptr<platform::ScopedHost> scope_;
};

TEST_F(LabPlantTest, FullScanDeletesEveryPlantedTrace) {
  const std::string db = dir_.path() + "/sample.db";
  WriteSealedDatabase(db, vxdbtool::GenerateSampleDatabase({3, 7}));
  std::string out;
  ASSERT_EQ(0, RunLab({"plant", lab_, "PC1", "--all", "--db", db, "--install"}, &out)) << out;
  std::vector<PlantedTrace> planted = Planted(out);
  ExpectEveryTypePlanted(planted);
  EnterHost();
  for (const auto& image : ImagesOf(planted)) EXPECT_TRUE(RunsOnHost(image)) << image;

  ScanResult r = Scan(true, engine::kActionDelete);
  const int n = static_cast<int>(planted.size());
  EXPECT_EQ(n, r.found);
  EXPECT_EQ(n, r.deleted);
  EXPECT_EQ(0, r.quarantined);
  EXPECT_FALSE(r.restart);
  ExpectLog(planted, "Deleted");
  for (const auto& t : planted) {
    bool gone = t.type == "Process"                          ? !RunsOnHost(t.trace)
                : t.type == "File" || t.type == "Folder"      ? !platform::PathFileExists(t.trace)
                : t.type == "Registry Key"                    ? !RegKeyExists(t.trace)
                                                              : true;
    EXPECT_TRUE(gone) << t.type << " " << t.trace;
  }
  // Nothing is left for the next scan.
  EXPECT_EQ(0, Scan(true, engine::kActionLogOnly).found);
  EXPECT_TRUE(SpywareLog().empty());
}

TEST_F(LabPlantTest, UsageErrorsAndLabDownStopsPlantedProcesses) {
  const std::string db = dir_.path() + "/sample.db";
  WriteSealedDatabase(db, vxdbtool::GenerateSampleDatabase({2, 1}));
  struct Case {
    std::vector<std::string> args;
    int rc;
  } cases[] = {
      {{"plant", lab_, "PC9", "--db", db}, 2},                          // no such host
      {{"plant", lab_, "PC1"}, 2},                                      // no database on the host
      {{"plant", lab_, "PC1", "--db", dir_.path() + "/missing"}, 2},    // unreadable database
      {{"plant", lab_, "PC1", "--db", db, "--spies", "Nobody"}, 2},     // unknown spy
      {{"plant", lab_, "PC1", "--db", db, "--spies", "X", "--all"}, 2}, // both
      {{"plant", lab_, "PC1", "--install"}, 2},                         // --install without --db
      {{"plant", lab_, "PC1", "--db"}, 2},                              // missing value
      {{"plant", lab_}, 2},                                             // no host
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(c.rc, RunLab(c.args, &out)) << Joined(c.args);
    EXPECT_TRUE(Planted(out).empty()) << "nothing planted: " << Joined(c.args);
  }
  std::string out;
  ASSERT_EQ(0, RunLab({"plant", lab_, "pc1", "--db", db, "--spies", "Quenpix Adware"}, &out)) << out;
  std::vector<PlantedTrace> planted = Planted(out);
  for (const auto& t : planted) EXPECT_EQ("Quenpix Adware", t.spy);
  EnterHost();
  std::vector<std::string> images = ImagesOf(planted);
  ASSERT_FALSE(images.empty());
  for (const auto& image : images) EXPECT_TRUE(RunsOnHost(image)) << image;
  // unplant stops them; planting again and taking the lab down stops the
  // new ones too.
  ASSERT_EQ(0, RunLab({"unplant", lab_, "PC1"}));
  for (const auto& image : images) EXPECT_FALSE(RunsOnHost(image)) << image;
  ASSERT_EQ(0, RunLab({"plant", lab_, "PC1", "--db", db, "--spies", "Quenpix Adware"}, &out)) << out;
  for (const auto& image : images) EXPECT_TRUE(RunsOnHost(image)) << image;
  up_ = false;
  ASSERT_EQ(0, RunLab({"down", lab_}));
  for (const auto& image : images) EXPECT_FALSE(RunsOnHost(image)) << image;
}

// --- On a temporary host, planted through the library ---------------------

class PlantLibraryTest : public ::testing::Test {
 protected:
  // Planted and scanned as the agent's account, as in the lab (as the
  // first user, HKEY_CURRENT_USER would be the user hive that the
  // HKEY_USERS definitions name too).
  PlantLibraryTest() : host_(TwoDrives()) {
    ::setenv("VX_PAUSE_SCALE", "0", 1);
    ::setenv("VX_ACCOUNT", "SYSTEM", 1);
    engine::RestartDeleteMap::Global().Clear();
  }
  ~PlantLibraryTest() override {
    lab::StopPlantedProcesses(result_.processes);
    ::unsetenv("VX_ACCOUNT");
  }
  static platform::HostOptions TwoDrives() {
    platform::HostOptions o;
    o.drives = {"C=fixed", "D=fixed"};
    return o;
  }
  void Plant(const engine::SpyMap& map) {
    WriteSealedDatabase(host_.Real(engine::SpyDatabasePath()), map);
    lab::PlantOptions options;
    options.standin = Bin("spystandin");
    std::string error;
    ASSERT_TRUE(lab::PlantSpies(map, options, &result_, &error)) << error;
  }
  // Applies one console order to every line of a scan's log, the last
  // detection first (a folder before the files inside it, a key before
  // its values).
  void OrderEveryLogged(const std::vector<std::string>& log, int mode) {
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
      LogEntry e = Parse(*it);
      if (e.type == "Process") continue;
      engine::TraceOperation op;
      op.ApplyOperation(e.spy, e.type, e.trace, mode);
      EXPECT_FALSE(op.restartNeeded) << *it;
    }
  }
  static std::vector<PlantedTrace> WithoutProcesses(std::vector<PlantedTrace> traces) {
    std::erase_if(traces, [](const PlantedTrace& t) { return t.type == "Process"; });
    return traces;
  }

  platform::testing::TempHost host_;
  lab::PlantResult result_;
};

TEST_F(PlantLibraryTest, QuarantineRecoverAndDeleteTheQuarantinedForms) {
  engine::SpyMap map = vxdbtool::GenerateSampleDatabase({2, 1});
  Plant(map);
  ExpectEveryTypePlanted(result_.traces);
  // Both spies set the same start page: only the later one is planted.
  ASSERT_EQ(1u, result_.skipped.size());
  EXPECT_NE(std::string::npos, result_.skipped[0].reason.find("overwritten"));
  // The deep scan finds a copy at the same place on the other fixed drive.
  std::vector<PlantedTrace> expected = result_.traces;
  const std::string dll = "C:\\WINDOWS\\system32\\blorpix32.dll";
  ASSERT_TRUE(std::any_of(expected.begin(), expected.end(), [&](const auto& t) { return t.trace == dll; }));
  host_.WriteFile("D:\\WINDOWS\\system32\\blorpix32.dll", "copy");
  expected.push_back({"File", "Blorpix Toolbar", "D:\\WINDOWS\\system32\\blorpix32.dll"});

  ScanResult r = Scan(true, engine::kActionQuarantine);
  const int n = static_cast<int>(expected.size());
  EXPECT_EQ(n, r.found);
  EXPECT_EQ(0, r.deleted);
  EXPECT_EQ(n, r.quarantined) << "terminated processes count as quarantined";
  EXPECT_FALSE(r.restart);
  ExpectLog(expected, "Quarantined");
  const std::vector<std::string> quarantined = SpywareLog();
  for (const auto& p : result_.processes) EXPECT_FALSE(RunsOnHost(p.image)) << p.image;
  EXPECT_FALSE(platform::PathFileExists(dll));
  EXPECT_TRUE(platform::PathFileExists("C:\\WINDOWS\\system32\\lld.23xiprolb"));
  EXPECT_TRUE(platform::PathIsDirectory("C:\\Program Files\\xiprolB"));
  EXPECT_TRUE(RegKeyExists("HKLM\\Software\\xiprolB"));
  EXPECT_FALSE(RegKeyExists("HKLM\\Software\\Blorpix"));
  EXPECT_EQ(0, Scan(true, engine::kActionLogOnly).found) << "quarantined traces are not found";

  // Recovery brings every quarantined trace back as it was.
  OrderEveryLogged(quarantined, engine::kRecoverQuarantined);
  EXPECT_EQ("copy", [] {
    std::string s;
    platform::ReadFileToString("D:\\WINDOWS\\system32\\blorpix32.dll", &s);
    return s;
  }());
  ScanResult again = Scan(true, engine::kActionLogOnly);
  std::vector<PlantedTrace> recovered = WithoutProcesses(expected);
  EXPECT_EQ(static_cast<int>(recovered.size()), again.found);
  ExpectLog(recovered, "Detected");

  // Quarantined once more, then the quarantined forms deleted: gone for good.
  Scan(true, engine::kActionQuarantine);
  const std::vector<std::string> again_quarantined = SpywareLog();
  EXPECT_EQ(recovered.size(), again_quarantined.size());
  OrderEveryLogged(again_quarantined, engine::kDeleteQuarantined);
  EXPECT_FALSE(platform::PathFileExists("C:\\WINDOWS\\system32\\lld.23xiprolb"));
  EXPECT_FALSE(platform::PathFileExists("C:\\Program Files\\xiprolB"));
  EXPECT_FALSE(RegKeyExists("HKLM\\Software\\xiprolB"));
  OrderEveryLogged(again_quarantined, engine::kRecoverQuarantined);
  EXPECT_EQ(0, Scan(true, engine::kActionLogOnly).found) << "nothing left to recover";
}

TEST_F(PlantLibraryTest, ChoosingSpiesAndStoppingOnlyPlantedProcesses) {
  engine::SpyMap map = vxdbtool::GenerateSampleDatabase({2, 1});
  lab::PlantOptions options;
  options.standin = Bin("spystandin");
  options.spies = {"Blorpix Toolbar", "Nobody"};
  std::string error;
  ASSERT_FALSE(lab::PlantSpies(map, options, &result_, &error));
  EXPECT_NE(std::string::npos, error.find("Nobody"));
  EXPECT_TRUE(result_.traces.empty() && result_.processes.empty()) << "nothing planted";
  EXPECT_FALSE(platform::PathIsDirectory("C:\\Program Files\\Blorpix"));

  options.spies = {"Quenpix Adware"};
  ASSERT_TRUE(lab::PlantSpies(map, options, &result_, &error)) << error;
  for (const auto& t : result_.traces) EXPECT_EQ("Quenpix Adware", t.spy);
  EXPECT_FALSE(platform::PathIsDirectory("C:\\Program Files\\Blorpix"));
  ASSERT_FALSE(result_.processes.empty());
  // A record whose image does not match the running process is left alone.
  std::vector<lab::PlantedProcess> wrong = {result_.processes[0]};
  wrong[0].image = "C:\\elsewhere.exe";
  EXPECT_EQ(0, lab::StopPlantedProcesses(wrong));
  EXPECT_TRUE(RunsOnHost(result_.processes[0].image));
  EXPECT_EQ(static_cast<int>(result_.processes.size()), lab::StopPlantedProcesses(result_.processes));
  for (const auto& p : result_.processes) EXPECT_FALSE(RunsOnHost(p.image)) << p.image;

  // Without a stand-in, executables are plain files and nothing runs.
  lab::PlantResult plain;
  options.standin.clear();
  options.spies = {"Blorpix Toolbar"};
  ASSERT_TRUE(lab::PlantSpies(map, options, &plain, &error)) << error;
  EXPECT_TRUE(plain.processes.empty());
  EXPECT_TRUE(std::none_of(plain.traces.begin(), plain.traces.end(),
                           [](const auto& t) { return t.type == "Process"; }));
}

}  // namespace
