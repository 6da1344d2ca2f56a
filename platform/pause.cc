#include "platform/pause.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/host.h"
#include "platform/registry.h"

namespace platform {
namespace {

std::atomic<int64_t> g_checked_at{-1};
std::atomic<uint32_t> g_scale{100};

int64_t SteadyMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint32_t ReadScale() {
  if (const char* env = std::getenv("VX_PAUSE_SCALE"); env && *env)
    return static_cast<uint32_t>(std::strtoul(env, nullptr, 10));
  if (!Host::Current()) return 100;
  RegKey key;
  if (key.Open(RootKey::kLocalMachine, "Software\\VXCorporate", kKeyQueryValue) != 0) return 100;
  uint32_t value = 100;
  if (key.ReadDword("PauseScale", &value) != 0) return 100;
  return value;
}

}  // namespace

uint32_t PauseScalePercent() {
  int64_t now = SteadyMillis();
  int64_t last = g_checked_at.load();
  if (last < 0 || now - last >= 1000) {
    g_scale.store(ReadScale());
    g_checked_at.store(now);
  }
  return g_scale.load();
}

void CourtesyPause(uint32_t milliseconds) {
  uint64_t scaled = static_cast<uint64_t>(milliseconds) * PauseScalePercent() / 100;
  if (scaled == 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(scaled));
}

}  // namespace platform
