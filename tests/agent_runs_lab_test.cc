// The agent's whole run over a lab network, with the console's side written
// here byte by byte: the agent is copied to \\PC1\ADMIN$\System32 and
// started through PC1's service manager, spyware is planted on PC1, and
// every pipe is spoken to over \\PC1\pipe\...: a quick and a full scan,
// recovery of quarantined items, a schedule set and removed, active
// protection on and off. Then the files the console collects are read over
// the share and checked byte for byte (and shown with vxinspect), and the
// uninstaller removes the agent again.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "common/string_map_file.h"
#include "hostd/testing/running_daemon.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/remote_session.h"
#include "platform/service.h"
#include "platform/share.h"
#include "platform/strings.h"
#include "platform/testing/temp_host.h"
#include "tools/lab/plant.h"

namespace {

namespace fs = std::filesystem;
using hostd::testing::BinPath;
using hostd::testing::RunProgram;
using hostd::testing::WaitUntil;
using lab::PlantedTrace;
using Bytes = std::vector<uint8_t>;

constexpr char kShare[] = "\\\\PC1\\ADMIN$\\System32\\";
constexpr char kStage[] = "C:\\Stage";  // the console's folder of files to ship
constexpr char kUser[] = "Administrator";  // the user the lab logs on at PC1

// --- The console's side of the wire. ---

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// ScanParameters: kind, three zero bytes, on-detection.
Bytes ScanParameters(uint8_t kind, uint32_t on_detection) {
  return Join({{kind, 0, 0, 0}, Le32(on_detection)});
}

// A 260-byte log-pipe command: the text, then zeros.
Bytes Command(const std::string& text) {
  Bytes b(260, 0);
  std::copy(text.begin(), text.end(), b.begin());
  return b;
}

// SpyOperationRecord: " [ type ] " + " < spy > " + item + "#" + operation, with its NUL.
Bytes SpyOperation(const PlantedTrace& t, const std::string& operation) {
  std::string text = " [ " + t.type + " ] " + " < " + t.spy + " > " + t.trace + "#" + operation;
  Bytes b(text.begin(), text.end());
  b.push_back(0);
  return b;
}

// ScheduleInfo: kind, on-detection, day, then the time as 64-bit seconds.
Bytes ScheduleInfo(uint32_t kind, uint32_t on_detection, uint32_t day, int64_t time) {
  Bytes b = Join({Le32(kind), Le32(on_detection), Le32(day)});
  for (int i = 0; i < 8; ++i) b.push_back(uint8_t(static_cast<uint64_t>(time) >> (8 * i)));
  return b;
}

// OptionsRequest: operation, then the host name in 100 bytes.
Bytes OptionsRequest(uint32_t operation) {
  Bytes b = Le32(operation);
  Bytes name(100, 0);
  std::string host = "PC1";
  std::copy(host.begin(), host.end(), name.begin());
  b.insert(b.end(), name.begin(), name.end());
  return b;
}

class Pipe {
 public:
  // Opens \\PC1\pipe\<name>, waiting while the server has not made it yet.
  explicit Pipe(const std::string& name) {
    const std::string full = "\\\\PC1\\pipe\\" + name;
    opened_ = WaitUntil([&] { return platform::WaitNamedPipe(full, 1000) && client_.Open(full); }, 15000);
  }
  bool opened() const { return opened_; }
  void Send(const Bytes& b) {
    uint32_t n = 0;
    EXPECT_TRUE(client_.Write(b.data(), static_cast<uint32_t>(b.size()), &n));
    EXPECT_EQ(b.size(), n);
  }
  // One reply: its text up to the first NUL; nullopt when the read fails.
  std::optional<std::string> Reply(uint32_t* size = nullptr) {
    char buf[1024];
    uint32_t n = 0;
    if (!client_.Read(buf, sizeof buf, &n)) return std::nullopt;
    if (size) *size = n;
    std::string text(buf, n);
    return text.substr(0, text.find('\0'));
  }

