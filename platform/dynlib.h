// Libraries loaded at run time (LoadLibraryA, GetProcAddress, FreeLibrary).
//
// A library named without a folder ("Imprinter.dll") is looked for, name
// compared without regard to case, in the folder of the running program
// first, then in the host's system folder and Windows folder, and last by
// the dynamic loader's own search. A name without an extension gets
// ".dll", as on Windows. A name with a folder is a Windows path of the
// host (or, without a host, a real path).
//
// Loading and freeing count references as Windows does: a library stays
// loaded until every LoadLibrary has its FreeLibrary.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Opaque module handle; null means none.
using ModuleHandle = void*;

// LoadLibraryA. Null with last error 126 when no such library is found or
// it cannot be loaded (a missing dependency), 193 when the file found is
// not a library this system can load.
ModuleHandle LoadLibrary(std::string_view name);

// GetProcAddress. Null with last error 127 when the library does not export
// `name`, 6 for a null module.
void* GetProcAddress(ModuleHandle module, const char* name);

// FreeLibrary. False with last error 6 for a null or unknown module.
bool FreeLibrary(ModuleHandle module);

// The real path a loaded module came from (GetModuleFileNameA's stand-in,
// as a real path). False with 6 for an unknown module.
bool GetModuleRealPath(ModuleHandle module, std::string* real);

// Frees its module when it goes out of scope.
class ScopedLibrary {
 public:
  explicit ScopedLibrary(std::string_view name) : module_(LoadLibrary(name)) {}
  ~ScopedLibrary() {
    if (module_) FreeLibrary(module_);
  }
  ScopedLibrary(const ScopedLibrary&) = delete;
  ScopedLibrary& operator=(const ScopedLibrary&) = delete;

  ModuleHandle get() const { return module_; }
  explicit operator bool() const { return module_ != nullptr; }
  template <typename Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(GetProcAddress(module_, name));
  }

 private:
  ModuleHandle module_;
};

}  // namespace platform
