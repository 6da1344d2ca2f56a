#include "platform/testing/temp_host.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace platform::testing {
namespace fs = std::filesystem;

namespace {
std::string MakeTempDir() {
  std::string tmpl = (fs::temp_directory_path() / "vxtest-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  return tmpl;
}
bool KeepTemp() { return std::getenv("VX_KEEP_TEMP") != nullptr; }
}  // namespace

TempDir::TempDir() : path_(MakeTempDir()) {}
TempDir::~TempDir() {
  std::error_code ec;
  if (!KeepTemp()) fs::remove_all(path_, ec);
}

TempHost::TempHost(const HostOptions& options) : root_(MakeTempDir()) {
  std::string error;
  if (!Host::Create(root_, options, &error)) throw std::runtime_error("host create: " + error);
  host_ = Host::Load(root_, &error);
  if (!host_) throw std::runtime_error("host load: " + error);
  scope_ = std::make_unique<ScopedHost>(host_.get());
}

TempHost::~TempHost() {
  scope_.reset();
  host_.reset();
  std::error_code ec;
  if (!KeepTemp()) fs::remove_all(root_, ec);
}

std::string TempHost::Real(const std::string& windows_path) const {
  const Drive* d = host_->FindDrive(windows_path.at(0));
  if (!d) throw std::runtime_error("no drive for " + windows_path);
  std::string rest = windows_path.substr(2);
  for (char& c : rest)
    if (c == '\\') c = '/';
  return d->real + rest;
}

void TempHost::WriteFile(const std::string& windows_path, const std::string& content) const {
  std::string real = Real(windows_path);
  fs::create_directories(fs::path(real).parent_path());
  std::ofstream out(real, std::ios::binary);
  out << content;
}

}  // namespace platform::testing
