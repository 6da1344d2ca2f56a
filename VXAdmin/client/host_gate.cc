#include "VXAdmin/client/host_gate.h"

#include <map>
#include <mutex>

#include "platform/named_object.h"
#include "platform/strings.h"

namespace vxadmin::client {
namespace {

std::mutex g_gates_mu;
// Entries live as long as the process: a waiter may hold the event while
// another thread looks it up.
std::map<std::string, std::shared_ptr<platform::Event>>& Gates() {
  static auto* gates = new std::map<std::string, std::shared_ptr<platform::Event>>;
  return *gates;
}

std::shared_ptr<platform::Event> GateOf(const std::string& host) {
  std::string name = platform::ToUpperAscii(host);
  std::lock_guard<std::mutex> lock(g_gates_mu);
  auto& slot = Gates()[name];
  if (!slot) {
    auto event = std::make_shared<platform::Event>();
    // A name the object namespace refuses still gets a gate, private to
    // this process, so that this console's workers keep to one set-up.
    if (!event->Create(name, true, true)) event->Create("", true, true);
    slot = std::move(event);
  }
  return slot;
}

}  // namespace

HostGate::HostGate(const std::string& host) : event_(GateOf(host)) {
  held_ = event_->IsValid() && event_->WaitAndReset(platform::kInfinite) == platform::kWaitObject0;
}

HostGate::~HostGate() {
  if (held_) event_->Set();
}

}  // namespace vxadmin::client
