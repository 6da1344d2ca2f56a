// The scan driver: one CSpyScanner per scan loads the definition database
// into the seven collections, runs them in a fixed order (with the deep
// scan of the other fixed drives for a full scan), keeps what it found and
// writes its progress to the engine's trace log "VXCEWormLog.txt".
// CReportingScanner also writes every detection into "SpywareLog.txt".
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "VXAgent/engine/cookie_items.h"
#include "VXAgent/engine/file_items.h"
#include "VXAgent/engine/process_items.h"
#include "VXAgent/engine/registry_items.h"
#include "VXAgent/engine/spy_item_list.h"

namespace engine {

inline constexpr char kSpywareLogFile[] = "SpywareLog.txt";
inline constexpr char kTraceLogFile[] = "VXCEWormLog.txt";
inline constexpr size_t kAnnouncementSize = 260;

// The scan pipe to the console, as the scanner uses it: one record of
// exactly the bytes given, then a flush.
class ScanPipe {
 public:
  virtual ~ScanPipe() = default;
  virtual bool WriteRecord(std::string_view record) = 0;
};

class CSpyScanner : public SpyScannerInterface {
 public:
  CSpyScanner();
  ~CSpyScanner() override;
  CSpyScanner(const CSpyScanner&) = delete;
  CSpyScanner& operator=(const CSpyScanner&) = delete;

  // The whole scan: truncates the spyware log, lists the other fixed
  // drives, loads the database and runs every phase. `pipe` may be null
  // (a scheduled scan); it must outlive the call.
  void RunSpyScan(bool fullScan, ScanPipe* pipe, const std::string& computerName, int action);

  // Appends the trace to the found list.
  void RecordDetection(std::unique_ptr<CSpyItem> trace, const std::string& status) override;
  // Without a pipe false; otherwise one zero-filled 260-byte record holding
  // `text`, or "[<computer>] Spywares found." when it is empty.
  bool AnnounceDetection(const std::string& text) override;
  void CountFound() override { ++foundCount; }
  void CountDeleted() override { ++deletedCount; }
  void CountQuarantined() override { ++quarantinedCount; }
  void SetRestartRequired() override { restartRequired = true; }
  bool TakeFirstDetectionPending() override;
  int action() const override { return action_; }

  // Reads the database, drops the excluded spies and hands every list to
  // its collection.
  void LoadSpyDatabase();
  // Walks every other fixed drive, matching folders and files against the
  // drive-less index of the folder and file collections.
  void DeepScan();
  void WalkDirectory(const std::string& path);

  // Appends " On [ day month year h:m:s AM|PM ] -  first second" to the
  // trace log.
  static void TraceLine(const std::string& first, const std::string& second);

  int foundCount = 0;
  int deletedCount = 0;
  int quarantinedCount = 0;
  bool restartRequired = false;
  bool firstDetectionPending = true;
  std::string computerName;
  bool deepScan = false;
  std::string otherDrives;  // roots of the other fixed drives, each + ","

  CProcessList& processes() { return *processes_; }
  CCookieList& cookies() { return *cookies_; }
  CFileList& files() { return *files_; }
  CFolderList& folders() { return *folders_; }
  CRegKeyList& regKeys() { return *reg_keys_; }
  CRegValueList& regValues() { return *reg_values_; }
  CRegDataList& regData() { return *reg_data_; }
  const std::vector<std::unique_ptr<CSpyItem>>& found() const { return found_; }

  // The restart-delete map the collections consult; the agent's own by
  // default.
  void set_restart_map(RestartDeleteMap* map);

 private:
  int action_ = kActionLogOnly;
  ScanPipe* pipe_ = nullptr;
  std::unique_ptr<CProcessList> processes_;
  std::unique_ptr<CCookieList> cookies_;
  std::unique_ptr<CFileList> files_;
  std::unique_ptr<CFolderList> folders_;
  std::unique_ptr<CRegKeyList> reg_keys_;
  std::unique_ptr<CRegValueList> reg_values_;
  std::unique_ptr<CRegDataList> reg_data_;
  std::vector<std::unique_ptr<CSpyItem>> found_;
};

class CReportingScanner : public CSpyScanner {
 public:
  // Writes " On [ day month year hh:mm:ss ] - type:spy <trace>status" to
  // the spyware log, then records the trace.
  void RecordDetection(std::unique_ptr<CSpyItem> trace, const std::string& status) override;
};

// The counts line of a finished scan.
std::string ScanCountsLine(int cookies, int processes, int files, int folders, int reg_keys,
                           int reg_values, int reg_data);

}  // namespace engine
