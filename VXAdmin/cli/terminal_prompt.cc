#include "VXAdmin/cli/terminal_prompt.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

namespace vxadmin::cli {
namespace {

// Workers of several hosts may ask at once; one question at a time.
std::mutex g_prompt_mu;

bool ReadLine(std::string* out) {
  if (!std::getline(std::cin, *out)) return false;
  if (!out->empty() && out->back() == '\r') out->pop_back();
  return true;
}

bool Ask(const std::string& host, platform::remote::Credentials* creds) {
  std::lock_guard<std::mutex> lock(g_prompt_mu);
  std::fprintf(stderr, "User name for %s [%s] (end of input cancels): ", host.c_str(), creds->user.c_str());
  std::fflush(stderr);
  std::string user;
  if (!ReadLine(&user)) return false;
  if (!user.empty()) creds->user = user;
  std::fprintf(stderr, "Password for %s on %s: ", creds->user.c_str(), host.c_str());
  std::fflush(stderr);
  termios saved{};
  bool quiet = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &silent);
  }
  std::string password;
  bool ok = ReadLine(&password);
  if (quiet) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  std::fprintf(stderr, "\n");
  if (!ok) return false;
  creds->password = password;
  return true;
}

}  // namespace

platform::CredentialsPrompt TerminalPrompt() {
  if (!::isatty(STDIN_FILENO)) return nullptr;
  return Ask;
}

}  // namespace vxadmin::cli
