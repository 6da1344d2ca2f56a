// Remote pipes: 10,000 request/reply round trips of 260-byte records
// through \\PC1\pipe\... (console -> PC1's daemon over TLS -> local pipe)
// against the same exchange on the local pipe itself, in the same run; and
// 200 sessions relayed at once by one daemon, each a long exchange, with
// the daemon's peak resident memory.
//
// The network is a lab (tools/lab) in a temporary folder: a console host
// and PC1, whose daemon runs as its own process. The pipe servers run in
// this process on PC1's pipes.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/ratio.h"
#include "platform/host.h"
#include "platform/pipe.h"
#include "platform/remote_session.h"
#include "platform/share.h"
#include "platform/testing/temp_host.h"
#include "round_trip.h"

namespace {
namespace fs = std::filesystem;

constexpr int kRoundTrips = 10000;
constexpr int kSessions = 200;
constexpr int kExchangesPerSession = 200;

std::string BinDir() {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = 0;
  return (fs::path(self).parent_path().parent_path() / "bin").string();
}

int Lab(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::string program = BinDir() + "/lab";
    std::vector<std::string> copy = args;
    std::vector<char*> argv = {program.data()};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// VmHWM (peak resident set) of a process, in KiB; 0 when unknown.
long PeakRssKib(pid_t pid) {
  std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// The lab, set up once for every benchmark of this run.
struct Network {
  platform::testing::TempDir dir;
  std::string lab;
  std::unique_ptr<platform::Host> console, pc1;
  std::unique_ptr<platform::ScopedHost> scope;
  pid_t daemon = 0;
  bool ok = false;

  Network() {
    lab = dir.path() + "/lab";
    if (Lab({"up", lab, "--clients", "1", "--logon-delay-ms", "0", "--max-sessions-per-peer",
             std::to_string(kSessions + 16)}) != 0)
      return;
    std::string error;
    console = platform::Host::Load(lab + "/console", &error);
    pc1 = platform::Host::Load(lab + "/pc1", &error);
    if (!console || !pc1) return;
    daemon = static_cast<pid_t>(std::atoi(ReadText(lab + "/pc1/run/vxhostd.pid").c_str()));
    scope = std::make_unique<platform::ScopedHost>(console.get());
    platform::InstallRemoteAccess();
    ok = platform::ConnectShare("\\\\PC1\\IPC$", platform::kConnectUpdateProfile) == 0;
  }
  ~Network() {
    scope.reset();
    Lab({"down", lab});
  }
  // A pipe server on PC1 (pipe servers take their host when created).
  std::unique_ptr<vxbench::EchoServer> Serve(const std::string& name) {
    platform::ScopedHost on_pc1(pc1.get());
    return std::make_unique<vxbench::EchoServer>("\\\\.\\pipe\\" + name);
  }
};

Network* g_net = nullptr;

void BM_LocalPipeRoundTrip(benchmark::State& state) {
  auto server = g_net->Serve("BenchLocal");
  platform::ScopedHost on_pc1(g_net->pc1.get());
  platform::PipeClient client;
  if (!server->ok() || !platform::WaitNamedPipe("\\\\.\\pipe\\BenchLocal", 5000) ||
      !client.Open("\\\\.\\pipe\\BenchLocal")) {
    state.SkipWithError("local pipe");
    return;
  }
  for (auto _ : state)
    if (!vxbench::RoundTrip(client)) state.SkipWithError("round trip");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocalPipeRoundTrip)->Iterations(kRoundTrips)->UseRealTime();

void BM_RemotePipeRoundTrip(benchmark::State& state) {
  auto server = g_net->Serve("BenchRemote");
  platform::PipeClient client;
  if (!server->ok() || !platform::WaitNamedPipe("\\\\PC1\\pipe\\BenchRemote", 5000) ||
      !client.Open("\\\\PC1\\pipe\\BenchRemote")) {
    state.SkipWithError("remote pipe");
    return;
  }
  for (auto _ : state)
    if (!vxbench::RoundTrip(client)) state.SkipWithError("round trip");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RemotePipeRoundTrip)->Iterations(kRoundTrips)->UseRealTime();

void BM_ConcurrentRelayedSessions(benchmark::State& state) {
  std::vector<std::unique_ptr<vxbench::EchoServer>> servers;
  for (int i = 0; i < kSessions; ++i) servers.push_back(g_net->Serve("BenchMany" + std::to_string(i)));
  long rss_before = PeakRssKib(g_net->daemon);
  std::atomic<int> completed{0};
  for (auto _ : state) {
    completed = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < kSessions; ++i) {
      threads.emplace_back([i, &completed] {
        std::string name = "\\\\PC1\\pipe\\BenchMany" + std::to_string(i);
        platform::PipeClient client;
        if (!platform::WaitNamedPipe(name, 30000) || !client.Open(name)) return;
        for (int k = 0; k < kExchangesPerSession; ++k)
          if (!vxbench::RoundTrip(client)) return;
        ++completed;
      });
    }
    for (auto& t : threads) t.join();
  }
  if (completed != kSessions) state.SkipWithError("some sessions did not complete");
  state.counters["sessions_completed"] = completed.load();
  state.counters["daemon_peak_rss_MiB"] = PeakRssKib(g_net->daemon) / 1024.0;
  state.counters["daemon_rss_before_MiB"] = rss_before / 1024.0;
  state.SetItemsProcessed(state.iterations() * kSessions * kExchangesPerSession);
}
BENCHMARK(BM_ConcurrentRelayedSessions)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Network net;
  if (!net.ok) {
    std::fprintf(stderr, "remote_bench: the lab did not come up\n");
    return 1;
  }
  g_net = &net;
  vxbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.PrintRatio("BM_RemotePipeRoundTrip", "BM_LocalPipeRoundTrip", 5.0);
  benchmark::Shutdown();
  return 0;
}
