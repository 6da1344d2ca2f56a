// A library for the loader tests. DllUnregisterServer and DllRegisterServer
// leave a file beside the library ("<library>.unregistered" or
// ".registered") so that a test sees the call happen in another process.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

int32_t Mark(const char* suffix) {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&Mark), &info) || !info.dli_fname) return 1;
  std::string path = std::string(info.dli_fname) + suffix;
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return 1;
  std::fclose(f);
  return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const char* VxTestLibraryOrigin() { return VX_TESTLIB_ORIGIN; }

__attribute__((visibility("default"))) int32_t DllUnregisterServer() { return Mark(".unregistered"); }

__attribute__((visibility("default"))) int32_t DllRegisterServer() { return Mark(".registered"); }

}
