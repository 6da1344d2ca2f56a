// A trace: one string of a spy definition bound to the name of its spy, and
// what the scanner can do with it (test, remove, quarantine).
#pragma once

#include <memory>
#include <string>

namespace engine {

// Type names, written into the spyware log and sent to the console.
inline constexpr char kCookieType[] = "Cookie";
inline constexpr char kProcessType[] = "Process";
inline constexpr char kFileType[] = "File";
inline constexpr char kFolderType[] = "Folder";
inline constexpr char kRegKeyType[] = "Registry Key";
inline constexpr char kRegValueType[] = "Registry Value";
inline constexpr char kRegDataType[] = "Registry Data";

// Modes of CSpyItem::Remove.
enum RemoveMode : int {
  kRecoverQuarantined = 0,  // undo a quarantine
  kDeleteQuarantined = 1,   // delete the quarantined form
  kDeleteDetected = 2,      // delete the trace as found
  kQuarantineMode = 4,      // quarantine (types whose Quarantine forwards here)
};

// Results of Quarantine and Remove; callers take any non-zero as success.
enum TraceResult : int { kTraceFailed = 0, kTraceDone = 1, kTraceAbsent = 2 };

// On-detection actions of a scan.
enum ScanAction : int { kActionLogOnly = 0, kActionDelete = 1, kActionQuarantine = 2 };

class CSpyItem {
 public:
  CSpyItem(std::string trace, std::string spy_name)
      : spy_name_(std::move(spy_name)), trace_(std::move(trace)) {}
  virtual ~CSpyItem() = default;
  CSpyItem(const CSpyItem&) = default;
  CSpyItem& operator=(const CSpyItem&) = delete;

  // A new trace of the same type with the same fields.
  virtual std::unique_ptr<CSpyItem> Clone() const = 0;
  // Whether the trace exists on this machine now. Some types rewrite their
  // trace string when they find it (the form the log records).
  virtual bool IsPresent() = 0;
  virtual int Quarantine() = 0;
  // The one entry for delete and recover operations (RemoveMode).
  virtual int Remove(const std::string& spy_name, const std::string& trace,
                     const std::string& type_name, int mode) = 0;
  virtual std::string GetTypeName() const = 0;

  const std::string& spy_name() const { return spy_name_; }
  const std::string& trace() const { return trace_; }
  void set_trace(std::string trace) { trace_ = std::move(trace); }

 private:
  std::string spy_name_;
  std::string trace_;
};

}  // namespace engine
