#include "platform/shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/strings.h"

namespace platform {
namespace {

bool IsElfFile(const std::string& real) {
  int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char magic[4] = {};
  ssize_t n = ::read(fd, magic, sizeof magic);
  ::close(fd);
  return n == 4 && magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

// The desktop's opener on the real PATH, or empty.
std::string FindOpener() {
  const char* path = std::getenv("PATH");
  if (!path) return {};
  for (const auto& dir : Split(path, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/xdg-open";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

uint32_t ShellFailure(uint32_t last_error) {
  SetLastError(last_error);
  switch (last_error) {
    case kErrorFileNotFound: return kShellErrorFileNotFound;
    case kErrorPathNotFound: return kShellErrorPathNotFound;
    case kErrorNotEnoughMemory:
    case kErrorOutOfMemory: return kShellErrorOutOfMemory;
    case kErrorBadExeFormat: return kShellErrorBadFormat;
    case kErrorNoAssociation: return kShellErrorNoAssociation;
    default: return kShellErrorAccessDenied;
  }
}

}  // namespace

uint32_t ShellExecute(std::string_view verb, std::string_view file, std::string_view parameters,
                      std::string_view directory, int /*show*/) {
  bool open = verb.empty() || EqualsIgnoreCase(verb, "open");
  bool explore = EqualsIgnoreCase(verb, "explore");
  if (!open && !explore) return ShellFailure(kErrorNoAssociation);
  Host* host = Host::Current();
  if (!host) return ShellFailure(kErrorPathNotFound);
  if (file.empty()) return ShellFailure(kErrorFileNotFound);

  std::string real;
  std::string windows_path(file);
  if (file.find_first_of("\\/:") != std::string_view::npos) {
    if (!ResolvePath(file, &real)) return ShellFailure(GetLastError());
    struct stat st;
    if (::stat(real.c_str(), &st) != 0) {
      // Windows tells a missing folder from a missing file.
      std::string parent = std::filesystem::path(real).parent_path().string();
      return ShellFailure(::stat(parent.c_str(), &st) == 0 ? kErrorFileNotFound : kErrorPathNotFound);
    }
  } else if (!SearchProgram(file, &real)) {
    return ShellFailure(kErrorFileNotFound);
  } else {
    std::string w = RealToWindowsPath(*host, real);
    windows_path = w.empty() ? real : w;
  }

  struct stat st;
  if (::stat(real.c_str(), &st) != 0) return ShellFailure(ErrorFromErrno(errno));
  bool program = S_ISREG(st.st_mode) &&
                 (EndsWithIgnoreCase(real, ".exe") || EndsWithIgnoreCase(real, ".com") || IsElfFile(real));
  if (explore && !S_ISDIR(st.st_mode)) return ShellFailure(kErrorNoAssociation);

  if (program) {
    LaunchOptions options;
    options.current_directory = std::string(directory);
    options.detach = true;  // independent of the caller, as a shell-started program is
    // The shell always quotes the program, as its "%1" association does.
    std::string line = "\"" + windows_path + "\"";
    if (!parameters.empty()) line += " " + std::string(parameters);
    Process process;  // not waited for: the child is reaped once it ends
    if (!LaunchRealProgram(real, line, options, &process)) return ShellFailure(GetLastError());
    return kShellOk;
  }

  std::string opener = FindOpener();
  if (opener.empty()) return ShellFailure(kErrorNoAssociation);
  LaunchOptions options;
  options.detach = true;
  Process process;
  if (!LaunchRealProgram(opener, ArgvToCommandLine({opener, real}), options, &process))
    return ShellFailure(GetLastError());
  return kShellOk;
}

bool GetFolderPath(int id, std::string_view account, std::string* path) {
  Host* host = Host::Current();
  if (!host) return Fail(kErrorPathNotFound);
  bool create = (id & kFolderFlagCreate) != 0;
  int folder = id & 0xFF;  // the flags live in the high byte
  const UserAccount* user =
      account.empty() ? &host->CurrentAccount() : host->FindUser(std::string(account));
  if (!user) return Fail(kErrorInvalidParameter);
  std::string windows = host->FolderPath(folder, *user);
  if (windows.empty()) return Fail(kErrorInvalidParameter);
  if (create) {
    std::string real;
    if (!ResolvePath(windows, &real)) return Fail(kErrorPathNotFound);
    std::error_code ec;
    std::filesystem::create_directories(real, ec);
    if (ec || !std::filesystem::is_directory(real, ec)) return Fail(kErrorPathNotFound);
  }
  *path = windows;
  return true;
}

}  // namespace platform
