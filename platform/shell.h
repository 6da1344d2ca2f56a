// The shell: opening files the way Explorer does, and the known folders.
//
// ShellExecute "open" starts programs itself: a file ending in ".exe" or
// ".com", or any ELF executable, is started with CreateProcess and the
// given parameters, without waiting for it, detached from the caller (its
// own session, standard streams on /dev/null), so that it never holds the
// caller's terminal or pipes. Other files and folders are
// handed to the desktop's opener (xdg-open on the real path); where the
// machine has none, the call fails as Windows does for a file type without
// an associated program (31, last error 1155).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// ShellExecuteA's results: greater than 32 on success, else one of these.
enum ShellResult : uint32_t {
  kShellErrorFileNotFound = 2,   // SE_ERR_FNF
  kShellErrorPathNotFound = 3,   // SE_ERR_PNF
  kShellErrorAccessDenied = 5,   // SE_ERR_ACCESSDENIED
  kShellErrorOutOfMemory = 8,    // SE_ERR_OOM
  kShellErrorBadFormat = 11,     // ERROR_BAD_FORMAT
  kShellErrorNoAssociation = 31, // SE_ERR_NOASSOC
  kShellOk = 42,                 // any value above 32 means success
};

// ShellExecuteA(no window, verb, file, parameters, directory, show). The
// verb is "open" (any letter case) or empty; "explore" is accepted for
// folders. `file` is a Windows path, or a bare program name looked for in
// the calling program's folder, the current folder, the system folder and
// the Windows folder ("regsvr32.exe"). `directory` (a Windows path, may be
// empty) is the started program's working folder. The show mode is
// accepted and ignored: nothing here has a window. Failure results also
// set the last error (2, 3, 5, 193, 1155).
uint32_t ShellExecute(std::string_view verb, std::string_view file, std::string_view parameters,
                      std::string_view directory, int show);

// SHGetFolderPathA: the Windows path of the known folder `id` (FolderId,
// optionally with kFolderFlagCreate, which creates it when missing) for
// `account` (empty: the caller's account). False with last error 87 for an
// unknown id or account, 3 when it cannot be created.
bool GetFolderPath(int id, std::string_view account, std::string* path);

}  // namespace platform
