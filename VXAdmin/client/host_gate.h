// The per-host gate: one connection set-up per client host at a time.
//
// Each client host has a manual-reset event, created signalled on first
// use and kept for the life of the process, whose name is the host's name
// (upper-cased: computer names do not depend on case, so "pc1" and "PC1"
// share one gate). Being a named object of the console's host, the gate
// also holds between console processes of that host (the window program
// and vxctl). Set-ups of different hosts never wait for each other.
#pragma once

#include <memory>
#include <string>

namespace platform {
class Event;
}

namespace vxadmin::client {

// Takes the gate of `host` for the object's lifetime: waits without a
// time-out until no other set-up of that host runs and closes the gate in
// the same step; the destructor opens it again on every path.
class HostGate {
 public:
  explicit HostGate(const std::string& host);
  ~HostGate();
  HostGate(const HostGate&) = delete;
  HostGate& operator=(const HostGate&) = delete;

 private:
  std::shared_ptr<platform::Event> event_;
  bool held_ = false;
};

}  // namespace vxadmin::client
