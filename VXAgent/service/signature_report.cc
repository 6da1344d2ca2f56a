#include "VXAgent/service/signature_report.h"

#include <set>

#include "VXAgent/service/agent_logs.h"
#include "VXAgent/service/debug_log.h"
#include "platform/dynlib.h"
#include "platform/file.h"
#include "platform/strings.h"
#include "platform/system_info.h"

namespace vxagent {
namespace {

// A file that cannot be opened still counts this size when it is a program:
// its image may be locked by the running process.
constexpr uint64_t kLockedProgramSize = 17;
constexpr uint64_t kMinimumSize = 16;

bool EndsInExe(const std::string& path) {
  const size_t dot = path.rfind('.');
  return dot != std::string::npos && platform::EqualsIgnoreCase(path.substr(dot + 1), "exe");
}

// The file's size as the report counts it; false when it is left out.
bool ReportedSize(const std::string& path, uint64_t* size) {
  platform::File file;
  if (file.Open(path, platform::kGenericRead, platform::kShareRead | platform::kShareWrite,
                platform::kOpenExisting) &&
      file.GetSize(size))
    return true;
  if (!EndsInExe(path)) return false;
  *size = kLockedProgramSize;
  return true;
}

}  // namespace

std::string SpySignaturesPath() { return platform::GetSystemDirectory() + "\\" + kSpySignaturesFile; }

void CreateReportCE() {
  try {
    std::vector<std::string> lines;
    const bool opened =
        ReadTextLines(platform::GetSystemDirectory() + "\\SpywareLog.txt", &lines);
    DebugLog("In CreateReportCE: after opening SpywareLog.txt file");
    DebugLog("In CreateReportCE: after CArchive::load");
    if (!opened) return;
    std::vector<std::string> paths, names;
    std::set<std::string> seen;
    for (const std::string& text : lines) {
      ScanLogLine line;
      if (!SplitScanLogLine(text, &line)) continue;
      if (line.type != "File" && line.type != "Process") continue;
      if (!seen.insert(line.item).second) continue;
      paths.push_back(line.item);
      names.push_back(line.spyName);
    }
    if (paths.empty()) return;
    DebugLog("In CreateReportCE: before createReport");
    createReport(paths, names);
    DebugLog("In CreateReportCE: After createReport");
  } catch (...) {
    DebugLog("Exception caught in CreateReportCE");
  }
}

int createReport(const std::vector<std::string>& paths, const std::vector<std::string>& names) {
  try {
    // Loaded once per report and kept: the library may hold state of its own.
    platform::ModuleHandle library = platform::LoadLibrary(kImprinterLibrary);
    DebugLog("In createReport: After LoadLibrary");
    if (library == nullptr) {
      DebugLog("hinstDLL == NULL!");
      return 1;
    }
    auto create_signature =
        reinterpret_cast<CreateSignatureFn>(platform::GetProcAddress(library, kCreateSignatureExport));
    DebugLog("In createReport: After GetProcAddress");
    if (create_signature == nullptr) {
      DebugLog("CreateSignature ==  NULL !");
      return 1;
    }
    platform::File report;
    const bool created = report.Open(SpySignaturesPath(), platform::kGenericWrite, platform::kShareRead,
                                     platform::kCreateAlways);
    DebugLog("In createReport: After Create SpySignatures.txt");
    DebugLog("In createReport: After CArchive::store");
    if (!created) return 0;
    for (size_t i = 0; i < paths.size() && i < names.size(); ++i) {
      const std::string& path = paths[i];
      const uint32_t attributes = platform::GetFileAttributes(path);
      if (attributes != platform::kInvalidFileAttributes && (attributes & platform::kAttrReadOnly))
        platform::SetFileAttributes(path, attributes & ~platform::kAttrReadOnly);
      uint64_t size = 0;
      if (!ReportedSize(path, &size) || size < kMinimumSize) continue;
      // Zeroed and cut at its end, so that a library that writes nothing or
      // too much never puts stray bytes into the report.
      char signature[kSignatureBufferSize] = {};
      create_signature(path.c_str(), 0, signature);
      signature[kSignatureBufferSize - 1] = '\0';
      report.WriteAll(names[i] + "#@#" + path + "#@#" + signature + "\n");
    }
    DebugLog("In createReport: After Createing Signature");
    return 0;
  } catch (...) {
    DebugLog("Exception caught in creating report!");
    return 0;
  }
}

}  // namespace vxagent
