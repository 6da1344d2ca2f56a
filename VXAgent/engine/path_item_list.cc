#include "VXAgent/engine/path_item_list.h"

#include "VXAgent/engine/trace_syntax.h"
#include "platform/strings.h"

namespace engine {
namespace {

constexpr char kProfileMacro[] = "%PROFILE%";

}  // namespace

void CPathItemList::AddDefinitions(const std::string& spy_name,
                                   const std::vector<std::string>& definitions) {
  for (const std::string& definition : definitions) {
    if (definition.find(kProfileMacro) == std::string::npos) {
      std::string path = definition;
      expander_.Expand(path);
      AddPath(spy_name, path, /*need_drive=*/false);
      continue;
    }
    // Every user's copy, as the profiles folder lists them right now.
    profiles_.clear();
    ListUserProfiles(expander_, &profiles_);
    for (const std::string& profile : profiles_) {
      std::string path = platform::ReplaceAll(definition, kProfileMacro, profile);
      expander_.Expand(path);
      AddPath(spy_name, path, /*need_drive=*/true);
    }
  }
}

void CPathItemList::AddPath(const std::string& spy_name, const std::string& path,
                            bool need_drive) {
  std::optional<std::string> driveless = DrivelessPath(path);
  if (!need_drive || driveless) Append(NewTrace(path, spy_name));
  if (driveless && templates_.find(*driveless) == templates_.end())
    AddTemplate(*driveless, NewTrace(path, spy_name));
}

bool CPathItemList::TestPresence(CSpyItem& item) {
  const PathProbe::Answer answer = probe_.Probe(item.trace());
  if (answer != PathProbe::Answer::kUnsure && answer != Kind()) return false;
  return item.IsPresent();
}

}  // namespace engine
