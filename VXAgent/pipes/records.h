// The records that cross the remote-admin pipes between the console and
// the agent (and the uninstaller). Every record has a fixed size and fixed
// offsets; integers are 32-bit little-endian unless stated, texts are
// single-byte and NUL-terminated inside their field. Encoders zero-fill
// every byte they do not set; decoders check the size they are given and
// read only within it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vxagent::records {

// Pipe names (last component of "\\.\pipe\<name>" / "\\HOST\pipe\<name>").
inline constexpr const char* kCheckVersionPipe = "RemoteAdminCheckVersionPipe";
inline constexpr const char* kScanPipe = "RemoteAdminScanPipe";
inline constexpr const char* kScheduleScanPipe = "RemoteAdminScheduleScanPipe";
inline constexpr const char* kOptionsPipe = "RemoteAdminOptionsPipe";
inline constexpr const char* kLogPipe = "RemoteAdminLogPipe";
inline constexpr const char* kUninstallPipe = "UninstallPipe";

inline constexpr size_t kSCommandSize = 4;
inline constexpr size_t kVersionCheckRequestSize = 522;
inline constexpr size_t kScanParametersSize = 8;
inline constexpr size_t kOperCmdSize = 4;
inline constexpr size_t kScheduleInfoSize = 20;
inline constexpr size_t kOptionsRequestSize = 104;
inline constexpr size_t kLogCommandSize = 260;
inline constexpr size_t kReplyLineSize = 260;
inline constexpr size_t kSpyOperationMaxSize = 1024;  // text + NUL
inline constexpr size_t kVersionTextSize = 260;
inline constexpr size_t kOptionsHostSize = 100;

using Bytes = std::vector<uint8_t>;

uint32_t ReadLe32(const uint8_t* p);
void WriteLe32(uint8_t* p, uint32_t v);

// The text of a fixed field: bytes up to the first NUL (or the whole field).
std::string FieldText(const uint8_t* p, size_t size);
// Copies `text` into a field of `size` bytes, cut to size-1 and NUL-ended.
void PutFieldText(uint8_t* p, size_t size, std::string_view text);

// First record on every agent pipe. bThreadExit 1 ends the exchange at
// once; any other value means "go on".
struct SCommand {
  uint32_t bThreadExit = 0;
};
Bytes Encode(const SCommand& c);
bool Decode(const uint8_t* data, size_t size, SCommand* out);

struct VersionCheckRequest {
  uint8_t mode = 0;           // non-zero: register the versions; 0: compare
  std::string product;        // console product version text
  std::string database;       // console database version text
  uint8_t check = 0;          // compare mode: 0 product, non-zero database
};
Bytes Encode(const VersionCheckRequest& r);
// Accepts a short record the way the agent's one read does: fields past the
// end read as empty/zero. False only for an empty buffer.
bool Decode(const uint8_t* data, size_t size, VersionCheckRequest* out);

struct ScanParameters {
  uint8_t scan_kind = 0;      // 0 quick, 1 full; only this byte counts
  uint32_t on_detection = 0;  // 0 log, 1 delete, 2 quarantine
};
Bytes Encode(const ScanParameters& p);
bool Decode(const uint8_t* data, size_t size, ScanParameters* out);

struct ScheduleInfo {
  uint32_t scan_kind = 0;     // 0 quick, other full
  uint32_t on_detection = 0;
  uint32_t day = 8;           // 1 Sunday .. 7 Saturday, 8 every day
  int64_t time = 0;           // seconds since 1970 UTC; local hour:minute used
};
Bytes Encode(const ScheduleInfo& s);
bool Decode(const uint8_t* data, size_t size, ScheduleInfo* out);

struct OptionsRequest {
  uint32_t operation = 0;     // 0 update, 1 enable, 2 disable, 3 uninstall prep, 4 check
  std::string host;           // the client's name as the console shows it
};
Bytes Encode(const OptionsRequest& r);
bool Decode(const uint8_t* data, size_t size, OptionsRequest* out);

// A 260-byte record holding `text` NUL-terminated and zero-filled: replies
// and the log pipe's "SPYOPERATION"/"ENDOFRECORDS" commands.
Bytes EncodeLine(std::string_view text);
// The text of a received record up to its first NUL.
std::string LineText(const uint8_t* data, size_t size);

// " [ type ] " + " < spy > " + item + "#" + operation, sent with its NUL.
std::string BuildSpyOperationText(std::string_view type, std::string_view spy,
                                  std::string_view item, std::string_view operation);

struct SpyOperation {
  std::string type;
  std::string spy;
  std::string item;
  std::string operation;
};
// Cuts a received record the agent's way: type between the first "[" and
// the next "]", spy between the next "<" and ">", operation after the last
// "#", item between that ">" and the last "#"; each trimmed of blanks, tabs
// and line breaks. Missing delimiters leave the pieces empty.
SpyOperation SplitSpyOperation(std::string_view text);

}  // namespace vxagent::records
