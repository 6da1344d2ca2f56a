// A part of the host daemon (the SCM, remote access, ...). The daemon
// starts its modules in the order they were added and stops them in the
// reverse order; each module runs its own threads between Start and Stop
// and reaches the others only through the Daemon.
#pragma once

#include <string>

namespace hostd {

class Daemon;

class Module {
 public:
  virtual ~Module() = default;
  // Short name used in log lines ("scm").
  virtual const char* name() const = 0;
  // Opens what the module serves; false with a one-line reason stops the
  // daemon's start (modules started before are stopped again).
  virtual bool Start(Daemon& daemon, std::string* error) = 0;
  // Ends the module's work and joins its threads. Called once, only after a
  // successful Start.
  virtual void Stop() = 0;
};

}  // namespace hostd
