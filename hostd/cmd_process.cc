// vxhost exec / logon / ps / kill: programs running inside a host.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "hostd/vxhost_command.h"
#include "platform/error.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/strings.h"

namespace vxhost {
namespace {

std::string LastErrorText() {
  std::string text = platform::ErrorMessage(platform::GetLastError());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// "C:\x", "C:/x" and anything holding a backslash are Windows paths; the
// rest are real paths of this machine.
bool IsWindowsPath(const std::string& p) {
  if (p.find('\\') != std::string::npos) return true;
  return p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
}

bool ParseUint(const std::string& text, uint32_t* value) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end || v > 0xFFFFFFFFul) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

int Exec(const Invocation& inv) {
  platform::LaunchOptions options;
  size_t i = 0;
  while (i < inv.args.size() && inv.args[i] == "--user") {
    if (i + 1 >= inv.args.size()) return Fail("exec: --user needs a name");
    options.account = inv.args[i + 1];
    i += 2;
  }
  if (i >= inv.args.size()) return Fail("exec: no program given");
  if (!LoadHost(inv)) return 2;
  std::vector<std::string> argv(inv.args.begin() + static_cast<long>(i), inv.args.end());
  std::string line = platform::ArgvToCommandLine(argv);
  platform::Process process;
  bool ok;
  if (IsWindowsPath(argv[0])) {
    ok = platform::CreateProcess(argv[0], line, options, &process);
  } else {
    std::error_code ec;
    std::string real = std::filesystem::absolute(argv[0], ec).string();
    ok = platform::LaunchRealProgram(real, line, options, &process);
  }
  if (!ok) return Fail("exec: " + argv[0] + ": " + LastErrorText());
  process.WaitForExit(-1);
  uint32_t code = 0;
  if (!process.GetExitCode(&code)) return Fail("exec: " + argv[0] + ": exit code unknown");
  return static_cast<int>(code & 0xFF);
}

// Puts the explorer stand-in built beside vxhost into the host's Windows
// folder, where a desktop shell lives. A hard link where possible, so that
// the image stays the same file as the build's.
bool InstallExplorer(const platform::Host& host, std::string* windows_path) {
  std::string win = host.windows_dir() + "\\explorer.exe";
  std::string real;
  if (!platform::ResolvePath(win, &real)) return false;
  struct stat st;
  if (::stat(real.c_str(), &st) != 0) {
    std::string source = platform::CurrentProgramFolder() + "/explorer.exe";
    if (::link(source.c_str(), real.c_str()) != 0) {
      std::error_code ec;
      std::filesystem::copy_file(source, real, ec);
      if (ec) {
        Fail("logon: cannot install " + source + " as " + real + ": " + ec.message());
        return false;
      }
    }
  }
  *windows_path = win;
  return true;
}

int Logon(const Invocation& inv) {
  if (inv.args.size() != 1) return Fail("logon: give one user name");
  if (!LoadHost(inv)) return 2;
  platform::Host& host = *platform::Host::Current();
  const platform::UserAccount* user = host.FindUser(inv.args[0]);
  if (!user || user == &host.SystemAccount()) return Fail("logon: " + inv.args[0] + ": no such user on this host");
  std::vector<platform::ProcessEntry> list;
  if (platform::ListProcesses(&list)) {
    for (const auto& e : list) {
      if (platform::EqualsIgnoreCase(e.account, user->name) &&
          platform::EndsWithIgnoreCase(e.image, "\\explorer.exe")) {
        std::printf("%u\n", e.pid);  // already logged on
        return 0;
      }
    }
  }
  std::string win;
  if (!InstallExplorer(host, &win)) return 2;
  platform::LaunchOptions options;
  options.account = user->name;
  options.detach = true;
  platform::Process process;
  if (!platform::CreateProcess(win, platform::ArgvToCommandLine({win}), options, &process))
    return Fail("logon: " + win + ": " + LastErrorText());
  std::printf("%u\n", process.pid());
  return 0;
}

int Ps(const Invocation& inv) {
  if (!inv.args.empty()) return Fail("ps: no arguments expected");
  if (!LoadHost(inv)) return 2;
  std::vector<platform::ProcessEntry> list;
  if (!platform::ListProcesses(&list)) return Fail("ps: " + LastErrorText());
  std::printf("%7s  %-16s %s\n", "PID", "ACCOUNT", "IMAGE");
  for (const auto& e : list) {
    std::string image = e.image.empty() ? "[" + e.real_image + "]" : e.image;
    std::printf("%7u  %-16s %s\n", e.pid, e.account.c_str(), image.c_str());
  }
  return 0;
}

int Kill(const Invocation& inv) {
  if (inv.args.empty() || inv.args.size() > 2) return Fail("kill: give a process id and optionally an exit code");
  uint32_t pid = 0, code = 1;
  if (!ParseUint(inv.args[0], &pid)) return Fail("kill: " + inv.args[0] + ": not a process id");
  if (inv.args.size() == 2 && !ParseUint(inv.args[1], &code))
    return Fail("kill: " + inv.args[1] + ": not an exit code");
  if (!LoadHost(inv)) return 2;
  platform::Process process = platform::Process::Open(pid);
  if (!process.IsValid()) return Fail("kill: " + inv.args[0] + ": no such process on this host");
  if (!process.Terminate(code)) return Fail("kill: " + inv.args[0] + ": " + LastErrorText());
  if (!process.WaitForExit(5000)) return Fail("kill: " + inv.args[0] + ": did not end");
  return 0;
}

}  // namespace

VXHOST_COMMAND(exec, "exec", "exec [--user NAME] PROGRAM [ARGS...]   (run a program in the host, wait, return its exit code)", Exec);
VXHOST_COMMAND(logon, "logon", "logon USER   (start the user's desktop shell explorer.exe, print its pid)", Logon);
VXHOST_COMMAND(ps, "ps", "ps   (the host's processes: pid, account, image)", Ps);
VXHOST_COMMAND(kill, "kill", "kill PID [EXIT-CODE]   (terminate a process of the host)", Kill);

}  // namespace vxhost
