// Collections of traces of one type: they turn definition strings into
// traces (AddDefinitions) and run the detection loop over them (Scan).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "VXAgent/engine/path_expander.h"
#include "VXAgent/engine/spy_item.h"

namespace engine {

class RestartDeleteMap;

// Status words of a detection.
inline constexpr char kStatusDetected[] = "Detected";
inline constexpr char kStatusDeleted[] = "Deleted";
inline constexpr char kStatusQuarantined[] = "Quarantined";

// What the detection loop needs of the scan driver: where found traces go,
// its counters and flags, and the first-detection announcement.
class SpyScannerInterface {
 public:
  virtual ~SpyScannerInterface() = default;
  // Takes ownership of a found trace with its status text.
  virtual void RecordDetection(std::unique_ptr<CSpyItem> trace, const std::string& status) = 0;
  // Sends `text` (or the standard text when empty) to the console when the
  // scan has a pipe; false when it has none.
  virtual bool AnnounceDetection(const std::string& text) = 0;
  virtual void CountFound() = 0;
  virtual void CountDeleted() = 0;
  virtual void CountQuarantined() = 0;
  virtual void SetRestartRequired() = 0;
  // True once per scan: the first call after construction; later false.
  virtual bool TakeFirstDetectionPending() = 0;
  // The scan's on-detection action (ScanAction).
  virtual int action() const = 0;
};

class CSpyItemList {
 public:
  CSpyItemList();
  virtual ~CSpyItemList();
  CSpyItemList(const CSpyItemList&) = delete;
  CSpyItemList& operator=(const CSpyItemList&) = delete;

  // Adds the traces of one spy's list of definition strings.
  virtual void AddDefinitions(const std::string& spy_name,
                              const std::vector<std::string>& definitions) = 0;

  // The detection loop: every present trace is acted on as `action` says,
  // counted, recorded with the scanner (which takes it out of this list)
  // and announced if it is the scan's first. A trace already pending in the
  // restart-delete map only raises the scanner's restart flag.
  virtual void Scan(SpyScannerInterface& scanner, int action);

  // Deep scan: when a template is held under `driveless`, a clone carrying
  // `full_path` is acted on and recorded like a detection of Scan.
  void CheckDeepMatch(const std::string& driveless, const std::string& full_path,
                      SpyScannerInterface& scanner);

  // Whether a template is held under `driveless` (the deep scan's quick
  // question before CheckDeepMatch).
  bool HoldsTemplate(std::string_view driveless) const;

  const std::vector<std::unique_ptr<CSpyItem>>& items() const { return items_; }
  const std::unordered_map<std::string, std::unique_ptr<CSpyItem>>& templates() const {
    return templates_;
  }
  const CPathExpander& expander() const { return expander_; }

  // The map consulted and filled by Scan; the agent's own by default.
  void set_restart_map(RestartDeleteMap* map) { restart_map_ = map; }

 protected:
  void Append(std::unique_ptr<CSpyItem> item) { items_.push_back(std::move(item)); }
  // The presence test of the detection loop; collections may answer the
  // common "absent" more cheaply than the trace's own test.
  virtual bool TestPresence(CSpyItem& item) { return item.IsPresent(); }
  // Called by Scan before its first test and after each acted-on detection
  // (something on disk or in the registry may have changed).
  virtual void OnScanChange() {}
  // Adds a template under `driveless` unless one is held already.
  void AddTemplate(const std::string& driveless, std::unique_ptr<CSpyItem> item);
  // Steps shared by Scan and CheckDeepMatch: acts on a found trace, counts
  // it and hands it to the scanner.
  void ActOnDetection(std::unique_ptr<CSpyItem> item, SpyScannerInterface& scanner, int action,
                      bool announce);

  std::vector<std::unique_ptr<CSpyItem>> items_;
  std::unordered_map<std::string, std::unique_ptr<CSpyItem>> templates_;
  // One bit per hash slot of the template keys, small enough to stay in
  // cache: the deep scan asks for every file of a drive, and nearly every
  // answer is "no", which the bits give without touching the map.
  std::vector<uint64_t> template_bits_;
  CPathExpander expander_;
  RestartDeleteMap* restart_map_;
};

}  // namespace engine
