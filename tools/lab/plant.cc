#include "tools/lab/plant.h"

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "VXAgent/engine/cookie_items.h"
#include "VXAgent/engine/path_expander.h"
#include "VXAgent/engine/registry_items.h"
#include "VXAgent/engine/spy_item.h"
#include "VXAgent/engine/trace_syntax.h"
#include "common/rc4.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace lab {
namespace {

using platform::EqualsIgnoreCase;

constexpr char kPlantedText[] = "planted";
constexpr char kUserSidMark[] = "S-1-5-21";

bool HasWildcard(const std::string& path) { return path.find_first_of("*?") != std::string::npos; }

std::string LastComponent(const std::string& path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Creates `path` and every missing folder above it.
bool EnsureFolder(const std::string& path) {
  if (platform::PathIsDirectory(path)) return true;
  size_t pos = path.find('\\');  // after the drive ("C:")
  while (pos != std::string::npos) {
    size_t next = path.find('\\', pos + 1);
    std::string prefix = path.substr(0, next);
    if (!prefix.empty() && prefix.back() != '\\' && !platform::PathIsDirectory(prefix))
      platform::CreateDirectory(prefix);
    pos = next;
  }
  return platform::PathIsDirectory(path);
}

bool WriteFileAt(const std::string& path, const std::string& content) {
  std::string parent = ParentOf(path);
  if (!parent.empty() && !EnsureFolder(parent)) return false;
  if (platform::PathIsDirectory(path)) return false;
  return platform::WriteStringToFile(path, content);
}

std::string ReadRealFile(const std::string& real_path, bool* ok) {
  std::ifstream in(real_path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *ok = static_cast<bool>(in) || in.eof();
  if (!in.is_open()) *ok = false;
  return buffer.str();
}

// One registry value as planted: which data traces rely on its content.
struct PlantedValue {
  std::vector<size_t> data_traces;  // indices into PlantResult::traces
};

class Planter {
 public:
  Planter(const PlantOptions& options, PlantResult* result, std::string* error)
      : options_(options), result_(result), error_(error) {}

  bool Prepare() {
    host_ = platform::Host::Current();
    if (!host_) return Fail("no current host");
    if (!options_.standin.empty()) {
      bool ok = false;
      standin_ = ReadRealFile(options_.standin, &ok);
      if (!ok || standin_.empty()) return Fail(options_.standin + ": cannot read the stand-in program");
    }
    local_sid_ = engine::FindLocalUserSid();
    if (local_sid_.empty())
      for (const auto& user : host_->users())
        if (user.sid.find(kUserSidMark) != std::string::npos) {
          local_sid_ = user.sid;
          break;
        }
    return true;
  }

  bool PlantSpy(const std::string& name, const engine::CSpy& spy) {
    for (const auto& definition : spy.folders)
      for (const auto& path : Targets(definition))
        if (!PlantFolder(name, definition, path)) return false;
    for (const auto& definition : spy.files)
      for (const auto& path : Targets(definition))
        if (!PlantFile(name, definition, path)) return false;
    for (const auto& site : spy.cookies)
      if (!PlantCookie(name, site)) return false;
    for (const auto& definition : spy.regKeys)
      if (!PlantKey(name, definition)) return false;
    for (const auto& definition : spy.regValues)
      if (!PlantValue(name, definition)) return false;
    for (const auto& definition : spy.regData)
      if (!PlantData(name, definition)) return false;
    // Processes last, once their folders and files are there. The scan
    // seeks the spy's program files as processes too.
    std::vector<std::string> images;
    for (const auto& definition : spy.processes) images.push_back(Expanded(definition));
    for (const auto& definition : spy.files) {
      std::string path = Expanded(definition);
      if (engine::IsProgramPath(path)) images.push_back(path);
    }
    for (const auto& image : images)
      if (!PlantProcess(name, image)) return false;
    return true;
  }

  // Drops the data traces whose values another spy overwrote.
  void Finish() {
    std::vector<PlantedTrace> kept;
    for (size_t i = 0; i < result_->traces.size(); ++i)
      if (!dropped_.count(i)) kept.push_back(std::move(result_->traces[i]));
    result_->traces = std::move(kept);
  }

 private:
  bool Fail(const std::string& message) {
    if (error_) *error_ = message;
    return false;
  }
  // Notes a definition that is not planted; planting goes on.
  bool Skip(const char* type, const std::string& spy, const std::string& definition,
            const std::string& reason) {
    result_->skipped.push_back({type, spy, definition, reason});
    return true;
  }
  void Planted(const char* type, const std::string& spy, const std::string& trace) {
    result_->traces.push_back({type, spy, trace});
  }

  std::string Expanded(const std::string& definition) const {
    std::string path = definition;
    expander_.Expand(path);
    return path;
  }

  // The paths of a file or folder definition: one per user of the host
  // for "%PROFILE%", else the expanded definition.
  std::vector<std::string> Targets(const std::string& definition) const {
    if (definition.find("%PROFILE%") == std::string::npos) return {Expanded(definition)};
    std::vector<std::string> paths;
    for (const auto& user : host_->users())
      paths.push_back(Expanded(platform::ReplaceAll(definition, "%PROFILE%", user.profile)));
    return paths;
  }

  bool PlantFolder(const std::string& spy, const std::string& definition, const std::string& path) {
    if (HasWildcard(path) || path.find(':') == std::string::npos)
      return Skip(engine::kFolderType, spy, definition, "not a folder path");
    if (!EnsureFolder(path)) return Fail(path + ": cannot create the folder");
    Planted(engine::kFolderType, spy, path);
    return true;
  }

  bool PlantFile(const std::string& spy, const std::string& definition, const std::string& path) {
    if (HasWildcard(path) || path.find(':') == std::string::npos)
      return Skip(engine::kFileType, spy, definition, "not a file path");
    bool program = engine::IsProgramPath(path) && !standin_.empty();
    std::string content = program ? standin_ : std::string(kPlantedText) + " " + spy + "\r\n";
    if (!WriteFileAt(path, content)) return Fail(path + ": cannot write the file");
    Planted(engine::kFileType, spy, path);
    return true;
  }

  bool PlantCookie(const std::string& spy, const std::string& site) {
    std::string key = engine::CookieSiteKey(site);
    if (key.empty() || key.find_first_of("\\/:*?\"<>|@[") != std::string::npos)
      return Skip(engine::kCookieType, spy, site, "no cookie file name for this site");
    const std::string profiles = engine::CookieProfilesFolder();
    std::set<std::string> planted;  // profile folder names, upper case
    for (const auto& user : host_->users()) {
      if (!EqualsIgnoreCase(ParentOf(user.profile), profiles)) continue;
      std::string profile = LastComponent(user.profile);
      std::string file = profiles + "\\" + profile + "\\Cookies\\" + platform::ToLowerAscii(user.name) +
                         "@" + platform::ToLowerAscii(key) + "[1].txt";
      if (!WriteFileAt(file, site + "\n" + kPlantedText + "\n" + site + "/\n")) {
        return Fail(file + ": cannot write the cookie");
      }
      planted.insert(platform::ToUpperAscii(profile));
    }
    if (planted.empty()) return Skip(engine::kCookieType, spy, site, "no user profile");
    // The scan lists the profiles in the order their folder lists them.
    std::string trace = site + "$";
    platform::FindFile find;
    platform::FindData data;
    if (find.First(profiles + "\\*", &data)) {
      do {
        if (planted.count(platform::ToUpperAscii(data.name))) trace += data.name + ",";
      } while (find.Next(&data));
    }
    Planted(engine::kCookieType, spy, trace);
    return true;
  }

  bool PlantKey(const std::string& spy, const std::string& definition) {
    std::string key = Expanded(definition);
    if (key.find(kUserSidMark) != std::string::npos) {
      if (local_sid_.empty()) return Skip(engine::kRegKeyType, spy, definition, "no user SID");
      key = engine::RewriteUserSid(key, local_sid_);
    }
    engine::RegPath path = engine::ParseRegPath(key);
    if (!path.hive || path.subkey.empty())
      return Skip(engine::kRegKeyType, spy, definition, "no known hive");
    platform::RegKey created;
    if (uint32_t rc = created.Create(*path.hive, path.subkey, platform::kKeyAllAccess))
      return Fail(key + ": cannot create the key (error " + std::to_string(rc) + ")");
    Planted(engine::kRegKeyType, spy, key);
    return true;
  }

  bool PlantValue(const std::string& spy, const std::string& definition) {
    engine::RegPath path = engine::ParseRegPath(definition);
    if (!path.hive) return Skip(engine::kRegValueType, spy, definition, "no known hive");
    engine::RegValueName name = engine::ParseRegValueName(path.subkey);
    platform::RegKey key;
    if (uint32_t rc = key.Create(*path.hive, name.key_path, platform::kKeyAllAccess))
      return Fail(definition + ": cannot create the key (error " + std::to_string(rc) + ")");
    // Presence is all a value trace needs: a value that is there already
    // (another spy's data) is kept as it is.
    uint32_t type = 0;
    if (key.QueryValue(name.value_name, &type, nullptr, nullptr) != 0 &&
        key.WriteString(name.value_name, kPlantedText) != 0)
      return Fail(definition + ": cannot write the value");
    Planted(engine::kRegValueType, spy, definition);
    return true;
  }

  static std::string ValueId(const engine::RegPath& path, const std::string& key,
                             const std::string& value) {
    platform::RegKey open;
    // Keys of one value compare by their stored path, so that HKCR and
    // HKLM\SOFTWARE\Classes name the same value.
    std::string key_path = open.Open(*path.hive, key, platform::kKeyQueryValue) == 0
                               ? open.Path()
                               : std::to_string(static_cast<uint32_t>(*path.hive)) + "\\" + key;
    return platform::ToUpperAscii(key_path + "\\\\" + value);
  }

  bool PlantData(const std::string& spy, const std::string& definition) {
    std::string expanded = Expanded(definition);
    engine::RegPath path = engine::ParseRegPath(expanded);
    if (!path.hive || expanded.find('"') == std::string::npos)
      return Skip(engine::kRegDataType, spy, definition, "no known hive or no quoted data");
    engine::RegDataParts parts = engine::ParseRegData(path.subkey, true);
    std::string value_name = parts.value_name == "(Default)" ? std::string() : parts.value_name;
    platform::RegKey key;
    if (uint32_t rc = key.Create(*path.hive, parts.key_path, platform::kKeyAllAccess))
      return Fail(definition + ": cannot create the key (error " + std::to_string(rc) + ")");
    const std::string id = ValueId(path, parts.key_path, value_name);
    std::string existing;
    bool has_text = key.ReadString(value_name, &existing) == 0 && !existing.empty();
    // Empty expected data matches any non-empty text: keep what is there.
    std::string write = parts.data.empty() ? (has_text ? std::string() : std::string(kPlantedText))
                                           : parts.data;
    if (!write.empty()) {
      if (key.WriteString(value_name, write) != 0) return Fail(definition + ": cannot write the data");
      PlantedValue& value = values_[id];
      // Earlier spies that wanted other data here no longer match.
      for (size_t index : value.data_traces) {
        const std::string& wanted = wanted_data_[index];
        if (!wanted.empty() && !EqualsIgnoreCase(wanted, write) && dropped_.insert(index).second) {
          Skip(engine::kRegDataType, result_->traces[index].spy, result_->traces[index].trace,
               "overwritten by " + spy);
        }
      }
    }
    size_t index = result_->traces.size();
    values_[id].data_traces.push_back(index);
    wanted_data_[index] = parts.data;
    Planted(engine::kRegDataType, spy, engine::DataTraceColonForm(expanded, parts.data));
    return true;
  }

  bool PlantProcess(const std::string& spy, const std::string& image) {
    if (HasWildcard(image) || image.find(':') == std::string::npos)
      return Skip(engine::kProcessType, spy, image, "not a program path");
    if (standin_.empty()) return Skip(engine::kProcessType, spy, image, "no stand-in program");
    // One running process per program: the scan matches each process once.
    if (!started_.insert(platform::ToUpperAscii(image)).second) return true;
    std::string current;
    if (!platform::ReadFileToString(image, &current) || current != standin_) {
      if (!WriteFileAt(image, standin_)) return Fail(image + ": cannot write the program");
    }
    platform::LaunchOptions launch;
    launch.account = options_.process_account;
    if (launch.account.empty() && !host_->users().empty()) launch.account = host_->users().front().name;
    launch.detach = true;
    platform::Process process;
    if (!platform::CreateProcess(image, platform::QuoteArgument(image), launch, &process))
      return Fail(image + ": cannot start (error " + std::to_string(platform::GetLastError()) + ")");
    result_->processes.push_back({spy, image, process.pid()});
    Planted(engine::kProcessType, spy, image);
    return true;
  }

  const PlantOptions& options_;
  PlantResult* result_;
  std::string* error_;
  platform::Host* host_ = nullptr;
  engine::CPathExpander expander_;
  std::string standin_;
  std::string local_sid_;
  std::map<std::string, PlantedValue> values_;
  std::map<size_t, std::string> wanted_data_;
  std::set<size_t> dropped_;
  std::set<std::string> started_;
};

}  // namespace

bool PlantSpies(const engine::SpyMap& map, const PlantOptions& options, PlantResult* result,
                std::string* error) {
  std::vector<std::pair<std::string, const engine::CSpy*>> chosen;
  if (options.spies.empty()) {
    for (const auto& [name, spy] : map) chosen.push_back({name, spy.get()});
  } else {
    for (const auto& name : options.spies) {
      auto it = map.find(name);
      if (it == map.end()) {
        if (error) *error = "no spy named \"" + name + "\" in the database";
        return false;
      }
      chosen.push_back({name, it->second.get()});
    }
  }
  Planter planter(options, result, error);
  if (!planter.Prepare()) return false;
  bool ok = true;
  for (const auto& [name, spy] : chosen) {
    if (!spy) continue;  // a name without a definition has nothing to plant
    if (!planter.PlantSpy(name, *spy)) {
      ok = false;
      break;
    }
  }
  planter.Finish();
  return ok;
}

int StopPlantedProcesses(const std::vector<PlantedProcess>& processes) {
  int stopped = 0;
  for (const auto& planted : processes) {
    platform::Process process = platform::Process::Open(planted.pid);
    std::string image;
    if (!process.IsValid() || !process.GetImagePath(&image) || !EqualsIgnoreCase(image, planted.image))
      continue;
    if (process.Terminate(0)) {
      process.WaitForExit(2000);
      ++stopped;
    }
  }
  return stopped;
}

bool LoadDefinitionDatabase(const std::string& real_path, engine::SpyMap* map, std::string* error) {
  bool ok = false;
  std::string bytes = ReadRealFile(real_path, &ok);
  if (!ok) {
    if (error) *error = real_path + ": cannot read the database";
    return false;
  }
  std::string deciphered = bytes;
  engine::SpyMap sealed;
  engine::SpyArchiveStatus status = engine::SpyArchiveStatus::kTruncated;
  if (common::Rc4Crypt(&deciphered)) status = engine::DecodeSpyArchive(deciphered, &sealed);
  if (status == engine::SpyArchiveStatus::kOk) {
    *map = std::move(sealed);
    return true;
  }
  engine::SpyMap plain;
  if (engine::DecodeSpyArchive(bytes, &plain) == engine::SpyArchiveStatus::kOk) {
    *map = std::move(plain);
    return true;
  }
  if (error)
    *error = real_path + ": not a definition database, sealed or plain (" +
             engine::SpyArchiveStatusText(status) + ")";
  return false;
}

}  // namespace lab