 private:
  platform::PipeClient client_;
  bool opened_ = false;
};

// Sends SCommand 0 and `records`, then reads one reply.
std::optional<std::string> Exchange(const std::string& pipe, std::initializer_list<Bytes> records) {
  Pipe p(pipe);
  EXPECT_TRUE(p.opened()) << pipe;
  if (!p.opened()) return std::nullopt;
  p.Send(Le32(0));
  for (const Bytes& r : records) p.Send(r);
  return p.Reply();
}

// --- Expectations. ---

std::string DayText(const platform::LocalTime& t) {
  return std::to_string(t.day) + " " + platform::EnglishMonthName(t.month) + " " + std::to_string(t.year);
}

int Count(const std::vector<PlantedTrace>& traces, const std::string& type) {
  return static_cast<int>(std::count_if(traces.begin(), traces.end(), [&](const PlantedTrace& t) { return t.type == type; }));
}

bool EndsWithExe(const std::string& path) {
  return path.size() > 4 && platform::EqualsIgnoreCase(path.substr(path.size() - 4), ".exe");
}

// A wall-clock window around a step, as "7 March 2006 14:05:09" texts of
// every second in it: what a time recorded during the step may read.
struct Window {
  int64_t from = 0, to = 0;
  bool Holds(const std::string& date_time) const {
    for (int64_t s = from; s <= to; ++s) {
      platform::LocalTime t;
      platform::ToLocalTime(s, &t);
      if (DayText(t) + " " + platform::FormatLocalTime(t, "%H:%M:%S") == date_time) return true;
    }
    return false;
  }
};

// The LogFolder key of a trace, without the time: the time goes between
// " [ " and the returned text.
std::string LogKeyTail(const PlantedTrace& t) {
  return " ]  - " + t.type + " < " + t.spy + " > " + t.trace + "#";
}

// Builds the expected LogFolder map from `traces` with each entry's time
// taken from the actual map (checked to fall into `window`), so that every
// other byte is compared.
common::StringMap ExpectedLogMap(const common::StringMap& actual, const std::vector<PlantedTrace>& traces,
                                 const std::string& status, const Window& window) {
  common::StringMap expected;
  for (const auto& t : traces) {
    const std::string tail = LogKeyTail(t);
    std::string time = "?";
    for (const auto& [key, value] : actual) {
      if (key.size() > tail.size() + 3 && key.compare(key.size() - tail.size(), tail.size(), tail) == 0 &&
          key.rfind(" [ ", 0) == 0) {
        time = key.substr(3, key.size() - tail.size() - 3);
        break;
      }
    }
    EXPECT_TRUE(window.Holds(time)) << "time " << time << " of " << t.type << " " << t.trace;
    expected[" [ " + time + tail] = t.type == "Process" && status == "Quarantined" ? "Deleted" : status;
  }
  return expected;
}

std::string Describe(const common::StringMap& map) {
  std::string out;
  for (const auto& [k, v] : map) out += "  " + k + " -> " + v + "\n";
  return out;
}

class AgentRunsLabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lab_ = dir_.path() + "/lab";
    std::string out;
    ASSERT_EQ(0, Lab({"up", lab_, "--clients", "1", "--logon-delay-ms", "0"}, &out)) << out;
    up_ = true;
    std::string error;
    console_ = platform::Host::Load(lab_ + "/console", &error);
    ASSERT_TRUE(console_) << error;
    pc1_ = platform::Host::Load(lab_ + "/pc1", &error);
    ASSERT_TRUE(pc1_) << error;
    scope_ = std::make_unique<platform::ScopedHost>(console_.get());
    platform::remote::Client::Get().Reset();
  }

  void TearDown() override {
    {
      platform::ScopedHost on(pc1_.get());
      lab::StopPlantedProcesses(planted_.processes);
      for (auto& p : started_)
        if (p.Terminate(1)) p.WaitForExit(2000);
    }
    platform::remote::Client::Get().Reset();
    scope_.reset();
    if (up_) {
      std::string out;
      EXPECT_EQ(0, Lab({"down", lab_}, &out)) << out;
    }
  }

  static int Lab(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> argv = {BinPath("lab")};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = RunProgram(argv, {}, out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Real path of a console file in the stage folder.
  std::string Staged(const std::string& name) const { return lab_ + "/console/C/Stage/" + name; }

  // Processes of PC1 with the image base name `name`.
  std::vector<platform::ProcessEntry> RunningOnPc1(const std::string& name) {
    std::vector<platform::ProcessEntry> list, out;
    platform::ListProcesses(*pc1_, &list);
    for (const auto& p : list) {
      std::string base = p.image.substr(p.image.rfind('\\') + 1);
      if (platform::EqualsIgnoreCase(base, name) || platform::EqualsIgnoreCase(p.image, name)) out.push_back(p);
    }
    return out;
  }

  bool ExistsOnPc1(const std::string& path) {
    platform::ScopedHost on(pc1_.get());
    return platform::PathFileExists(path);
  }

  // A file of PC1's system folder, read over the share.
  std::string ReadShared(const std::string& name) {
    std::string bytes;
    EXPECT_TRUE(platform::ReadFileToString(kShare + name, &bytes)) << name << ": " << platform::GetLastError();
    return bytes;
  }

  // Copies a file from PC1's system folder to the console (as the console
  // collects it) and runs vxinspect on the copy. Returns its output.
  std::string Inspect(const std::string& name) {
    const std::string base = name.substr(name.rfind('\\') + 1);
    EXPECT_TRUE(platform::CopyFile(kShare + name, std::string("C:\\Collected\\") + base, false))
        << name << ": " << platform::GetLastError();
    std::string out;
    int status = RunProgram({BinPath("vxinspect"), lab_ + "/console/C/Collected/" + base}, {}, &out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name << "\n" << out;
    return out;
  }

  // One scan over the scan pipe: every reply up to "Finish".
  std::vector<std::string> Scan(const Bytes& parameters, Window* window) {
    std::vector<std::string> lines;
    window->from = platform::NowUnixSeconds();
    Pipe p("RemoteAdminScanPipe");
    EXPECT_TRUE(p.opened());
    if (!p.opened()) return lines;
    p.Send(Le32(0));
    p.Send(parameters);
    for (;;) {
      uint32_t size = 0;
      std::optional<std::string> line = p.Reply(&size);
      if (!line) break;
      EXPECT_EQ(260u, size) << *line;
      lines.push_back(*line);
      if (platform::EqualsIgnoreCase(*line, "Finish")) break;
    }
    window->to = platform::NowUnixSeconds();
    return lines;
  }

  platform::testing::TempDir dir_;
  std::string lab_;
  bool up_ = false;
  std::unique_ptr<platform::Host> console_, pc1_;
  std::unique_ptr<platform::ScopedHost> scope_;
  lab::PlantResult planted_;
  std::vector<platform::Process> started_;
};

TEST_F(AgentRunsLabTest, InstallScanRecoverScheduleProtectCollectAndUninstall) {
  // --- 1. The agent goes to PC1 over the network and starts there. ---
  fs::create_directories(lab_ + "/console/C/Stage");
  fs::create_directories(lab_ + "/console/C/Collected");
  for (const char* file : {"VXAgent.exe", "Imprinter.dll", "VXMonitor.exe", "VXTrackingCookies.ini",
                           "VXAgentRemover.exe"})
    fs::copy_file(BinPath(file), Staged(file));
  std::string out;
  ASSERT_EQ(0, RunProgram({BinPath("vxdbtool"), "sample", "--spies", "3", "--seed", "7", "--out",
                           Staged("VXCESpylist.db")},
                          {}, &out))
      << out;
  // The monitor's process rules: the same (sealed) definitions.
  fs::copy_file(Staged("VXCESpylist.db"), Staged("ProcessSpy.db"));

  ASSERT_EQ(0u, platform::ConnectShare("\\\\PC1\\ADMIN$", platform::kConnectUpdateProfile))
      << platform::remote::LastRemoteDetail();
  const char* const kAgentFiles[] = {"VXAgent.exe",          "Imprinter.dll",  "VXMonitor.exe", "ProcessSpy.db",
                                     "VXTrackingCookies.ini", "VXCESpylist.db"};
  for (const char* file : kAgentFiles)
    ASSERT_TRUE(platform::CopyFile(std::string(kStage) + "\\" + file, kShare + std::string(file), false))
        << file << ": " << platform::GetLastError();
  {
    // The lab's own setting: no courtesy pauses on PC1.
    platform::ScopedHost on(pc1_.get());
    platform::RegKey key;
    ASSERT_EQ(0u, key.Create(platform::RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyAllAccess));
    ASSERT_EQ(0u, key.WriteDword("PauseScale", 0));
  }
  platform::ScHandle scm = platform::OpenSCManagerA("PC1", "", platform::SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(scm) << platform::GetLastError();
  {
    platform::ScHandle agent = platform::CreateServiceA(
        scm, "VXAgent", "VXAgent", platform::SERVICE_ALL_ACCESS, platform::SERVICE_WIN32_OWN_PROCESS,
        platform::SERVICE_AUTO_START, platform::SERVICE_ERROR_NORMAL, "%SystemRoot%\\system32\\VXAgent.exe");
    ASSERT_TRUE(agent) << platform::GetLastError();
    ASSERT_TRUE(platform::StartServiceA(agent)) << platform::GetLastError();
  }
  // The log pipe is made last.
  ASSERT_TRUE(WaitUntil([] { return platform::WaitNamedPipe("\\\\PC1\\pipe\\RemoteAdminLogPipe", 200); }, 15000));

  // --- 2. Spyware of every trace type, processes running, as the agent sees it. ---
  {
    platform::ScopedHost on(pc1_.get());
    ::setenv("VX_ACCOUNT", "SYSTEM", 1);
    engine::SpyMap map;
    std::string error;
    ASSERT_TRUE(lab::LoadDefinitionDatabase(Staged("VXCESpylist.db"), &map, &error)) << error;
    lab::PlantOptions options;
    options.standin = BinPath("spystandin");
    bool ok = lab::PlantSpies(map, options, &planted_, &error);
    ::unsetenv("VX_ACCOUNT");
    ASSERT_TRUE(ok) << error;
  }
  const std::vector<PlantedTrace>& traces = planted_.traces;
  for (const char* type : {"Cookie", "Process", "File", "Folder", "Registry Data", "Registry Value", "Registry Key"})
    ASSERT_GT(Count(traces, type), 0) << type;
  ASSERT_FALSE(planted_.processes.empty());
  for (const auto& p : planted_.processes) EXPECT_FALSE(RunningOnPc1(p.image).empty()) << p.image;
  const int found = static_cast<int>(traces.size());

  // --- 3. A quick scan that only logs, then a full scan that quarantines. ---
  Window quick, full;
  EXPECT_EQ(Scan(ScanParameters(0, 0), &quick),
            (std::vector<std::string>{"[PC1] Starting scan...", "[PC1] Spywares found.",
                                      "[PC1] " + std::to_string(found) + " Spyware(s) found.", "Finish"}));
  for (const auto& p : planted_.processes) EXPECT_FALSE(RunningOnPc1(p.image).empty()) << "logged only: " << p.image;
  EXPECT_EQ(Scan(ScanParameters(1, 2), &full),
            (std::vector<std::string>{"[PC1] Starting scan...", "[PC1] Spywares found.",
                                      "[PC1] " + std::to_string(found) + " Spyware(s) found out of which " +
                                          std::to_string(found) + " are quarantined.",
                                      "Finish"}));
  for (const auto& p : planted_.processes) EXPECT_TRUE(RunningOnPc1(p.image).empty()) << "stopped: " << p.image;
  for (const auto& t : traces) {
    if (t.type == "File" || t.type == "Folder") {
      EXPECT_FALSE(ExistsOnPc1(t.trace)) << "quarantined: " << t.trace;
    }
  }

  // --- 4. Quarantined files recovered over the log pipe. ---
  std::vector<PlantedTrace> recover;
  for (const auto& t : traces) {
    if (t.type != "File" || EndsWithExe(t.trace)) continue;
    bool in_folder = false;
    for (const auto& f : traces)
      if (f.type == "Folder" && platform::StartsWithIgnoreCase(t.trace, f.trace + "\\")) in_folder = true;
    if (!in_folder) recover.push_back(t);
  }
  ASSERT_FALSE(recover.empty()) << "the sample has files outside its folders";
  {
    Pipe p("RemoteAdminLogPipe");
    ASSERT_TRUE(p.opened());
    p.Send(Le32(0));
    p.Send(Command("SPYOPERATION"));
    EXPECT_EQ(p.Reply(), "OK");
    for (const auto& t : recover) {
      p.Send(SpyOperation(t, "RECOVER"));
      EXPECT_EQ(p.Reply(), "RECOVER") << t.trace;
    }
    p.Send(Command("ENDOFRECORDS"));
  }
  for (const auto& t : recover) EXPECT_TRUE(ExistsOnPc1(t.trace)) << "recovered: " << t.trace;

  // --- 5. A schedule set, removed, and removed once more. ---
  EXPECT_EQ(Exchange("RemoteAdminScheduleScanPipe", {Le32(1), ScheduleInfo(0, 0, 8, platform::NowUnixSeconds())}),
            "SUCCESS");
  {
    platform::ScopedHost on(pc1_.get());
    platform::RegKey key;
    EXPECT_EQ(0u, key.Open(platform::RootKey::kLocalMachine, "Software\\VXCorporate\\Schedule_Info",
                           platform::kKeyRead));
  }
  EXPECT_EQ(Exchange("RemoteAdminScheduleScanPipe", {Le32(0)}), "SUCCESS");
  EXPECT_EQ(Exchange("RemoteAdminScheduleScanPipe", {Le32(0)}), "ERROR");

  // --- 6. Active protection on: the monitor runs as the logged-on user and
  // stops a spy started afterwards; off: the monitor is gone. ---
  EXPECT_EQ(Exchange("RemoteAdminOptionsPipe", {OptionsRequest(1)}), "Active Protecion enabled successfully");
  ASSERT_TRUE(WaitUntil([&] { return !RunningOnPc1("VXMonitor.exe").empty(); }, 10000));
  EXPECT_EQ(RunningOnPc1("VXMonitor.exe")[0].account, kUser);
  // A spy program put back at its planted path and started by the user.
  std::string spy_image, spy_name;
  for (const auto& p : planted_.processes) {
    if (p.image.find("Documents and Settings") == std::string::npos) spy_image = p.image, spy_name = p.spy;
  }
  ASSERT_FALSE(spy_image.empty());
  Window protection;
  protection.from = platform::NowUnixSeconds();
  {
    platform::ScopedHost on(pc1_.get());
    std::string real;
    ASSERT_TRUE(platform::ResolvePath(spy_image, &real));
    fs::copy_file(BinPath("spystandin"), real, fs::copy_options::overwrite_existing);
    platform::LaunchOptions launch;
    launch.account = kUser;
    platform::Process spy;
    ASSERT_TRUE(platform::CreateProcess(spy_image, platform::QuoteArgument(spy_image), launch, &spy));
    started_.push_back(std::move(spy));
    EXPECT_TRUE(started_.back().WaitForExit(5000)) << "the monitor did not stop " << spy_image;
  }
  protection.to = platform::NowUnixSeconds();
  EXPECT_EQ(Exchange("RemoteAdminOptionsPipe", {OptionsRequest(2)}), "Active Protecion disabled successfully");
  EXPECT_TRUE(RunningOnPc1("VXMonitor.exe").empty());

  // --- 7. What the console collects, read over the share. ---
  platform::LocalTime today;
  platform::ToLocalTime(quick.from, &today);
  const std::string day = DayText(today);
  {
    // ScanHistory.ini: the two runs of the day, times from the records.
    const std::string history = ReadShared("ScanHistory.ini");
    auto time_of = [&](int run) {
      const std::string head = "[" + day + "#" + std::to_string(run) + "]\nTIME=";
      size_t at = history.find(head);
      return at == std::string::npos ? std::string("?") : history.substr(at + head.size(), 8);
    };
    const std::string t1 = time_of(1), t2 = time_of(2);
    EXPECT_TRUE(quick.Holds(day + " " + t1)) << t1;
    EXPECT_TRUE(full.Holds(day + " " + t2)) << t2;
    // Each section is preceded by an empty line; processes are stopped
    // and counted as quarantined.
    const std::string expected = "\n[" + day + "]\nnoofscans=2\n\n[" + day + "#1]\nTIME=" + t1 +
                                 "\nDetected=" + std::to_string(found) + "\nDeleted=0\nQuarantined=0\n\n[LASTSCAN]\nDate=" +
                                 day + "#2\n\n[" + day + "#2]\nTIME=" + t2 + "\nDetected=" + std::to_string(found) +
                                 "\nDeleted=0\nQuarantined=" + std::to_string(found) + "\n";
    EXPECT_EQ(history, expected);
    std::string shown = Inspect("ScanHistory.ini");
    EXPECT_NE(shown.find(day + "#2"), std::string::npos) << shown;
    EXPECT_NE(shown.find(t2), std::string::npos) << shown;
  }
  {
    // LogFolder: one file per run, every trace with its status.
    struct Run {
      int number;
      const char* status;
      const Window* window;
    } runs[] = {{1, "Detected", &quick}, {2, "Quarantined", &full}};
    for (const Run& run : runs) {
      const std::string name = "LogFolder\\" + day + "#" + std::to_string(run.number) + ".txt";
      SCOPED_TRACE(name);
      const std::string bytes = ReadShared(name);
      common::StringMap actual;
      ASSERT_TRUE(common::StringMapFile::Decode(bytes, &actual));
      common::StringMap expected = ExpectedLogMap(actual, traces, run.status, *run.window);
      EXPECT_EQ(bytes, common::StringMapFile::Encode(expected)) << "actual:\n"
                                                                << Describe(actual) << "expected:\n"
                                                                << Describe(expected);
      std::string shown = Inspect(name);
      for (const auto& t : traces) EXPECT_NE(shown.find(t.spy), std::string::npos) << t.spy;
      EXPECT_NE(shown.find(run.status), std::string::npos) << shown;
    }
  }
  {
    // SpySignatures.txt of the last run: each program it named once (the
    // quarantined images can no longer be read: no signature); other
    // files were quarantined and are left out.
    std::vector<std::string> expected;
    for (const auto& t : traces)
      if ((t.type == "File" || t.type == "Process") && EndsWithExe(t.trace)) {
        std::string line = t.spy + "#@#" + t.trace + "#@#\n";
        if (std::find(expected.begin(), expected.end(), line) == expected.end()) expected.push_back(line);
      }
    const std::string text = ReadShared("SpySignatures.txt");
    std::vector<std::string> lines;
    for (const auto& l : platform::Split(text, '\n'))
      if (!l.empty()) lines.push_back(l + "\n");
    std::string joined;
    for (const auto& l : lines) joined += l;
    EXPECT_EQ(joined, text);
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected) << text;
    std::string shown = Inspect("SpySignatures.txt");
    for (const auto& line : expected) {
      const std::string path = line.substr(line.find("#@#") + 3, line.rfind("#@#") - line.find("#@#") - 3);
      EXPECT_NE(shown.find("path: " + path + "\n"), std::string::npos) << path << "\n" << shown;
    }
  }
  {
    // The monitor's process day log: the one spy it stopped.
    const std::string name = "LiveMonitorLogFolder\\" + day + ".ps";
    const std::string bytes = ReadShared(name);
    common::StringMap actual;
    ASSERT_TRUE(common::StringMapFile::Decode(bytes, &actual));
    ASSERT_EQ(1u, actual.size()) << Describe(actual);
    const std::string key = actual.begin()->first;
    const std::string time = key.substr(2, key.find(']') - 2);
    EXPECT_TRUE(protection.Holds(time)) << time;
    common::StringMap expected = {{"[ " + time + "]  " + spy_name + "<" + spy_image + ">", "Process Terminated"}};
    EXPECT_EQ(bytes, common::StringMapFile::Encode(expected)) << Describe(actual);
    std::string shown = Inspect(name);
    EXPECT_NE(shown.find("Process Terminated"), std::string::npos) << shown;
    EXPECT_NE(shown.find(spy_name), std::string::npos) << shown;
    // The scan quarantined every cookie: the monitor found none to delete.
    EXPECT_FALSE(platform::PathFileExists(kShare + std::string("LiveMonitorLogFolder\\") + day + ".cs"));
  }

  // --- 8. The uninstaller removes the agent. ---
  ASSERT_TRUE(platform::CopyFile(std::string(kStage) + "\\VXAgentRemover.exe", kShare + std::string("VXAgentRemover.exe"),
                                 false));
  platform::ScHandle remover = platform::CreateServiceA(
      scm, "VXAgentUnistall", "VXAgentUnistall", platform::SERVICE_ALL_ACCESS, platform::SERVICE_WIN32_OWN_PROCESS,
      platform::SERVICE_DEMAND_START, platform::SERVICE_ERROR_NORMAL, "%SystemRoot%\\system32\\VXAgentRemover.exe");
  ASSERT_TRUE(remover) << platform::GetLastError();
  ASSERT_TRUE(platform::StartServiceA(remover)) << platform::GetLastError();
  std::vector<std::string> progress;
  {
    Pipe p("UninstallPipe");
    ASSERT_TRUE(p.opened());
    while (std::optional<std::string> line = p.Reply()) {
      progress.push_back(*line);
      if (*line == "Finished Uninstallation") break;
    }
  }
  EXPECT_EQ(progress, (std::vector<std::string>{"Uninstallation started", "Finished Uninstallation"}));
  EXPECT_FALSE(platform::OpenServiceA(scm, "VXAgent", platform::SERVICE_ALL_ACCESS));
  EXPECT_EQ(platform::kErrorServiceDoesNotExist, platform::GetLastError());
  for (const char* file : kAgentFiles) EXPECT_FALSE(platform::PathFileExists(kShare + std::string(file))) << file;
  EXPECT_FALSE(platform::WaitNamedPipe("\\\\PC1\\pipe\\RemoteAdminScanPipe", 100));
  platform::SERVICE_STATUS st;
  platform::ControlService(remover, platform::SERVICE_CONTROL_STOP, &st);
  EXPECT_TRUE(platform::DeleteService(remover));
}

}  // namespace
