#include "platform/system_info.h"

#include "platform/strings.h"

namespace platform {

std::string GetComputerName() {
  Host* h = Host::Current();
  return h ? h->computer_name() : std::string();
}

std::string GetSystemDirectory() {
  Host* h = Host::Current();
  return h ? h->system_dir() : std::string("C:\\WINDOWS\\system32");
}

std::string GetWindowsDirectory() {
  Host* h = Host::Current();
  return h ? h->windows_dir() : std::string("C:\\WINDOWS");
}

std::string GetTempPath() {
  Host* h = Host::Current();
  std::string t = h ? h->temp_dir() : std::string("C:\\WINDOWS\\Temp");
  if (t.empty() || t.back() != '\\') t += '\\';
  return t;
}

std::vector<std::string> GetLogicalDrives() {
  std::vector<std::string> out;
  Host* h = Host::Current();
  if (!h) return out;
  for (const auto& d : h->drives()) out.push_back(std::string(1, d.letter) + ":\\");
  return out;
}

DriveType GetDriveType(const std::string& root) {
  Host* h = Host::Current();
  if (!h || root.size() < 2 || root[1] != ':') return DriveType::kNoRootDir;
  const Drive* d = h->FindDrive(root[0]);
  return d ? d->type : DriveType::kNoRootDir;
}

}  // namespace platform
