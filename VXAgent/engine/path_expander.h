// Folder macros of spy definitions ("%WINDIR%\x.dll") and the user
// profiles that "%PROFILE%" stands for.
//
// A CPathExpander asks the host for every known folder once, on
// construction, as seen by the account the agent runs under (a service:
// the per-user folders are those of the service account's profile).
// Nothing is cached beyond the object's life.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

class CPathExpander {
 public:
  // One macro of the table: its text and the folder id asked for
  // (-1 for "%ROOT%", which is derived from "%PFDIR%").
  struct Macro {
    const char* name;
    int folder_id;
  };
  static constexpr int kMacroCount = 21;
  // The macros in the order Expand replaces them.
  static const std::array<Macro, kMacroCount>& Macros();

  // Fills every macro's folder from the current host; a folder the host
  // cannot report (or no host at all) is the empty string.
  CPathExpander();
  ~CPathExpander();

  // Replaces, in table order, every occurrence of each macro by its folder.
  // Macros are matched exactly (upper case only); replaced text is never
  // scanned again.
  void Expand(std::string& path) const;

  // The folder that `macro` (for example "%WINDIR%") stands for; empty for
  // an unknown macro.
  const std::string& FolderOf(std::string_view macro) const;

 private:
  // SHGetFolderPathA over the host's known folders: "" on failure or when
  // the folder does not fit the 260-byte buffer the agent passes.
  std::string GetFolderPath(int folder_id);

  std::array<std::string, kMacroCount> folders_;
};

// Appends one entry per directory entry of the profiles folder
// (Expand("%ROOT%") + "\Documents and Settings\"), other than "." and "..",
// as profiles folder + entry name, in the order of the directory search.
// Entries are not checked to be folders. Nothing when the folder is absent.
void ListUserProfiles(const CPathExpander& expander, std::vector<std::string>* list);

}  // namespace engine
