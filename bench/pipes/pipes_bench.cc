// Request/reply round trips of 260-byte records. The baseline is the bare
// SOCK_SEQPACKET socket pair the local pipes are built on; the pipe
// benchmarks are reported as ratios to it.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "platform/pipe.h"
#include "platform/testing/temp_host.h"
#include "round_trip.h"

namespace {

constexpr int kRoundTrips = 10000;
const char* const kPipe = "\\\\.\\pipe\\RemoteAdminCheckVersionPipe";

void BM_SocketPairBaseline(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  std::thread echo([fd = fds[1]] {
    char buf[1024];
    char reply[vxbench::kRecordSize] = "Same Versions";
    while (recv(fd, buf, sizeof buf, 0) > 0) send(fd, reply, sizeof reply, MSG_NOSIGNAL);
  });
  char request[vxbench::kRecordSize] = "5.1";
  char reply[vxbench::kRecordSize];
  for (auto _ : state) {
    send(fds[0], request, sizeof request, MSG_NOSIGNAL);
    if (recv(fds[0], reply, sizeof reply, 0) != sizeof reply) state.SkipWithError("short reply");
  }
  shutdown(fds[0], SHUT_RDWR);
  echo.join();
  close(fds[0]);
  close(fds[1]);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SocketPairBaseline)->Iterations(kRoundTrips)->UseRealTime();

void BM_LocalPipeRoundTrip(benchmark::State& state) {
  platform::testing::TempHost host;
  vxbench::EchoServer server(kPipe);
  platform::PipeClient client;
  if (!server.ok() || !platform::WaitNamedPipe(kPipe, 5000) || !client.Open(kPipe)) {
    state.SkipWithError("pipe");
    return;
  }
  for (auto _ : state) {
    if (!vxbench::RoundTrip(client)) state.SkipWithError("round trip");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocalPipeRoundTrip)->Iterations(kRoundTrips)->UseRealTime();

// The console's pattern: wait, open, one exchange, close; the server
// disconnects and listens again each time.
void BM_LocalPipeOpenPerExchange(benchmark::State& state) {
  platform::testing::TempHost host;
  vxbench::EchoServer server(kPipe);
  if (!server.ok()) {
    state.SkipWithError("pipe");
    return;
  }
  for (auto _ : state) {
    platform::PipeClient client;
    if (!platform::WaitNamedPipe(kPipe, 5000) || !client.Open(kPipe) || !vxbench::RoundTrip(client)) {
      state.SkipWithError("exchange");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocalPipeOpenPerExchange)->Iterations(1000)->UseRealTime();

// Prints each benchmark's time per round trip as a ratio to the baseline.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) per_op_[r.benchmark_name()] = r.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto base = per_op_.find("BM_SocketPairBaseline/iterations:10000/real_time");
    if (base == per_op_.end() || base->second <= 0) return;
    std::printf("\nRatios to the socket-pair baseline (time per exchange):\n");
    for (const auto& [name, t] : per_op_) {
      std::printf("  %-55s %8.2fx  (%.0f exchanges/s)\n", name.c_str(), t / base->second,
                  1e9 / t);
    }
  }

 private:
  std::map<std::string, double> per_op_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
