// File and folder collections: macro expansion, one trace per user profile
// for "%PROFILE%", and the drive-less index for the deep scan.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "VXAgent/engine/path_probe.h"
#include "VXAgent/engine/spy_item_list.h"

namespace engine {

class CPathItemList : public CSpyItemList {
 public:
  void AddDefinitions(const std::string& spy_name,
                      const std::vector<std::string>& definitions) override;
  const std::vector<std::string>& profiles() const { return profiles_; }

 protected:
  // A trace of this collection's type.
  virtual std::unique_ptr<CSpyItem> NewTrace(const std::string& path,
                                             const std::string& spy_name) const = 0;
  // The kind of entry a trace of this collection is.
  virtual PathProbe::Answer Kind() const = 0;

  // A path the probe finds nothing of this kind at is absent; anything
  // else is left to the trace's own test.
  bool TestPresence(CSpyItem& item) override;
  void OnScanChange() override { probe_.Forget(); }

 private:
  void AddPath(const std::string& spy_name, const std::string& path, bool need_drive);

  std::vector<std::string> profiles_;
  PathProbe probe_;
};

}  // namespace engine
