#include "VXAdmin/cli/vxctl.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "VXAdmin/cli/terminal_prompt.h"
#include "VXAdmin/client/client_connection.h"
#include "VXAdmin/shell/app_settings.h"
#include "VXAdmin/shell/status.h"
#include "VXAgent/pipes/records.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/strings.h"

namespace vxadmin::cli {
namespace {

using client::ClientConnection;
namespace rec = vxagent::records;

// How often a just started agent is asked to register, and how far apart:
// its version pipe appears a moment after the service runs.
constexpr int kRegisterAttempts = 150;
constexpr int kRegisterPauseMs = 100;

int Usage() {
  std::fprintf(stderr,
               "usage: vxctl [--root HOSTROOT] COMMAND ...\n"
               "  vxctl check [--pipe NAME] [--protection-check] HOST...\n"
               "      set up the connection to each host (all at once) and report what stands in the way\n"
               "  vxctl register HOST...\n"
               "      register the console's product and database versions with each host's agent\n"
               "  vxctl copy HOST FILE...\n"
               "      copy files of the console's installation folder to the host's system folder\n"
               "  vxctl service HOST NAME start|stop|restart|delete\n"
               "      control a service on the host (VXAgent and VXAgentUnistall are created when missing)\n"
               "HOSTROOT (the console host) defaults to $VX_HOST_ROOT.\n");
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vxctl: %s\n", message.c_str());
  return 2;
}

// A host as given: "PC1" or "\\PC1". Empty when it is no plain name.
std::string HostArgument(const std::string& arg) {
  std::string name = arg;
  while (!name.empty() && name.front() == '\\') name.erase(0, 1);
  if (name.empty()) return {};
  for (char c : name)
    if (c == '\\' || c == '/' || c == ':' || static_cast<unsigned char>(c) <= ' ') return {};
  return name;
}

// A file or service name: one plain path component.
bool PlainName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name)
    if (c == '\\' || c == '/' || c == ':' || static_cast<unsigned char>(c) < ' ') return false;
  return true;
}

bool HostArguments(const std::vector<std::string>& args, size_t from, std::vector<std::string>* hosts) {
  for (size_t i = from; i < args.size(); ++i) {
    std::string h = HostArgument(args[i]);
    if (h.empty()) {
      Fail("'" + args[i] + "' is not a host name");
      return false;
    }
    hosts->push_back(h);
  }
  if (hosts->empty()) {
    Fail("no host given");
    Usage();
    return false;
  }
  return true;
}

// vxctl's own word on a host, printed after the host's status lines.
void Outcome(const std::string& host, const std::string& text) {
  std::printf("%s: %s\n", host.c_str(), text.c_str());
  std::fflush(stdout);
}

std::string LastErrorText() {
  uint32_t code = platform::GetLastError();
  return platform::TrimBlanks(platform::ErrorMessage(code)) + " (error " + std::to_string(code) + ")";
}

// Runs `work` for every host at once, one thread each, as the console's
// workers do; then prints each host's outcome in the order given. Exit
// code 0 when every host succeeded, else 1.
int ForEachHost(const std::vector<std::string>& hosts,
                const std::function<bool(const std::string&, std::string*)>& work) {
  std::vector<char> ok(hosts.size(), 0);
  std::vector<std::string> outcome(hosts.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < hosts.size(); ++i)
    threads.emplace_back([&, i] { ok[i] = work(hosts[i], &outcome[i]) ? 1 : 0; });
  for (auto& t : threads) t.join();
  int rc = 0;
  for (size_t i = 0; i < hosts.size(); ++i) {
    Outcome(hosts[i], outcome[i]);
    if (!ok[i]) rc = 1;
  }
  return rc;
}

int Check(const std::vector<std::string>& args) {
  std::string pipe = rec::kOptionsPipe;
  bool protection_check = false;
  size_t i = 1;
  for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
    if (args[i] == "--pipe" && i + 1 < args.size()) {
      pipe = args[++i];
      if (!PlainName(pipe)) return Fail("--pipe: give a pipe name such as RemoteAdminScanPipe");
    } else if (args[i] == "--protection-check") {
      protection_check = true;
    } else {
      return Fail("check: unknown option " + args[i]);
    }
  }
  std::vector<std::string> hosts;
  if (!HostArguments(args, i, &hosts)) return 2;
  auto prompt = TerminalPrompt();
  return ForEachHost(hosts, [&](const std::string& host, std::string* outcome) {
    ClientConnection c(host, pipe, nullptr, protection_check);
    c.SetCredentialsPrompt(prompt);
    bool ok = c.EstablishAllConnections();
    // The pipe is closed unused: the agent lets the client go and listens again.
    *outcome = ok ? "ready (" + pipe + " opened)" : "not ready";
    return ok;
  });
}

