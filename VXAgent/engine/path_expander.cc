#include "VXAgent/engine/path_expander.h"

#include "platform/host.h"
#include "platform/strings.h"

namespace engine {
namespace {

constexpr size_t kFolderBuffer = 260;  // MAX_PATH, terminator included
constexpr int kRootMacro = -1;

const std::array<CPathExpander::Macro, CPathExpander::kMacroCount> kMacros = {{
    {"%ADMINTOOLS%", platform::kFolderAdminTools},
    {"%COMMON_ADMINTOOLS%", platform::kFolderCommonAdminTools},
    {"%APPDATA%", platform::kFolderAppData},
    {"%COMMON_APPDATA%", platform::kFolderCommonAppData},
    {"%COMMON_DOCUMENTS%", platform::kFolderCommonDocuments},
    {"%COOKIES%", platform::kFolderCookies},
    {"%FLAG_CREATE%", platform::kFolderFlagCreate},
    {"%HISTORY%", platform::kFolderHistory},
    {"%INTERNET_CACHE%", platform::kFolderInternetCache},
    {"%LOCAL_APPDATA%", platform::kFolderLocalAppData},
    {"%MYPICTURES%", platform::kFolderMyPictures},
    {"%PERSONAL%", platform::kFolderPersonal},
    {"%PFDIR%", platform::kFolderProgramFiles},
    {"%PROGRAM_FILES_COMMON%", platform::kFolderProgramFilesCommon},
    {"%SYSDIR%", platform::kFolderSystem},
    {"%WINDIR%", platform::kFolderWindows},
    {"%PROFILE%", platform::kFolderProfile},
    {"%COMMON_PROGRAMS%", platform::kFolderCommonPrograms},
    {"%FAVORITES%", platform::kFolderFavorites},
    {"%COMMON_DESKTOP%", platform::kFolderCommonDesktop},
    {"%ROOT%", kRootMacro},
}};

size_t IndexOf(std::string_view macro) {
  for (size_t i = 0; i < kMacros.size(); ++i)
    if (macro == kMacros[i].name) return i;
  return kMacros.size();
}

}  // namespace

const std::array<CPathExpander::Macro, CPathExpander::kMacroCount>& CPathExpander::Macros() {
  return kMacros;
}

CPathExpander::CPathExpander() {
  for (size_t i = 0; i < kMacros.size(); ++i)
    if (kMacros[i].folder_id != kRootMacro) folders_[i] = GetFolderPath(kMacros[i].folder_id);
  // %ROOT% is the drive of the program files folder ("C:").
  const std::string& pf = folders_[IndexOf("%PFDIR%")];
  size_t colon = pf.find(':');
  folders_[IndexOf("%ROOT%")] = colon == std::string::npos ? std::string() : pf.substr(0, colon + 1);
}

CPathExpander::~CPathExpander() = default;

std::string CPathExpander::GetFolderPath(int folder_id) {
  const platform::Host* host = platform::Host::Current();
  if (!host) return {};
  std::string path = host->FolderPath(folder_id, host->CurrentAccount());
  if (path.size() >= kFolderBuffer) return {};
  return path;
}

void CPathExpander::Expand(std::string& path) const {
  // Quick exit for the common definition without any macro.
  if (path.find('%') == std::string::npos) return;
  for (size_t i = 0; i < kMacros.size(); ++i) {
    if (path.find(kMacros[i].name) == std::string::npos) continue;
    path = platform::ReplaceAll(path, kMacros[i].name, folders_[i]);
  }
}

const std::string& CPathExpander::FolderOf(std::string_view macro) const {
  static const std::string kEmpty;
  size_t i = IndexOf(macro);
  return i < folders_.size() ? folders_[i] : kEmpty;
}

}  // namespace engine
