// The emulated PC ("host") that a program runs on.
//
// A host is a folder, its root, holding host.ini (name, drives, folders,
// users, locale, network), registry.sqlite, accounts, tls/, run/ and one
// folder per drive. Programs find their host through VX_HOST_ROOT; tests
// and tools may switch the current host explicitly with ScopedHost.
//
// Windows paths are stored as text with backslashes ("C:\WINDOWS\system32");
// only the path resolver (path.h) turns them into real paths.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

enum class DriveType : uint32_t {
  kUnknown = 0,
  kNoRootDir = 1,
  kRemovable = 2,
  kFixed = 3,
  kRemote = 4,
  kCdrom = 5,
  kRamdisk = 6,
};

struct Drive {
  char letter = 'C';           // upper case
  DriveType type = DriveType::kFixed;
  std::string real;            // absolute real folder the drive's root maps to
};

struct UserAccount {
  std::string name;            // "Administrator"
  std::string sid;             // "S-1-5-21-...-500"
  std::string profile;         // Windows path of the profile folder
  std::vector<std::string> groups;  // "Administrators", "Users", ...
};

// Folder ids asked for by the programs (the CSIDL numbers).
enum FolderId : int {
  kFolderDesktop = 0x00,
  kFolderPersonal = 0x05,
  kFolderFavorites = 0x06,
  kFolderCommonPrograms = 0x17,
  kFolderCommonDesktop = 0x19,
  kFolderAppData = 0x1A,
  kFolderLocalAppData = 0x1C,
  kFolderInternetCache = 0x20,
  kFolderCookies = 0x21,
  kFolderHistory = 0x22,
  kFolderCommonAppData = 0x23,
  kFolderWindows = 0x24,
  kFolderSystem = 0x25,
  kFolderProgramFiles = 0x26,
  kFolderMyPictures = 0x27,
  kFolderProfile = 0x28,
  kFolderProgramFilesCommon = 0x2B,
  kFolderCommonDocuments = 0x2E,
  kFolderCommonAdminTools = 0x2F,
  kFolderAdminTools = 0x30,
  kFolderFlagCreate = 0x8000,
};

// Options for creating a new host root (vxhost create, the lab, tests).
struct HostOptions {
  std::string name = "PC1";
  // Drives as "C=fixed" or "D=fixed:/real/folder"; empty means C: only.
  std::vector<std::string> drives;
  // Users as "name" or "name:group1+group2"; empty means one Administrator.
  std::vector<std::string> users;
  uint16_t port = 0;           // remote access port, 0 = not listening
};

class Host {
 public:
  // Loads the host at `root` (which must hold host.ini). Returns null and
  // fills `error` with a one-line reason when it cannot.
  static std::unique_ptr<Host> Load(const std::string& root, std::string* error);

  // Creates a new host root with defaults adjusted by `options`: host.ini,
  // the drive folders with the Windows folder tree, the profiles of every
  // user. Existing files are kept; returns false with a reason on failure.
  static bool Create(const std::string& root, const HostOptions& options,
                     std::string* error);

  // The host of this process: the one set by ScopedHost, else the one named
  // by VX_HOST_ROOT (loaded once). Null when neither exists.
  static Host* Current();

  const std::string& root() const { return root_; }
  const std::string& computer_name() const { return name_; }
  const std::vector<Drive>& drives() const { return drives_; }
  const Drive* FindDrive(char letter) const;
  const std::vector<UserAccount>& users() const { return users_; }
  const UserAccount* FindUser(const std::string& name) const;  // case-insensitive
  const UserAccount* FindUserBySid(const std::string& sid) const;

  const std::string& windows_dir() const { return windows_dir_; }
  const std::string& system_dir() const { return system_dir_; }
  const std::string& temp_dir() const { return temp_dir_; }
  const std::string& short_date_format() const { return short_date_; }
  uint16_t port() const { return port_; }

  // Remote host map of this host's host.ini: name -> "address:port".
  const std::map<std::string, std::string>& host_map() const { return host_map_; }

  // The folder for `id` as seen by `account` (per-user folders resolve
  // inside its profile). Empty when the id is unknown.
  std::string FolderPath(int id, const UserAccount& account) const;

  // The account this process runs under: VX_ACCOUNT if set (a user name or
  // "SYSTEM"), else SYSTEM for services started by the host's service
  // manager, else the host's first user.
  const UserAccount& CurrentAccount() const;
  // The built-in service account (LocalSystem, S-1-5-18).
  const UserAccount& SystemAccount() const { return system_account_; }

  // Real paths of the host's own places.
  std::string RunDir() const { return root_ + "/run"; }
  std::string PipeDir() const { return root_ + "/run/pipe"; }
  std::string ObjectDir() const { return root_ + "/run/obj"; }
  std::string RegistryFile() const { return root_ + "/registry.sqlite"; }
  std::string AccountsFile() const { return root_ + "/accounts"; }
  std::string TlsDir() const { return root_ + "/tls"; }

  // Per-host state that other modules attach lazily (the registry
  // connection, for one). Created on first use, destroyed with the host.
  struct Extension {
    virtual ~Extension() = default;
  };
  // Returns the extension under `key`, creating it with `make` the first
  // time (under a lock, so concurrent first uses create it once).
  Extension* GetOrCreateExtension(const std::string& key,
                                  const std::function<std::unique_ptr<Extension>()>& make) const;

 private:
  Host() = default;

  std::string root_;
  std::string name_;
  std::vector<Drive> drives_;
  std::vector<UserAccount> users_;
  UserAccount system_account_;
  std::map<int, std::string> machine_folders_;  // per-machine folders
  std::map<int, std::string> user_folders_;     // relative to a profile
  std::string windows_dir_, system_dir_, temp_dir_, short_date_;
  uint16_t port_ = 0;
  std::map<std::string, std::string> host_map_;

  mutable std::mutex ext_mu_;
  mutable std::map<std::string, std::unique_ptr<Extension>> extensions_;
};

// Makes `host` the current host of this process for the object's lifetime
// (tests and tools that handle more than one host). Not thread-scoped.
class ScopedHost {
 public:
  explicit ScopedHost(Host* host);
  ~ScopedHost();
  ScopedHost(const ScopedHost&) = delete;
  ScopedHost& operator=(const ScopedHost&) = delete;

 private:
  Host* previous_;
};

// Text of a drive type as host.ini writes it ("fixed", "removable", ...).
const char* DriveTypeName(DriveType type);

}  // namespace platform
