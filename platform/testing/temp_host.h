// Test support: a fresh emulated host in a temporary folder, made current
// for the object's lifetime and removed afterwards (unless VX_KEEP_TEMP is
// set, for looking at a failed test's files).
#pragma once

#include <memory>
#include <string>

#include "platform/host.h"

namespace platform::testing {

class TempHost {
 public:
  explicit TempHost(const HostOptions& options = HostOptions());
  ~TempHost();
  TempHost(const TempHost&) = delete;
  TempHost& operator=(const TempHost&) = delete;

  Host& host() { return *host_; }
  const std::string& root() const { return root_; }
  // Real path of a Windows path on this host (lexical, drive map only).
  std::string Real(const std::string& windows_path) const;
  // Writes a real file at a Windows path, creating its folders.
  void WriteFile(const std::string& windows_path, const std::string& content) const;

 private:
  std::string root_;
  std::unique_ptr<Host> host_;
  std::unique_ptr<ScopedHost> scope_;
};

// A fresh temporary folder, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace platform::testing
