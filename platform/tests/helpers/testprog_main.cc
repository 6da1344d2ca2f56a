// A program for the process tests. The command is the first argument
// that names one:
//
//   testprog dump FILE [ARGS...]  writes how it was started to FILE (a
//                                 Windows path of its host) and exits 0:
//                                 the command line, then one line per
//                                 argument "arg:<text>", "account:<name>",
//                                 "cwd:<real folder>", "var:<VX_TEST_VAR>",
//                                 "channel:<VX_SERVICE_CHANNEL>",
//                                 "image:<real program path>", "end"
//   testprog wait                 waits until it is terminated
//   testprog exit N               exits with code N
//   testprog fd N                 writes "fd" to descriptor N: exit 0, or
//                                 5 when N is not open
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/path.h"
#include "platform/process.h"

int main() {
  std::string line = platform::GetCommandLine();
  std::vector<std::string> all = platform::CommandLineToArgv(line);
  // The command is the first argument naming one, so that a program path
  // split at its blanks still finds it.
  std::vector<std::string> args;
  for (size_t i = 1; i < all.size(); ++i) {
    if (all[i] == "dump" || all[i] == "wait" || all[i] == "exit" || all[i] == "fd") {
      args.push_back(all[0]);
      args.insert(args.end(), all.begin() + static_cast<long>(i), all.end());
      break;
    }
  }
  if (args.size() >= 2 && args[1] == "wait") {
    for (;;) ::pause();
  }
  if (args.size() >= 3 && args[1] == "exit") return std::atoi(args[2].c_str());
  if (args.size() >= 3 && args[1] == "dump") {
    std::string real;
    if (!platform::ResolvePath(args[2], &real)) return 3;
    std::ofstream out(real, std::ios::binary);
    out << line << "\n";
    for (size_t i = 3; i < args.size(); ++i) out << "arg:" << args[i] << "\n";
    const char* account = std::getenv("VX_ACCOUNT");
    out << "account:" << (account ? account : "") << "\n";
    const char* var = std::getenv("VX_TEST_VAR");
    out << "var:" << (var ? var : "") << "\n";
    const char* channel = std::getenv("VX_SERVICE_CHANNEL");
    out << "channel:" << (channel ? channel : "") << "\n";
    char cwd[4096];
    out << "cwd:" << (::getcwd(cwd, sizeof cwd) ? cwd : "") << "\n";
    out << "image:" << platform::CurrentProgramPath() << "\n";
    out << "end\n";
    return out ? 0 : 4;
  }
  if (args.size() >= 3 && args[1] == "fd") {
    int fd = std::atoi(args[2].c_str());
    return ::write(fd, "fd", 2) == 2 ? 0 : 5;
  }
  return 2;
}
