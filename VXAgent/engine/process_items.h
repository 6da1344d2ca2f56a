// Process traces: the executable of a spyware program, detected while it
// runs and removed by terminating every process started from it. The
// process collection walks the running processes once per scan instead of
// testing traces one by one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VXAgent/engine/spy_item_list.h"

namespace engine {

// The process list of the machine and termination, as the process
// collection and each process trace use them.
class ProcessEnumeration {
 public:
  struct Entry {
    uint32_t pid = 0;
    std::string image;  // Windows path of the image; "unknown" when unreadable
  };
  virtual ~ProcessEnumeration() = default;
  // False when the list cannot be read (nothing is found then).
  virtual bool List(std::vector<Entry>* processes) = 0;
  // TerminateProcess with exit code 0.
  virtual bool Terminate(uint32_t pid) = 0;

  // The host's process list and handles.
  static std::shared_ptr<ProcessEnumeration> Load();
};

class CProcessItem : public CSpyItem {
 public:
  CProcessItem(std::string trace, std::string spy_name,
               std::shared_ptr<ProcessEnumeration> processes = nullptr);
  std::unique_ptr<CSpyItem> Clone() const override { return std::make_unique<CProcessItem>(*this); }
  // Never tested on its own: the collection's walk finds processes.
  bool IsPresent() override { return false; }
  // TerminateMatching; a process cannot be quarantined.
  int Quarantine() override { return TerminateMatching(); }
  // Nothing to remove on disk: reports success for every mode.
  int Remove(const std::string&, const std::string&, const std::string&, int) override {
    return kTraceDone;
  }
  std::string GetTypeName() const override { return kProcessType; }

  // Terminates every running process whose image path (long form) equals
  // the trace's path, ignoring case. Always reports 0.
  int TerminateMatching();

 private:
  std::shared_ptr<ProcessEnumeration> processes_;
};

// The long form of an image path (8.3 names spelled out), or the path
// itself when it cannot be resolved.
std::string NormalizeImagePath(const std::string& image);

class CProcessList : public CSpyItemList {
 public:
  // `processes` replaces the host's process list (tests).
  explicit CProcessList(std::shared_ptr<ProcessEnumeration> processes = nullptr);

  // Expand, then one process trace per string.
  void AddDefinitions(const std::string& spy_name,
                      const std::vector<std::string>& definitions) override;
  // The spy's file list: a process trace for every expanded path ending in
  // ".EXE", ".COM" or ".BAT" (any case).
  void AddExecutableFiles(const std::string& spy_name, const std::vector<std::string>& files);

  // One walk of the running processes; each process's image is matched
  // against the traces (MatchProcess).
  void Scan(SpyScannerInterface& scanner, int action) override;

 private:
  void MatchProcess(const std::string& image, SpyScannerInterface& scanner, int action);
  ProcessEnumeration* Processes();

  std::shared_ptr<ProcessEnumeration> processes_;
};

}  // namespace engine
