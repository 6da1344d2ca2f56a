#include "platform/host.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ini_file.h"
#include "platform/strings.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

std::atomic<Host*> g_scoped_host{nullptr};

struct FolderDefault {
  int id;
  const char* path;  // %PROFILE% stands for the account's profile folder
};

// The classic per-machine and per-user folder layout.
constexpr FolderDefault kFolderDefaults[] = {
    {kFolderDesktop, "%PROFILE%\\Desktop"},
    {kFolderPersonal, "%PROFILE%\\My Documents"},
    {kFolderFavorites, "%PROFILE%\\Favorites"},
    {kFolderCommonPrograms, "C:\\Documents and Settings\\All Users\\Start Menu\\Programs"},
    {kFolderCommonDesktop, "C:\\Documents and Settings\\All Users\\Desktop"},
    {kFolderAppData, "%PROFILE%\\Application Data"},
    {kFolderLocalAppData, "%PROFILE%\\Local Settings\\Application Data"},
    {kFolderInternetCache, "%PROFILE%\\Local Settings\\Temporary Internet Files"},
    {kFolderCookies, "%PROFILE%\\Cookies"},
    {kFolderHistory, "%PROFILE%\\Local Settings\\History"},
    {kFolderCommonAppData, "C:\\Documents and Settings\\All Users\\Application Data"},
    {kFolderWindows, "C:\\WINDOWS"},
    {kFolderSystem, "C:\\WINDOWS\\system32"},
    {kFolderProgramFiles, "C:\\Program Files"},
    {kFolderMyPictures, "%PROFILE%\\My Documents\\My Pictures"},
    {kFolderProfile, "%PROFILE%"},
    {kFolderProgramFilesCommon, "C:\\Program Files\\Common Files"},
    {kFolderCommonDocuments, "C:\\Documents and Settings\\All Users\\Documents"},
    {kFolderCommonAdminTools,
     "C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Administrative Tools"},
    {kFolderAdminTools, "%PROFILE%\\Start Menu\\Programs\\Administrative Tools"},
};

constexpr const char* kProfileSubfolders[] = {
    "Application Data",
    "Cookies",
    "Desktop",
    "Favorites",
    "Local Settings\\Application Data",
    "Local Settings\\History",
    "Local Settings\\Temporary Internet Files",
    "My Documents\\My Pictures",
    "Start Menu\\Programs\\Administrative Tools",
};

constexpr const char* kMachineSid = "S-1-5-21-1004336348-1177238915-682003330";

std::string HexId(int id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%02X", id);
  return buf;
}

bool ParseDriveType(const std::string& text, DriveType* type) {
  static const std::pair<const char*, DriveType> kTypes[] = {
      {"fixed", DriveType::kFixed},     {"removable", DriveType::kRemovable},
      {"cdrom", DriveType::kCdrom},     {"remote", DriveType::kRemote},
      {"ramdisk", DriveType::kRamdisk}, {"unknown", DriveType::kUnknown},
  };
  for (const auto& [name, t] : kTypes) {
    if (EqualsIgnoreCase(text, name)) {
      *type = t;
      return true;
    }
  }
  return false;
}

// Real folder of a Windows path on one of `drives` (lexical, no lookup).
std::string RealFolder(const std::vector<Drive>& drives, const std::string& win) {
  if (win.size() < 2 || win[1] != ':') return {};
  for (const auto& d : drives) {
    if (d.letter == ToUpperAscii(win[0])) {
      std::string rest = win.substr(2);
      for (char& c : rest)
        if (c == '\\') c = '/';
      return d.real + rest;
    }
  }
  return {};
}