int Register(const std::vector<std::string>& args) {
  std::vector<std::string> hosts;
  if (!HostArguments(args, 1, &hosts)) return 2;
  auto prompt = TerminalPrompt();
  AppSettings settings = Settings();
  return ForEachHost(hosts, [&](const std::string& host, std::string* outcome) {
    ClientConnection c(host, rec::kCheckVersionPipe);
    c.SetCredentialsPrompt(prompt);
    *outcome = "versions not registered";
    if (!c.ConnectShare()) return false;
    if (!platform::PathFileExists("\\\\" + host + "\\ADMIN$\\System32\\VXAgent.exe")) {
      *outcome = "VXAgent.exe is not installed; versions not registered";
      return false;
    }
    // Attempts go on only while the version pipe is not there yet; an
    // agent that answered has given its answer.
    for (int attempt = 0; attempt < kRegisterAttempts; ++attempt) {
      if (c.CheckProductVersion(true)) {
        *outcome = "versions " + settings.product_version + " / " + settings.database_version + " registered";
        return true;
      }
      if (c.IsPipeOpen()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(kRegisterPauseMs));
    }
    *outcome = "the agent's version pipe did not open; versions not registered";
    return false;
  });
}

int Copy(const std::vector<std::string>& args) {
  if (args.size() < 3) {
    Fail("copy: give a host and at least one file");
    return Usage();
  }
  std::string host = HostArgument(args[1]);
  if (host.empty()) return Fail("'" + args[1] + "' is not a host name");
  for (size_t i = 2; i < args.size(); ++i)
    if (!PlainName(args[i])) return Fail("copy: '" + args[i] + "' is not a file name of the installation folder");
  std::string installed = GetInstalledPath();
  if (installed.empty()) return 1;
  ClientConnection c(host, rec::kCheckVersionPipe);
  c.SetCredentialsPrompt(TerminalPrompt());
  if (!c.ConnectShare()) {
    Outcome(host, "nothing copied");
    return 1;
  }
  for (size_t i = 2; i < args.size(); ++i) {
    if (!c.CopyFileToRemoteMachine(installed, args[i], false)) {
      Outcome(host, args[i] + " not copied");
      return 1;
    }
    Outcome(host, args[i] + " copied to \\\\" + host + "\\ADMIN$\\System32");
  }
  return 0;
}

int Service(const std::vector<std::string>& args) {
  if (args.size() != 4) {
    Fail("service: give a host, a service name and start, stop, restart or delete");
    return Usage();
  }
  std::string host = HostArgument(args[1]);
  if (host.empty()) return Fail("'" + args[1] + "' is not a host name");
  const std::string& name = args[2];
  if (!PlainName(name)) return Fail("service: '" + name + "' is not a service name");
  const std::string& op = args[3];
  if (op != "start" && op != "stop" && op != "restart" && op != "delete")
    return Fail("service: unknown operation '" + op + "' (start, stop, restart or delete)");

  ClientConnection c(host, rec::kCheckVersionPipe);
  c.SetCredentialsPrompt(TerminalPrompt());
  if (!c.ConnectShare()) {
    Outcome(host, name + " not changed");
    return 1;
  }
  bool ok = false;
  if (op == "start") {
    ok = c.CreateAndStartService(name, true);
    Outcome(host, ok ? name + " running" : name + " not started");
    return ok ? 0 : 1;
  }
  if (op == "restart") {
    ok = c.RestartService(name);
    Outcome(host, ok ? name + " restarted" : name + " not restarted: " + LastErrorText());
    return ok ? 0 : 1;
  }
  ok = c.StopService(name, op == "delete");
  if (op == "stop")
    Outcome(host, ok ? name + " stopped" : name + " not stopped: " + LastErrorText());
  else
    Outcome(host, ok ? name + " stopped and deleted" : name + " not stopped (deleted when it exists): " + LastErrorText());
  return ok ? 0 : 1;
}

}  // namespace

int RunVxctl(const std::vector<std::string>& args_in) {
  std::vector<std::string> args = args_in;
  std::string root;
  while (!args.empty() && args[0].rfind("--", 0) == 0) {
    if (args[0] == "--root" && args.size() > 1) {
      root = args[1];
      args.erase(args.begin(), args.begin() + 2);
    } else if (args[0] == "--help") {
      Usage();
      return 0;
    } else {
      Fail("unknown option " + args[0]);
      return Usage();
    }
  }
  if (args.empty()) return Usage();
  const std::string& command = args[0];
  if (command != "check" && command != "register" && command != "copy" && command != "service") {
    Fail("unknown command '" + command + "'");
    return Usage();
  }

  std::unique_ptr<platform::Host> loaded;
  std::unique_ptr<platform::ScopedHost> scope;
  if (!root.empty()) {
    std::string error;
    loaded = platform::Host::Load(root, &error);
    if (!loaded) return Fail("console host " + root + ": " + error);
    scope = std::make_unique<platform::ScopedHost>(loaded.get());
  } else if (!platform::Host::Current()) {
    return Fail("no console host: pass --root HOSTROOT or set VX_HOST_ROOT");
  }
  SetSettings(ReadStartupSettings());
  PrintingStatusSink sink(stdout);
  SetStatusSink(&sink);

  int rc = 2;
  if (command == "check") rc = Check(args);
  else if (command == "register") rc = Register(args);
  else if (command == "copy") rc = Copy(args);
  else rc = Service(args);
  SetStatusSink(nullptr);
  return rc;
}

}  // namespace vxadmin::cli
