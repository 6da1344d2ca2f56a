// The agent's answer to one version request on RemoteAdminCheckVersionPipe:
// register the console's versions, or compare the console's product or
// database version with the one registered on this PC.
#pragma once

#include <string>

#include "VXAgent/pipes/records.h"

namespace vxagent {

inline constexpr const char* kAgentKey = "Software\\VXCorporate";

// Decides the reply text for `request`, reading and writing the versions
// under HKLM\Software\VXCorporate. Versions compare as their leading
// decimal numbers (5.1 equals 5.10 and 5.1.7); a different database
// version is answered with the stored text and then replaced by the
// console's, so the console copies the new databases once.
std::string AnswerVersionCheck(const records::VersionCheckRequest& request);

// The leading decimal number of a version text, 0.0 when there is none.
double LeadingNumber(const std::string& text);

}  // namespace vxagent
