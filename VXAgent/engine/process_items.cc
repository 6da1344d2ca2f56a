#include "VXAgent/engine/process_items.h"

#include <algorithm>

#include "VXAgent/engine/trace_syntax.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/strings.h"

namespace engine {
namespace {

constexpr char kUnknownImage[] = "unknown";
constexpr int64_t kTerminateWaitMs = 1000;

class HostProcesses : public ProcessEnumeration {
 public:
  bool List(std::vector<Entry>* processes) override {
    std::vector<platform::ProcessEntry> list;
    if (!platform::ListProcesses(&list)) return false;
    processes->clear();
    for (const auto& p : list)
      processes->push_back({p.pid, p.image.empty() ? std::string(kUnknownImage) : p.image});
    return true;
  }
  bool Terminate(uint32_t pid) override {
    platform::Process process = platform::Process::Open(pid);
    if (!process.IsValid() || !process.Terminate(0)) return false;
    // Termination is asynchronous; the scan's next phases delete and rename
    // the program's file, which stays locked while its process runs. A
    // short wait lets it go first.
    process.WaitForExit(kTerminateWaitMs);
    return true;
  }
};

}  // namespace

std::shared_ptr<ProcessEnumeration> ProcessEnumeration::Load() {
  return std::make_shared<HostProcesses>();
}

std::string NormalizeImagePath(const std::string& image) {
  std::string long_path;
  return platform::GetLongPathName(image, &long_path) ? long_path : image;
}

CProcessItem::CProcessItem(std::string trace, std::string spy_name,
                           std::shared_ptr<ProcessEnumeration> processes)
    : CSpyItem(std::move(trace), std::move(spy_name)), processes_(std::move(processes)) {}

int CProcessItem::TerminateMatching() {
  // Each trace loads its own interface when it first terminates.
  if (!processes_) processes_ = ProcessEnumeration::Load();
  std::vector<ProcessEnumeration::Entry> list;
  if (!processes_->List(&list)) return kTraceFailed;
  for (const auto& p : list)
    if (platform::EqualsIgnoreCase(NormalizeImagePath(p.image), trace())) processes_->Terminate(p.pid);
  return kTraceFailed;
}

CProcessList::CProcessList(std::shared_ptr<ProcessEnumeration> processes)
    : processes_(std::move(processes)) {}

ProcessEnumeration* CProcessList::Processes() {
  if (!processes_) processes_ = ProcessEnumeration::Load();
  return processes_.get();
}

void CProcessList::AddDefinitions(const std::string& spy_name,
                                  const std::vector<std::string>& definitions) {
  for (const std::string& definition : definitions) {
    std::string path = definition;
    expander_.Expand(path);
    Append(std::make_unique<CProcessItem>(path, spy_name, processes_));
  }
}

void CProcessList::AddExecutableFiles(const std::string& spy_name,
                                      const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    std::string path = file;
    expander_.Expand(path);
    if (IsProgramPath(path)) Append(std::make_unique<CProcessItem>(path, spy_name, processes_));
  }
}

void CProcessList::Scan(SpyScannerInterface& scanner, int action) {
  std::vector<ProcessEnumeration::Entry> list;
  if (!Processes()->List(&list)) return;
  for (const auto& p : list) MatchProcess(p.image, scanner, action);
}

void CProcessList::MatchProcess(const std::string& image, SpyScannerInterface& scanner,
                                int action) {
  const std::string normalized = NormalizeImagePath(image);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const auto& item) {
    return item && platform::EqualsIgnoreCase(item->trace(), normalized);
  });
  if (it == items_.end()) return;
  std::string status = kStatusDetected;
  if (action == kActionDelete || action == kActionQuarantine) {
    CProcessItem((*it)->trace(), (*it)->spy_name(), processes_).TerminateMatching();
    // A process cannot be quarantined: it is terminated either way.
    status = kStatusDeleted;
    if (action == kActionDelete)
      scanner.CountDeleted();
    else
      scanner.CountQuarantined();
  }
  std::unique_ptr<CSpyItem> found = std::move(*it);
  items_.erase(it);
  scanner.RecordDetection(std::move(found), status);
  scanner.CountFound();
}

}  // namespace engine
