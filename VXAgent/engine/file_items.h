// File and folder traces, their collections, and the file operations that
// quarantine, recovery and cookie removal build on. A quarantined file or
// folder stays in place under its name reversed (spy.dll -> lld.yps).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "VXAgent/engine/path_item_list.h"
#include "VXAgent/engine/spy_item.h"

namespace engine {

inline constexpr char kAccessDeniedFile[] = "AccessDenied.txt";
inline constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\";

class CFileItem : public CSpyItem {
 public:
  using CSpyItem::CSpyItem;
  std::unique_ptr<CSpyItem> Clone() const override { return std::make_unique<CFileItem>(*this); }
  // A directory search finds the path (wildcards allowed in the last
  // component) and the path is not a folder.
  bool IsPresent() override;
  // Renames the file to its reversed name (replacing a stale one there),
  // after removing the auto-start entry that launches it.
  int Quarantine() override;
  // Modes 0 and 1 act on the quarantined form, 2 deletes the file, 4
  // quarantines.
  int Remove(const std::string& spy_name, const std::string& trace, const std::string& type_name,
             int mode) override;
  std::string GetTypeName() const override { return kFileType; }
};

class CFolderItem : public CSpyItem {
 public:
  using CSpyItem::CSpyItem;
  std::unique_ptr<CSpyItem> Clone() const override { return std::make_unique<CFolderItem>(*this); }
  bool IsPresent() override;
  int Quarantine() override;
  int Remove(const std::string& spy_name, const std::string& trace, const std::string& type_name,
             int mode) override;
  std::string GetTypeName() const override { return kFolderType; }
};

class CFileList : public CPathItemList {
 protected:
  std::unique_ptr<CSpyItem> NewTrace(const std::string& path,
                                     const std::string& spy_name) const override {
    return std::make_unique<CFileItem>(path, spy_name);
  }
  PathProbe::Answer Kind() const override { return PathProbe::Answer::kFile; }
};

class CFolderList : public CPathItemList {
 protected:
  std::unique_ptr<CSpyItem> NewTrace(const std::string& path,
                                     const std::string& spy_name) const override {
    return std::make_unique<CFolderItem>(path, spy_name);
  }
  PathProbe::Answer Kind() const override { return PathProbe::Answer::kFolder; }
};

// Deletes what `pattern` (a folder + "\*.*") matches, recursively, clearing
// attributes first. Goes on past entries that resist; true when everything
// matched was removed.
bool DeleteTree(const std::string& pattern);

// Deletes the first value of HKLM Run whose data contains `path` (ignoring
// case) and hands back its name and upper-cased data. False when none
// matches or the key cannot be opened.
bool RemoveRunEntry(const std::string& path, std::string* name, std::string* data);

// Appends " On [ day month year hh:mm:ss ] -  spy path" to the system
// folder's "AccessDenied.txt".
void LogAccessDenied(const std::string& spy_name, const std::string& path);

// Deletes a quarantined .dll or .ocx: renames it back to its own name,
// starts "regsvr32.exe /s -u" on it without waiting, deletes it. False and
// nothing done for other files.
bool UnregisterAndDelete(const std::string& quarantined_path);

// The quarantined form of a path: its last component reversed.
std::string QuarantinedPath(const std::string& path);

}  // namespace engine
