// Where the process, shell and library tests find the programs they start,
// and small waits on what those programs leave behind.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/host.h"
#include "platform/process.h"

namespace platform::testing {

// <build>/tests/helpers (the test programs run from <build>/tests).
inline std::string HelperDir() { return CurrentProgramFolder() + "/helpers"; }
inline std::string TestProgram() { return HelperDir() + "/vx_testprog"; }
inline std::string TestLibrary(const std::string& variant) {
  return HelperDir() + "/" + variant + "/VxTestLib.dll";
}
// <build>/bin, where the suite's programs are built.
inline std::string BinDir() {
  const char* dir = std::getenv("VX_BIN_DIR");
  return dir ? dir : CurrentProgramFolder() + "/../bin";
}

inline void CopyFile(const std::string& from, const std::string& to) {
  std::filesystem::create_directories(std::filesystem::path(to).parent_path());
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

inline std::string ReadText(const std::string& real) {
  std::ifstream in(real, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Waits up to `seconds` for a file holding `marker` (a program in another
// process writing it); returns its text, empty on time-out.
inline std::string WaitForFile(const std::string& real, const std::string& marker = "",
                               int seconds = 10) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::exists(real)) {
      std::string text = ReadText(real);
      if (text.find(marker) != std::string::npos) return text;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

// Waits up to `seconds` for `real` to exist.
inline bool WaitForPath(const std::string& real, int seconds = 10) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!std::filesystem::exists(real)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Ends every process still running on `host` (what a failed test left).
inline void StopHostProcesses(const Host& host) {
  std::vector<ProcessEntry> list;
  if (!ListProcesses(host, &list)) return;
  ScopedHost scope(const_cast<Host*>(&host));
  for (const auto& e : list) {
    Process p = Process::Open(e.pid);
    if (p.Terminate(0)) p.WaitForExit(5000);
  }
}

}  // namespace platform::testing
