#include "VXAgent/engine/cookie_items.h"

#include <algorithm>

#include "VXAgent/engine/file_items.h"
#include "VXAgent/engine/trace_syntax.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/strings.h"

namespace engine {
namespace {

std::string CookieFolder(const std::string& profile) {
  return CookieProfilesFolder() + "\\" + profile + "\\Cookies\\";
}

enum class Kind { kAny, kFiles };

// Names of the entries of a search, without "." and "..".
std::vector<std::string> Entries(const std::string& pattern, Kind kind) {
  std::vector<std::string> names;
  platform::FindFile find;
  platform::FindData data;
  if (!find.First(pattern, &data)) return names;
  do {
    if (data.name == "." || data.name == "..") continue;
    if (kind == Kind::kFiles && (data.attributes & platform::kAttrDirectory)) continue;
    names.push_back(data.name);
  } while (find.Next(&data));
  return names;
}

std::string Reversed(std::string s) {
  std::reverse(s.begin(), s.end());
  return s;
}

}  // namespace

std::string CookieProfilesFolder() {
  const platform::Host* host = platform::Host::Current();
  std::string system_dir = host ? host->system_dir() : std::string();
  return system_dir.substr(0, system_dir.find('\\')) + "\\Documents and Settings";
}

std::string CCookieItem::FindCookieFiles() const {
  const std::string key = CookieSiteKey(trace());
  std::string found;
  if (!platform::PathIsDirectory(CookieProfilesFolder())) return found;
  for (const std::string& profile : Entries(CookieProfilesFolder() + "\\*", Kind::kAny)) {
    for (const std::string& file : Entries(CookieFolder(profile) + "*.*", Kind::kFiles)) {
      std::optional<std::string> site = CookieFileSite(file);
      if (site && *site == key) found += profile + ",";
    }
  }
  return found;
}

bool CCookieItem::IsPresent() {
  std::string found = FindCookieFiles();
  if (found.empty()) return false;
  // Built from the site alone, so that a repeated test does not stack lists.
  const std::string& t = trace();
  set_trace(t.substr(0, t.find('$')) + "$" + found);
  return true;
}

int CCookieItem::Quarantine() { return Remove(spy_name(), trace(), GetTypeName(), kQuarantineMode); }

int CCookieItem::Remove(const std::string&, const std::string&, const std::string&, int mode) {
  const std::string& t = trace();
  size_t dollar = t.find('$');
  if (dollar == std::string::npos) return kTraceDone;
  const std::string key = CookieSiteKey(t);
  const bool quarantined_form = mode == kRecoverQuarantined || mode == kDeleteQuarantined;
  for (const std::string& profile : platform::Split(t.substr(dollar + 1), ',')) {
    if (profile.empty()) continue;
    const std::string folder = CookieFolder(profile);
    if (!platform::PathIsDirectory(folder)) continue;
    for (const std::string& stored : Entries(folder + "*.*", Kind::kFiles)) {
      // A quarantined cookie file carries its name reversed.
      const std::string name = quarantined_form ? Reversed(stored) : stored;
      std::optional<std::string> site = CookieFileSite(name);
      if (!site || *site != key) continue;
      CFileItem file(folder + name, spy_name());
      if (mode == kQuarantineMode)
        file.Quarantine();
      else
        file.Remove(spy_name(), file.trace(), file.GetTypeName(), mode);
    }
  }
  return kTraceDone;
}

void CCookieList::AddDefinitions(const std::string& spy_name,
                                 const std::vector<std::string>& definitions) {
  for (const std::string& definition : definitions)
    Append(std::make_unique<CCookieItem>(definition, spy_name));
}

}  // namespace engine
