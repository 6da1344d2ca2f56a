#include "platform/dynlib.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/process.h"

namespace platform {
namespace {

struct Loaded {
  int references = 0;
  std::string real;
};

std::mutex g_mu;
std::map<void*, Loaded>& Modules() {
  static auto* modules = new std::map<void*, Loaded>;
  return *modules;
}

bool IsRegularFile(const std::string& real) {
  struct stat st;
  return ::stat(real.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsElf(const std::string& real) {
  int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char magic[4] = {};
  ssize_t n = ::read(fd, magic, sizeof magic);
  ::close(fd);
  return n == 4 && magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

// Windows appends ".dll" to a name without an extension; a trailing dot
// says "no extension" and is dropped.
std::string WithExtension(std::string_view name) {
  std::string out(name);
  size_t sep = out.find_last_of("\\/");
  size_t dot = out.rfind('.');
  if (!out.empty() && out.back() == '.') {
    out.pop_back();
  } else if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) {
    out += ".dll";
  }
  return out;
}

// The real file for `name`, or empty to leave the search to the loader.
bool FindLibraryFile(const std::string& name, std::string* real, bool* loader_search) {
  Host* host = Host::Current();
  if (name.find_first_of("\\/:") != std::string::npos) {
    std::string r;
    if (host) {
      if (!ResolvePath(name, &r)) return Fail(kErrorModNotFound);
    } else {
      r = name;
    }
    if (!IsRegularFile(r)) return Fail(kErrorModNotFound);
    *real = r;
    return true;
  }
  std::string r;
  if (FindInRealFolder(CurrentProgramFolder(), name, &r) && IsRegularFile(r)) {
    *real = r;
    return true;
  }
  if (host) {
    for (const std::string& folder : {host->system_dir(), host->windows_dir()}) {
      if (ResolvePath(folder + "\\" + name, &r) && IsRegularFile(r)) {
        *real = r;
        return true;
      }
    }
  }
  *loader_search = true;
  return true;
}

}  // namespace

ModuleHandle LoadLibrary(std::string_view name_in) {
  if (name_in.empty()) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  std::string name = WithExtension(name_in);
  std::string real;
  bool loader_search = false;
  if (!FindLibraryFile(name, &real, &loader_search)) return nullptr;
  void* handle = ::dlopen(loader_search ? name.c_str() : real.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    SetLastError(!loader_search && !IsElf(real) ? kErrorBadExeFormat : kErrorModNotFound);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_mu);
  Loaded& entry = Modules()[handle];
  ++entry.references;
  if (entry.real.empty()) entry.real = loader_search ? name : real;
  return handle;
}

void* GetProcAddress(ModuleHandle module, const char* name) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (!module || !Modules().count(module)) {
      SetLastError(kErrorInvalidHandle);
      return nullptr;
    }
  }
  if (!name || !*name) {
    SetLastError(kErrorProcNotFound);
    return nullptr;
  }
  void* fn = ::dlsym(module, name);
  if (!fn) SetLastError(kErrorProcNotFound);
  return fn;
}

bool FreeLibrary(ModuleHandle module) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = Modules().find(module);
  if (!module || it == Modules().end()) return Fail(kErrorInvalidHandle);
  if (--it->second.references == 0) Modules().erase(it);
  ::dlclose(module);
  return true;
}

bool GetModuleRealPath(ModuleHandle module, std::string* real) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = Modules().find(module);
  if (!module || it == Modules().end()) return Fail(kErrorInvalidHandle);
  *real = it->second.real;
  return true;
}

}  // namespace platform
