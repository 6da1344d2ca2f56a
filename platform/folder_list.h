// Lean listings of one local folder, for walks over whole drives (the
// deep scan) where a FindFile per folder would read every entry's
// attributes and times only to throw them away.
//
// Names and the folder flag are what FindFile("folder\*.*") reports; "."
// and ".." are left out. Entries are read from the directory itself:
// nothing is asked per entry except for symbolic links (a link to a folder
// counts as a folder, as FindFile follows links) and file systems that do
// not report entry types.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct FolderEntry {
  std::string name;
  bool directory = false;
};

// Calls `visit` for every entry of the folder at the Windows path `folder`
// (a local drive, no wildcards) in the order the file system keeps them.
// False with 3 when it is not a folder of the current host (or there is no
// host), 5 when it cannot be read; `visit` is not called then.
bool VisitFolder(std::string_view folder,
                 const std::function<void(std::string_view name, bool directory)>& visit);

// The entries of the folder in FindFile's order (FindFileOrderLess).
// Errors as VisitFolder; `entries` is left untouched on failure.
bool ListFolder(std::string_view folder, std::vector<FolderEntry>* entries);

// The order in which FindFile lists the names of one folder: by their
// upper-case forms, names equal in upper case by their bytes.
bool FindFileOrderLess(std::string_view a, std::string_view b);

}  // namespace platform
