#include "VXAdmin/shell/app_settings.h"

#include <mutex>

#include "VXAdmin/shell/status.h"
#include "platform/error.h"
#include "platform/registry.h"

namespace vxadmin {
namespace {

std::mutex g_mu;
AppSettings g_settings;

constexpr const char* kNoRights =
    "Currently logged in user does not have rights to read registry entries! Run Host Audit for a brief report!";
constexpr const char* kNoRightsLine =
    "Currently logged in user does not have rights to read registry entries! Double click here to run Host Audit!";
constexpr const char* kNoPath = "Installation path not found! Please reinstall the setup!";

}  // namespace

AppSettings ReadStartupSettings() {
  AppSettings s;
  platform::RegKey key;
  if (key.Open(platform::RootKey::kLocalMachine, kSettingsKey, platform::kKeyRead | platform::kKeyWrite) != 0)
    return s;
  uint32_t dword = 0;
  if (key.ReadDword("AutoUpdate", &dword) == 0) s.auto_update = dword == 1;
  if (key.ReadDword("AskPassword", &dword) == 0) s.ask_password = dword != 0;
  key.ReadString("ServerVersionNo", &s.product_version);
  key.ReadString("DatabaseVersionNo", &s.database_version);
  return s;
}

const AppSettings& Settings() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_settings;
}

void SetSettings(const AppSettings& settings) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_settings = settings;
}

std::string GetInstalledPath() {
  platform::RegKey key;
  uint32_t rc = key.Open(platform::RootKey::kLocalMachine, kSettingsKey,
                         platform::kKeyRead | platform::kKeyWrite);
  if (rc == platform::kErrorAccessDenied) {
    ShowMessage(kNoRights);
    return {};
  }
  std::string path;
  if (rc == 0) rc = key.ReadString("InstalledPath", &path);
  if (rc != 0 && rc != platform::kErrorFileNotFound) {
    if (HasMainWindow())
      AddStatusLine(kNoRightsLine);
    else
      ShowMessage(kNoRights);
    return {};
  }
  if (path.size() > 260) path.resize(260);
  if (path.empty()) {
    if (HasMainWindow())
      AddStatusLine(kNoPath);
    else
      ShowMessage(kNoPath);
  }
  return path;
}

}  // namespace vxadmin
