// Cookie traces: a tracking site, found as cookie files ("user@site[1].txt")
// in every user's cookie folder under the system drive's
// "Documents and Settings". Once found, the trace string becomes
// site + "$" + every profile holding a matching file, each followed by ","
// (the form the spyware log records and console orders send back).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "VXAgent/engine/spy_item_list.h"

namespace engine {

class CCookieItem : public CSpyItem {
 public:
  using CSpyItem::CSpyItem;
  std::unique_ptr<CSpyItem> Clone() const override { return std::make_unique<CCookieItem>(*this); }
  // FindCookieFiles; true when a file matched (the trace string then lists
  // the profiles).
  bool IsPresent() override;
  // Remove with mode 4.
  int Quarantine() override;
  // Applies `mode` (0, 1, 2, 4) to every matching cookie file of the listed
  // profiles through the file operations; reports success.
  int Remove(const std::string& spy_name, const std::string& trace, const std::string& type_name,
             int mode) override;
  std::string GetTypeName() const override { return kCookieType; }

  // The profile folder names holding a cookie file of the site, one per
  // matching file, each followed by ",".
  std::string FindCookieFiles() const;
};

// System drive + "\Documents and Settings".
std::string CookieProfilesFolder();

class CCookieList : public CSpyItemList {
 public:
  // One cookie trace per string, unchanged.
  void AddDefinitions(const std::string& spy_name,
                      const std::vector<std::string>& definitions) override;
};

}  // namespace engine
