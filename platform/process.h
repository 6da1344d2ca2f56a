// Processes of the current host: the list, handles, starting programs.
//
// A process belongs to a host when the environment it was started with
// holds VX_HOST_ROOT naming that host's root folder. Processes whose
// environment cannot be read (other users', the kernel's) are invisible, as
// protected processes are to a Windows program: they are not listed and
// cannot be opened. So are processes of other hosts on the same machine.
//
// The account of a process is its VX_ACCOUNT; without one it is SYSTEM when
// the process was started as a service (VX_SERVICE_CHANNEL), else the
// host's first user (the rule of Host::CurrentAccount).
//
// The image path of a process is the real path of its executable turned
// into a Windows path through the host's drive map. An image outside every
// drive has the empty Windows path, so that it never equals, nor resolves
// to, a file of the host.
//
// Every operation that fails returns false (or an invalid handle) and sets
// the thread's last error; out-parameters are left untouched on failure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class Host;
namespace internal {
struct ChildState;
}

// GetExitCodeProcess's answer for a process that still runs.
constexpr uint32_t kStillActive = 259;

// Environment variables through which a program learns its setting.
constexpr char kEnvHostRoot[] = "VX_HOST_ROOT";
constexpr char kEnvAccount[] = "VX_ACCOUNT";
constexpr char kEnvCommandLine[] = "VX_COMMAND_LINE";

struct ProcessEntry {
  uint32_t pid = 0;
  uint32_t parent_pid = 0;
  std::string image;       // Windows path of the image; empty outside every drive
  std::string real_image;  // the real path of the image (tools, diagnostics)
  std::string account;     // account name as the host stores it ("Administrator")
};

// The processes of the current host in ascending pid order. False with last
// error 3 when there is no current host.
bool ListProcesses(std::vector<ProcessEntry>* processes);
bool ListProcesses(const Host& host, std::vector<ProcessEntry>* processes);

// One process of the current host. False with last error 87 when no
// process of that id runs on the host (as OpenProcess answers).
bool GetProcessEntry(uint32_t pid, ProcessEntry* entry);

// The first process of the current host, in pid order, whose image file
// name (the part after the last "\") equals `name` without regard to case
// (the tool-help walk looking for "explorer.exe"). False with last error
// 87 when there is none.
bool FindProcessByName(std::string_view name, ProcessEntry* entry);

// How a program is started.
struct LaunchOptions {
  // Account to run as (a user of the host or "SYSTEM"; the service
  // manager passes "SYSTEM" for services); empty: the caller's own account.
  // An unknown account fails with 1317.
  std::string account;
  // Variables set in the child's environment, after the inherited ones and
  // the host's own (so they may override them; the service manager passes
  // its control channel this way). VX_SERVICE_CHANNEL is not inherited.
  std::vector<std::pair<std::string, std::string>> environment;
  // Working folder as a Windows path; empty: the caller's current folder.
  std::string current_directory;
  // Descriptors handed to the child: (descriptor here, number in the
  // child). Standard input, output and error are inherited unless remapped;
  // every other descriptor is closed in the child.
  std::vector<std::pair<int, int>> fds_to_remap;
  // A process of its own session with standard input, output and error on
  // /dev/null (desktop programs, services): it outlives the caller's
  // terminal and never holds the caller's pipes open.
  bool detach = false;
};

// A process handle. It names one process for its whole lifetime, even after
// the process has ended and its id has been reused (it holds a pidfd).
// Closing it neither stops nor waits for the process; a child of this
// process whose handles are all closed is reaped in the background once it
// ends, so that no zombie stays behind.
class Process {
 public:
  Process();
  ~Process();
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // OpenProcess: a process of the current host by id. Invalid with last
  // error 87 when no such process runs on the host (or it is invisible).
  // A child of the caller stays open-able after it ended until a handle of
  // it has collected its exit status, as a Windows process stays while a
  // handle holds it.
  static Process Open(uint32_t pid);

  bool IsValid() const { return fd_ >= 0; }
  uint32_t pid() const { return pid_; }
  // The pidfd, readable once the process has ended (for poll with other
  // waits); -1 when invalid. Owned by the handle.
  int fd() const { return fd_; }

  // TerminateProcess. Linux cannot impose an exit code on another process:
  // the process is killed (SIGKILL) and `exit_code` is recorded, so that this
  // handle, and every handle of the caller's own child, later report it as
  // the exit code. False with 5 when the process has already ended or may
  // not be signalled, 6 on an invalid handle.
  bool Terminate(uint32_t exit_code);

