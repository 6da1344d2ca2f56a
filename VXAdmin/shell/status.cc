#include "VXAdmin/shell/status.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/clock.h"

namespace vxadmin {
namespace {

std::atomic<StatusSink*> g_sink{nullptr};
// Lines from many workers must come out whole and in call order.
std::mutex g_print_mu;

}  // namespace

StatusSink* CurrentStatusSink() { return g_sink.load(); }
void SetStatusSink(StatusSink* sink) { g_sink.store(sink); }
bool HasMainWindow() { return g_sink.load() != nullptr; }

void AddStatusLine(const std::string& text) {
  if (StatusSink* s = g_sink.load()) s->AddStatusLine(text);
}

void ShowMessage(const std::string& text) {
  if (StatusSink* s = g_sink.load()) {
    s->ShowMessage(text);
    return;
  }
  std::lock_guard<std::mutex> lock(g_print_mu);
  std::fprintf(stderr, "%s\n", text.c_str());
}

std::string TimeStampedLine(const std::string& text) {
  return platform::FormatLocalTime(platform::GetLocalTime(), "[%H:%M:%S]") + " " + text;
}

PrintingStatusSink::PrintingStatusSink(std::FILE* out) : out_(out) {}

void PrintingStatusSink::AddStatusLine(const std::string& text) {
  std::string line = TimeStampedLine(text);
  std::lock_guard<std::mutex> lock(g_print_mu);
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void PrintingStatusSink::ShowMessage(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_print_mu);
  std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace vxadmin
