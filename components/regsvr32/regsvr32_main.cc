// regsvr32.exe: calls a library's DllRegisterServer, or DllUnregisterServer
// with /u, as the shell's registration tool does.
//
//   regsvr32 [/s] [/u] LIBRARY...
//
// Options take "/" or "-" in any letter case: /s silent (no messages), /u
// unregister. Each LIBRARY is a Windows path of the current host (a real
// path without one). A path that was split at its blanks because the
// caller did not quote it is put back together when the pieces do not name
// files on their own. Exit code 0 when every call returned success, else 1.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "platform/error.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/strings.h"

namespace {

using ServerFn = int32_t (*)();  // returns an HRESULT, 0 is success

bool Exists(const std::string& path) {
  std::string real = path;
  if (platform::Host::Current() && !platform::ResolvePath(path, &real)) return false;
  struct stat st;
  return ::stat(real.c_str(), &st) == 0;
}

// Rejoins the words of an unquoted path that holds blanks.
std::vector<std::string> JoinSplitPaths(const std::vector<std::string>& words) {
  std::vector<std::string> paths;
  size_t i = 0;
  while (i < words.size()) {
    std::string path = words[i];
    size_t next = i + 1;
    if (!Exists(path)) {
      std::string joined = path;
      for (size_t j = i + 1; j < words.size(); ++j) {
        joined += " " + words[j];
        if (Exists(joined)) {
          path = joined;
          next = j + 1;
          break;
        }
      }
    }
    paths.push_back(path);
    i = next;
  }
  return paths;
}

int Register(const std::string& path, bool unregister, bool silent) {
  const char* export_name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  platform::ModuleHandle module = platform::LoadLibrary(path);
  if (!module) {
    if (!silent)
      std::fprintf(stderr, "regsvr32: the module \"%s\" failed to load: %s", path.c_str(),
                   platform::ErrorMessage(platform::GetLastError()).c_str());
    return 1;
  }
  auto fn = reinterpret_cast<ServerFn>(platform::GetProcAddress(module, export_name));
  int rc = 1;
  if (!fn) {
    if (!silent)
      std::fprintf(stderr, "regsvr32: the module \"%s\" has no entry point %s\n", path.c_str(),
                   export_name);
  } else {
    int32_t hr = fn();
    if (hr == 0) {
      rc = 0;
      if (!silent) std::printf("%s in %s succeeded.\n", export_name, path.c_str());
    } else if (!silent) {
      std::fprintf(stderr, "regsvr32: %s in %s failed with 0x%08X\n", export_name, path.c_str(),
                   static_cast<uint32_t>(hr));
    }
  }
  platform::FreeLibrary(module);
  return rc;
}

}  // namespace

int main() {
  std::vector<std::string> args = platform::CommandLineToArgv(platform::GetCommandLine());
  bool silent = false, unregister = false;
  std::vector<std::string> words;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() >= 2 && (a[0] == '/' || a[0] == '-')) {
      std::string opt = platform::ToLowerAscii(a.substr(1));
      if (opt == "s") {
        silent = true;
      } else if (opt == "u") {
        unregister = true;
      } else {
        if (!silent) std::fprintf(stderr, "regsvr32: unrecognized flag: %s\n", a.c_str());
        return 1;
      }
    } else if (!a.empty()) {
      words.push_back(a);
    }
  }
  if (words.empty()) {
    if (!silent) std::fprintf(stderr, "usage: regsvr32 [/s] [/u] LIBRARY...\n");
    return 1;
  }
  int rc = 0;
  for (const auto& path : JoinSplitPaths(words))
    if (Register(path, unregister, silent) != 0) rc = 1;
  return rc;
}
