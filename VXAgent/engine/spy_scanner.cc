#include "VXAgent/engine/spy_scanner.h"

#include <algorithm>
#include <cstdio>

#include "VXAgent/engine/spy_database.h"
#include "VXAgent/engine/trace_syntax.h"
#include "common/dates.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/folder_list.h"
#include "platform/host.h"
#include "platform/pause.h"
#include "platform/strings.h"

namespace engine {
namespace {

constexpr uint32_t kPhasePauseMs = 1000;
constexpr uint32_t kLoadPauseMs = 2;
constexpr int kSpiesPerPause = 10;

std::string SystemFolder() {
  const platform::Host* host = platform::Host::Current();
  return host ? host->system_dir() : std::string();
}

// Appends `line` to a file of the system folder, creating it; a file that
// cannot be opened drops the line.
void AppendLine(const char* file_name, const std::string& line) {
  platform::File file;
  if (!file.Open(SystemFolder() + "\\" + file_name, platform::kGenericWrite,
                 platform::kShareRead | platform::kShareWrite, platform::kOpenAlways))
    return;
  if (file.Seek(0, platform::kSeekEnd)) file.WriteAll(line + "\r\n");
}

std::string DayStamp(const platform::LocalTime& t) { return " On [ " + common::DayText(t) + " "; }

}  // namespace

std::string ScanCountsLine(int cookies, int processes, int files, int folders, int reg_keys,
                           int reg_values, int reg_data) {
  char line[200];
  std::snprintf(line, sizeof(line),
                "Cookies :%d,Processes :%d,Files: %d,Folders: %d,RegKey: %d:RegVal: %d,RegData: %d",
                cookies, processes, files, folders, reg_keys, reg_values, reg_data);
  return line;
}

CSpyScanner::CSpyScanner()
    : processes_(std::make_unique<CProcessList>()),
      cookies_(std::make_unique<CCookieList>()),
      files_(std::make_unique<CFileList>()),
      folders_(std::make_unique<CFolderList>()),
      reg_keys_(std::make_unique<CRegKeyList>()),
      reg_values_(std::make_unique<CRegValueList>()),
      reg_data_(std::make_unique<CRegDataList>()) {}

CSpyScanner::~CSpyScanner() = default;

void CSpyScanner::set_restart_map(RestartDeleteMap* map) {
  for (CSpyItemList* list : std::initializer_list<CSpyItemList*>{
           processes_.get(), cookies_.get(), files_.get(), folders_.get(), reg_keys_.get(),
           reg_values_.get(), reg_data_.get()})
    list->set_restart_map(map);
}

void CSpyScanner::RecordDetection(std::unique_ptr<CSpyItem> trace, const std::string&) {
  found_.push_back(std::move(trace));
}

bool CSpyScanner::TakeFirstDetectionPending() {
  bool pending = firstDetectionPending;
  firstDetectionPending = false;
  return pending;
}

bool CSpyScanner::AnnounceDetection(const std::string& text) {
  if (!pipe_) return false;
  std::string message = text.empty() ? "[" + computerName + "] Spywares found." : text;
  std::string record(kAnnouncementSize, '\0');
  message.copy(record.data(), std::min(message.size(), kAnnouncementSize - 1));
  pipe_->WriteRecord(record);
  return true;
}

void CSpyScanner::TraceLine(const std::string& first, const std::string& second) {
  platform::LocalTime t = platform::GetLocalTime();
  char clock[48];
  std::snprintf(clock, sizeof(clock), "%d:%d:%d %s ] - ", t.hour < 12 ? t.hour : t.hour - 12,
                t.minute, t.second, t.hour < 12 ? "AM" : "PM");
  AppendLine(kTraceLogFile, DayStamp(t) + clock + " " + first + " " + second);
}

void CReportingScanner::RecordDetection(std::unique_ptr<CSpyItem> trace, const std::string& status) {
  platform::LocalTime t = platform::GetLocalTime();
  AppendLine(kSpywareLogFile, DayStamp(t) + common::TimeText(t) + " ] - " + trace->GetTypeName() +
                                  ":" + trace->spy_name() + " <" + trace->trace() + ">" + status);
  CSpyScanner::RecordDetection(std::move(trace), status);
}

void CSpyScanner::RunSpyScan(bool fullScan, ScanPipe* pipe, const std::string& name, int action) {
  platform::WriteStringToFile(SystemFolder() + "\\" + kSpywareLogFile, "");
  computerName = name;
  pipe_ = pipe;
  otherDrives.clear();
  const std::string system_dir = SystemFolder();
  const std::string system_drive = system_dir.substr(0, system_dir.find('\\'));
  if (const platform::Host* host = platform::Host::Current()) {
    for (const platform::Drive& drive : host->drives()) {
      std::string root = std::string(1, drive.letter) + ":\\";
      if (drive.type == platform::DriveType::kFixed && root.find(system_drive) == std::string::npos)
        otherDrives += root + ",";
    }
  }
  restartRequired = false;
  foundCount = deletedCount = quarantinedCount = 0;
  deepScan = fullScan;
  action_ = action;
  LoadSpyDatabase();

  int counts[7] = {};  // cookies, processes, files, folders, keys, values, data
  auto phase = [&](const char* line, CSpyItemList* list, int* count) {
    TraceLine("", line);
    int before = foundCount;
    if (list)
      list->Scan(*this, action_);
    else
      DeepScan();
    *count += foundCount - before;
    platform::CourtesyPause(kPhasePauseMs);
  };
  phase("Start Cookie scanning", cookies_.get(), &counts[0]);
  phase("Start process scanning", processes_.get(), &counts[1]);
  if (deepScan) phase("Start Deep scanning", nullptr, &counts[2]);
  phase("Start File scanning", files_.get(), &counts[2]);
  phase("start Folder scanning", folders_.get(), &counts[3]);
  phase("start RegData scan", reg_data_.get(), &counts[6]);
  phase("start Regval scanning", reg_values_.get(), &counts[5]);
  phase("start Regkey scanning", reg_keys_.get(), &counts[4]);
  TraceLine("", "Start DONE scanning");
  TraceLine("", ScanCountsLine(counts[0], counts[1], counts[2], counts[3], counts[4], counts[5],
                               counts[6]));
  platform::CourtesyPause(kPhasePauseMs);
}

void CSpyScanner::LoadSpyDatabase() {
  TraceLine("", "Starting to load");
  auto map = std::make_unique<SpyMap>();
  ReadSpyDatabase(map.get());
  auto excluded = std::make_unique<ExcludeList>();
  for (const std::string& name : excluded->names()) map->erase(name);
  TraceLine("", "Befor second for loop");
  int visited = 0;
  for (const auto& [name, spy] : *map) {
    if (visited > 0 && visited % kSpiesPerPause == 0) platform::CourtesyPause(kLoadPauseMs);
    ++visited;
    if (!spy) continue;
    processes_->AddDefinitions(name, spy->processes);
    cookies_->AddDefinitions(name, spy->cookies);
    files_->AddDefinitions(name, spy->files);
    folders_->AddDefinitions(name, spy->folders);
    reg_keys_->AddDefinitions(name, spy->regKeys);
    reg_values_->AddDefinitions(name, spy->regValues);
    processes_->AddExecutableFiles(name, spy->files);
    reg_data_->AddDefinitions(name, spy->regData);
  }
  TraceLine("", "Done loading");
  excluded.reset();  // writes the list back
  map.reset();
}

void CSpyScanner::DeepScan() {
  for (const std::string& root : platform::Split(otherDrives, ',')) WalkDirectory(root);
}

void CSpyScanner::WalkDirectory(const std::string& path_in) {
  std::string path = platform::TrimBlanks(path_in);
  if (path.empty()) return;
  if (path.back() == '\\') path.pop_back();
  // The drive-less part starts at the same place for every entry here.
  const size_t colon = path.find(':');
  const size_t driveless_start = colon == std::string::npos ? 0 : colon + 2;
  std::string full = path + "\\";
  const size_t name_start = full.size();
  auto driveless = [&] {
    return std::string_view(full).substr(std::min(driveless_start, full.size()));
  };
  // Entries are visited in the file system's order; only the folders and
  // the files the index holds have anything to do, and only they are put
  // into FindFile's order, which the detections then follow.
  struct Pending {
    std::string name;
    bool directory;
  };
  std::vector<Pending> pending;
  if (!platform::VisitFolder(full, [&](std::string_view name, bool directory) {
        if (!directory) {
          full.resize(name_start);
          full.append(name);
          if (!files_->HoldsTemplate(driveless())) return;
        }
        pending.push_back({std::string(name), directory});
      }))
    return;
  std::sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
    return platform::FindFileOrderLess(a.name, b.name);
  });
  for (const auto& entry : pending) {
    full.resize(name_start);
    full.append(entry.name);
    const std::string key(driveless());
    if (entry.directory) {
      folders_->CheckDeepMatch(key, full, *this);
      WalkDirectory(full);
    } else {
      files_->CheckDeepMatch(key, full, *this);
    }
  }
}

}  // namespace engine
