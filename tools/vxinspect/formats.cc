#include "tools/vxinspect/formats.h"

namespace vxinspect {

const std::vector<Format>& Formats() {
  static const std::vector<Format> formats = {
      {"stringmap", "string map file", ProbeStringMap, InspectStringMap},
      {"config", "sectioned config file", ProbeConfig, InspectConfig},
      {"scanhistory", "agent scan history (ScanHistory.ini)", ProbeScanHistory, InspectScanHistory},
      {"scanlog", "agent per-scan log (LogFolder file)", ProbeScanLog, InspectScanLog},
      {"signatures", "signature report (SpySignatures.txt)", ProbeSignatures, InspectSignatures},
  };
  return formats;
}

const Format* FindFormat(std::string_view name) {
  for (const Format& f : Formats())
    if (name == f.name) return &f;
  return nullptr;
}

const Format* GuessFormat(std::string_view bytes) {
  const Format* best = nullptr;
  int best_score = 0;
  for (const Format& f : Formats()) {
    int score = f.probe(bytes);
    if (score > best_score) {
      best = &f;
      best_score = score;
    }
  }
  return best;
}

}  // namespace vxinspect
