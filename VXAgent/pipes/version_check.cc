#include "VXAgent/pipes/version_check.h"

#include <cstdlib>

#include "platform/registry.h"

namespace vxagent {
namespace {

constexpr const char* kCannotRead = "Could not read the client version!";
constexpr const char* kCannotWrite = "Could not write the client version!";
constexpr uint32_t kStoredVersionMax = 1024;

}  // namespace

double LeadingNumber(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

std::string AnswerVersionCheck(const records::VersionCheckRequest& request) {
  platform::RegKey key;
  if (request.mode != 0) {
    if (key.Create(platform::RootKey::kLocalMachine, kAgentKey, platform::kKeyAllAccess) != 0)
      return kCannotWrite;
    key.WriteString("ClientVersionNo", request.product);
    key.WriteString("ClientDatabaseVersionNo", request.database);
    return "Success";
  }
  if (key.Open(platform::RootKey::kLocalMachine, kAgentKey, platform::kKeyRead | platform::kKeyWrite) != 0)
    return kCannotRead;
  const bool database = request.check != 0;
  const char* value = database ? "ClientDatabaseVersionNo" : "ClientVersionNo";
  const std::string& console = database ? request.database : request.product;
  std::string stored;
  if (key.ReadString(value, &stored) != 0) return kCannotRead;
  if (stored.size() >= kStoredVersionMax) stored.resize(kStoredVersionMax - 1);
  if (LeadingNumber(stored) == LeadingNumber(console)) return "Same Versions";
  if (database) key.WriteString(value, console);
  // An empty stored text would leave the reply empty.
  if (stored.empty()) return kCannotRead;
  if (stored.size() >= records::kReplyLineSize) stored.resize(records::kReplyLineSize - 1);
  return stored;
}

}  // namespace vxagent