  // WaitForSingleObject on the process: true once it has ended. A negative
  // `timeout_ms` waits without limit. False with last error 258 when the time
  // ran out, 6 on an invalid handle.
  bool WaitForExit(int64_t timeout_ms);

  // GetExitCodeProcess: kStillActive while the process runs. Once it has
  // ended: its exit status for a child of the caller (0 to 255, all that
  // Linux passes on; a child killed by a
  // signal gives the code recorded by Terminate, else 128 + the signal
  // number), the code recorded by this handle's Terminate for any other
  // process. Linux keeps no exit status of processes that are not our
  // children: false with last error 5 when none was recorded.
  bool GetExitCode(uint32_t* exit_code);

  // The account the process runs as (OpenProcessToken's stand-in).
  bool GetAccount(std::string* account) const;
  // Windows path of the image (GetModuleFileNameExA); empty outside every
  // drive. False with 5 once the process has ended.
  bool GetImagePath(std::string* windows_path) const;

  // CloseHandle.
  void Close();

 private:
  using ChildState = internal::ChildState;
  Process(int fd, uint32_t pid, std::shared_ptr<ChildState> child);
  bool Reap(bool block);

  int fd_ = -1;
  uint32_t pid_ = 0;
  std::shared_ptr<ChildState> child_;  // set for children of this process
  bool terminated_ = false;
  uint32_t requested_code_ = 0;

  friend bool LaunchRealProgram(const std::string&, std::string_view, const LaunchOptions&,
                                Process*);
};

// CreateProcessA. `application` is the program's Windows path; when it is
// empty the program is the first item of `command_line` (".exe" appended
// when it has no extension), looked for, unless it holds a path, in the
// folder of the calling program, the current folder, the system folder and
// the Windows folder. The child's arguments are `command_line` split by the
// Windows rules (CommandLineToArgv); it finds the raw text in
// VX_COMMAND_LINE, the host in VX_HOST_ROOT, its account in VX_ACCOUNT.
// A program file without execute permission gets it (Windows files have no
// such bit). Errors: 2 or 3 when the program is missing, 5, 193 when it is
// not a program Linux can run, 1317 for an unknown account.
bool CreateProcess(std::string_view application, std::string_view command_line,
                   const LaunchOptions& options, Process* process);

// The same for a program given by its real path (programs outside the
// host's drives, the tools' own helpers). Without a current host the child
// gets no VX_HOST_ROOT and no VX_ACCOUNT.
bool LaunchRealProgram(const std::string& real_program, std::string_view command_line,
                       const LaunchOptions& options, Process* process);

// The program file CreateProcess starts for the first item of a command
// line (see there). False with last error 2 or 3 when there is none.
bool SearchProgram(std::string_view name, std::string* real);

// The account of a process as a logon token (OpenProcessToken).
struct AccessToken {
  std::string account;
};
bool OpenProcessToken(const Process& process, AccessToken* token);

// CreateProcessAsUserA: CreateProcess running as the token's account.
bool CreateProcessAsUser(const AccessToken& token, std::string_view application,
                         std::string_view command_line, const LaunchOptions& options,
                         Process* process);

// GetUserProfileDirectoryA: the Windows path of the token's account's
// profile folder. False with 1317 when the host has no such account.
bool GetUserProfileDirectory(const AccessToken& token, std::string* profile);

// Splits a Windows command line into arguments as the C runtime does: the
// first item ends at the first blank outside double quotes and takes no
// escapes; later items honour quotes, 2n backslashes + quote -> n
// backslashes and a quote toggle, 2n+1 backslashes + quote -> n backslashes
// and a literal quote, "" inside quotes -> a literal quote.
std::vector<std::string> CommandLineToArgv(std::string_view command_line);
// Quotes one argument so that CommandLineToArgv gives it back unchanged.
std::string QuoteArgument(std::string_view argument);
// The command line of `args`, each quoted as needed, joined by blanks.
std::string ArgvToCommandLine(const std::vector<std::string>& args);

// GetCommandLineA: VX_COMMAND_LINE when the process was started with one,
// else its own arguments joined by ArgvToCommandLine.
std::string GetCommandLine();

// The real path of the running program (/proc/self/exe) and its folder.
std::string CurrentProgramPath();
std::string CurrentProgramFolder();

// The real path of the entry `name` of the real folder `folder`, matched
// without regard to case as Windows does (an exact match wins). False with
// last error 2 when there is none.
bool FindInRealFolder(const std::string& folder, std::string_view name, std::string* real);

}  // namespace platform