std::string ReadFileText(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

const char* DriveTypeName(DriveType type) {
  switch (type) {
    case DriveType::kFixed: return "fixed";
    case DriveType::kRemovable: return "removable";
    case DriveType::kCdrom: return "cdrom";
    case DriveType::kRemote: return "remote";
    case DriveType::kRamdisk: return "ramdisk";
    case DriveType::kNoRootDir: return "none";
    case DriveType::kUnknown: break;
  }
  return "unknown";
}

std::unique_ptr<Host> Host::Load(const std::string& root_in, std::string* error) {
  std::error_code ec;
  std::string root = fs::absolute(root_in, ec).lexically_normal().string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  bool ok = false;
  std::string text = ReadFileText(root + "/host.ini", &ok);
  if (!ok) {
    if (error) *error = root + "/host.ini: cannot be read (is this a host root? create one with 'vxhost create')";
    return nullptr;
  }
  IniFile ini;
  std::string why;
  if (!ini.Parse(text, &why)) {
    if (error) *error = root + "/host.ini: " + why;
    return nullptr;
  }
  std::unique_ptr<Host> h(new Host());
  h->root_ = root;
  h->name_ = ToUpperAscii(ini.Value("host", "name", "PC1"));
  h->windows_dir_ = ini.Value("host", "windows_dir", "C:\\WINDOWS");
  h->system_dir_ = ini.Value("host", "system_dir", h->windows_dir_ + "\\system32");
  h->temp_dir_ = ini.Value("host", "temp_dir", h->windows_dir_ + "\\Temp");
  h->short_date_ = ini.Value("host", "short_date", "M/d/yyyy");
  h->port_ = static_cast<uint16_t>(std::strtoul(ini.Value("host", "port", "0").c_str(), nullptr, 10));

  if (const IniSection* s = ini.Find("drives")) {
    for (const auto& [letter, value] : s->entries) {
      if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0]))) {
        if (error) *error = root + "/host.ini: drive '" + letter + "' is not a letter";
        return nullptr;
      }
      Drive d;
      d.letter = ToUpperAscii(letter[0]);
      auto parts = Split(value, ',');
      if (!ParseDriveType(TrimBlanks(parts[0]), &d.type)) {
        if (error) *error = root + "/host.ini: drive " + letter + ": unknown type '" + parts[0] + "'";
        return nullptr;
      }
      std::string real = parts.size() > 1 ? TrimBlanks(parts[1]) : std::string(1, d.letter);
      if (real.empty() || real[0] != '/') real = root + "/" + real;
      d.real = fs::path(real).lexically_normal().string();
      while (d.real.size() > 1 && d.real.back() == '/') d.real.pop_back();
      if (d.real == "/") d.real.clear();  // "C: -> /": paths append "/..." themselves
      h->drives_.push_back(d);
    }
  }
  if (h->drives_.empty()) h->drives_.push_back(Drive{'C', DriveType::kFixed, root + "/C"});

  for (const auto& f : kFolderDefaults) {
    std::string p = f.path;
    if (p.find("%PROFILE%") != std::string::npos)
      h->user_folders_[f.id] = p;
    else
      h->machine_folders_[f.id] = p;
  }
  h->machine_folders_[kFolderWindows] = h->windows_dir_;
  h->machine_folders_[kFolderSystem] = h->system_dir_;
  if (const IniSection* s = ini.Find("folders")) {
    for (const auto& [key, value] : s->entries) {
      int id = static_cast<int>(std::strtol(key.c_str(), nullptr, 0));
      h->machine_folders_.erase(id);
      h->user_folders_.erase(id);
      if (value.find("%PROFILE%") != std::string::npos)
        h->user_folders_[id] = value;
      else
        h->machine_folders_[id] = value;
    }
  }

  if (const IniSection* s = ini.Find("users")) {
    for (const auto& [name, value] : s->entries) {
      auto parts = Split(value, ',');
      UserAccount u;
      u.name = name;
      u.sid = TrimBlanks(parts[0]);
      u.profile = parts.size() > 1 ? TrimBlanks(parts[1])
                                   : "C:\\Documents and Settings\\" + name;
      if (parts.size() > 2) {
        for (auto& g : Split(parts[2], '+')) {
          std::string t = TrimBlanks(g);
          if (!t.empty()) u.groups.push_back(t);
        }
      }
      h->users_.push_back(u);
    }
  }
  h->system_account_ = UserAccount{"SYSTEM", "S-1-5-18",
                                   h->system_dir_ + "\\config\\systemprofile",
                                   {"Administrators"}};
  if (const IniSection* s = ini.Find("hosts")) {
    for (const auto& [name, addr] : s->entries) h->host_map_[ToUpperAscii(name)] = addr;
  }
  return h;
}

