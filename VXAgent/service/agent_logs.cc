#include "VXAgent/service/agent_logs.h"

#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/scan_history.h"
#include "platform/file.h"
#include "platform/pause.h"
#include "platform/strings.h"
#include "platform/system_info.h"

namespace vxagent {
namespace {

constexpr uint32_t kLinePauseMs = 2;

std::string Trimmed(std::string_view s) { return platform::Trim(s, " \t\r\n"); }

}  // namespace

bool SplitScanLogLine(std::string_view line, ScanLogLine* out) {
  const size_t open = line.find('[');
  if (open == std::string_view::npos) return false;
  const size_t close = line.find(']', open + 1);
  if (close == std::string_view::npos) return false;
  const size_t dash = line.find('-', close + 1);
  if (dash == std::string_view::npos) return false;
  const size_t colon = line.find(':', dash + 1);
  if (colon == std::string_view::npos) return false;
  const size_t lt = line.find('<', colon + 1);
  if (lt == std::string_view::npos) return false;
  const size_t gt = line.find('>', lt + 1);
  if (gt == std::string_view::npos) return false;
  out->dateTime = Trimmed(line.substr(open + 1, close - open - 1));
  out->type = Trimmed(line.substr(dash + 1, colon - dash - 1));
  out->spyName = Trimmed(line.substr(colon + 1, lt - colon - 1));
  out->item = Trimmed(line.substr(lt + 1, gt - lt - 1));
  out->status = Trimmed(line.substr(gt + 1));
  return true;
}

std::string LogMapKey(const ScanLogLine& line) {
  return " [ " + line.dateTime + " ] " + " - " + line.type + " < " + line.spyName + " > " + line.item +
         "#";
}

bool ReadTextLines(const std::string& path, std::vector<std::string>* lines) {
  std::string text;
  if (!platform::ReadFileToString(path, &text)) return false;
  lines->clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(std::move(line));
    start = end + 1;
  }
  return true;
}

std::string LogFolderPath() { return platform::GetSystemDirectory() + "\\" + kLogFolder + "\\"; }

bool WriteLogInMap(const std::string& source, const std::string& target) {
  try {
    std::vector<std::string> lines;
    if (!ReadTextLines(source, &lines)) return false;
    common::StringMap map;
    for (const std::string& text : lines) {
      platform::CourtesyPause(kLinePauseMs);
      ScanLogLine line;
      if (!SplitScanLogLine(text, &line)) continue;
      map[LogMapKey(line)] = line.status;
    }
    if (!common::WriteStringMapFile(target, map, /*truncate=*/false)) {
      DebugLog("Could not create file for store log:" + target);
      return false;
    }
    return true;
  } catch (...) {
    DebugLog("Exception caught in WriteLogInMap");
    return false;
  }
}

void SaveLogFileOnClient() {
  try {
    DebugLog("In SaveLogFileOnClient");
    const std::string folder = LogFolderPath();
    platform::CreateDirectory(folder.substr(0, folder.size() - 1));  // may exist already
    DebugLog("After CreateDirectory!" + folder);
    const std::string section = LastScanSection();
    const std::string scan_log = platform::GetSystemDirectory() + "\\Spywarelog.txt";
    DebugLog("Befor WriteLogInMap");
    if (!WriteLogInMap(scan_log, folder + section + ".txt")) return;  // the scan log stays
    DebugLog("After WriteLogInMap");
    DebugLog("Befor Deleting:" + scan_log);
    platform::SetFileAttributes(scan_log, platform::kAttrArchive);
    platform::DeleteFile(scan_log);
    DebugLog("After Deleting:" + scan_log);
  } catch (...) {
    DebugLog("Exception caught in SaveLogFileOnClient");
  }
}

}  // namespace vxagent