bool Host::Create(const std::string& root_in, const HostOptions& options, std::string* error) {
  std::error_code ec;
  std::string root = fs::absolute(root_in, ec).lexically_normal().string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  fs::create_directories(root, ec);
  if (ec) {
    if (error) *error = root + ": cannot create folder: " + ec.message();
    return false;
  }
  std::string ini_path = root + "/host.ini";
  if (!fs::exists(ini_path)) {
    IniFile ini;
    ini.Set("host", "name", ToUpperAscii(options.name));
    ini.Set("host", "port", std::to_string(options.port));
    ini.Set("host", "windows_dir", "C:\\WINDOWS");
    ini.Set("host", "system_dir", "C:\\WINDOWS\\system32");
    ini.Set("host", "temp_dir", "C:\\WINDOWS\\Temp");
    ini.Set("host", "short_date", "M/d/yyyy");
    std::vector<std::string> drives = options.drives;
    if (drives.empty()) drives.push_back("C=fixed");
    for (const auto& drive_entry : drives) {
      auto eq = drive_entry.find('=');
      std::string letter = ToUpperAscii(drive_entry.substr(0, eq));
      std::string rest = eq == std::string::npos ? "fixed" : drive_entry.substr(eq + 1);
      std::string type = rest, real = letter;
      if (auto colon = rest.find(':'); colon != std::string::npos) {
        type = rest.substr(0, colon);
        real = rest.substr(colon + 1);
      }
      DriveType t;
      if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0])) ||
          !ParseDriveType(type, &t)) {
        if (error) *error = "bad drive '" + drive_entry + "' (expected LETTER=TYPE or LETTER=TYPE:/real/folder)";
        return false;
      }
      ini.Set("drives", letter, type + ", " + real);
    }
    std::vector<std::string> users = options.users;
    if (users.empty()) users.push_back("Administrator:Administrators");
    int rid = 1000;
    for (const auto& user_entry : users) {
      auto colon = user_entry.find(':');
      std::string name = user_entry.substr(0, colon);
      std::string groups = colon == std::string::npos ? "" : user_entry.substr(colon + 1);
      if (groups.empty()) groups = EqualsIgnoreCase(name, "Administrator") ? "Administrators" : "Users";
      int user_rid = EqualsIgnoreCase(name, "Administrator") ? 500 : rid++;
      ini.Set("users", name,
              std::string(kMachineSid) + "-" + std::to_string(user_rid) +
                  ", C:\\Documents and Settings\\" + name + ", " + groups);
    }
    for (const auto& f : kFolderDefaults) ini.Set("folders", HexId(f.id), f.path);
    ini.Get("hosts");
    std::ofstream out(ini_path, std::ios::binary);
    out << "; Emulated PC. Drives map letters to real folders (relative to this root);\n"
           "; folders are the known-folder table (%PROFILE% = the account's profile);\n"
           "; users are name = SID, profile, groups; hosts maps remote names to address:port.\n"
        << ini.Serialize();
    if (!out) {
      if (error) *error = ini_path + ": cannot be written";
      return false;
    }
  }
  std::unique_ptr<Host> h = Load(root, error);
  if (!h) return false;

  std::vector<std::string> folders = {h->windows_dir_, h->system_dir_, h->temp_dir_,
                                      h->system_dir_ + "\\config\\systemprofile"};
  for (const auto& [id, path] : h->machine_folders_) folders.push_back(path);
  std::vector<const UserAccount*> accounts = {&h->system_account_};
  for (const auto& u : h->users_) accounts.push_back(&u);
  UserAccount all_users{"All Users", "", "C:\\Documents and Settings\\All Users", {}};
  accounts.push_back(&all_users);
  for (const UserAccount* u : accounts) {
    folders.push_back(u->profile);
    for (const char* sub : kProfileSubfolders) folders.push_back(u->profile + "\\" + sub);
  }
  for (const auto& d : h->drives_) fs::create_directories(d.real.empty() ? "/" : d.real, ec);
  for (const auto& win : folders) {
    std::string real = RealFolder(h->drives_, win);
    if (real.empty()) continue;
    fs::create_directories(real, ec);
    if (ec) {
      if (error) *error = real + ": cannot create folder: " + ec.message();
      return false;
    }
  }
  for (const char* dir : {"/run", "/run/pipe", "/run/obj", "/tls"}) {
    fs::create_directories(root + dir, ec);
    ::chmod((root + dir).c_str(), 0700);
  }
  return true;
}

Host* Host::Current() {
  if (Host* scoped = g_scoped_host.load()) return scoped;
  static Host* env_host = []() -> Host* {
    const char* root = std::getenv("VX_HOST_ROOT");
    if (!root || !*root) return nullptr;
    std::string error;
    return Load(root, &error).release();  // lives as long as the process
  }();
  return env_host;
}

const Drive* Host::FindDrive(char letter) const {
  for (const auto& d : drives_)
    if (d.letter == ToUpperAscii(letter)) return &d;
  return nullptr;
}

const UserAccount* Host::FindUser(const std::string& name) const {
  if (EqualsIgnoreCase(name, "SYSTEM")) return &system_account_;
  for (const auto& u : users_)
    if (EqualsIgnoreCase(u.name, name)) return &u;
  return nullptr;
}

const UserAccount* Host::FindUserBySid(const std::string& sid) const {
  if (sid == system_account_.sid) return &system_account_;
  for (const auto& u : users_)
    if (u.sid == sid) return &u;
  return nullptr;
}

std::string Host::FolderPath(int id, const UserAccount& account) const {
  if (id == kFolderFlagCreate) id = kFolderDesktop;
  if (auto it = machine_folders_.find(id); it != machine_folders_.end()) return it->second;
  if (auto it = user_folders_.find(id); it != user_folders_.end())
    return ReplaceAll(it->second, "%PROFILE%", account.profile);
  return {};
}

const UserAccount& Host::CurrentAccount() const {
  const char* name = std::getenv("VX_ACCOUNT");
  if (name && *name) {
    if (const UserAccount* u = FindUser(name)) return *u;
  }
  const char* channel = std::getenv("VX_SERVICE_CHANNEL");
  if ((channel && *channel) || users_.empty()) return system_account_;
  return users_.front();
}

Host::Extension* Host::GetOrCreateExtension(
    const std::string& key, const std::function<std::unique_ptr<Extension>()>& make) const {
  std::lock_guard<std::mutex> lock(ext_mu_);
  auto& slot = extensions_[key];
  if (!slot) slot = make();
  return slot.get();
}

ScopedHost::ScopedHost(Host* host) : previous_(g_scoped_host.exchange(host)) {}
ScopedHost::~ScopedHost() { g_scoped_host.store(previous_); }

}  // namespace platform
