#include "VXAgent/pipes/records.h"

#include <algorithm>
#include <cstring>

namespace vxagent::records {
namespace {

std::string TrimRecordText(std::string_view s) {
  const char* kBlanks = " \t\r\n";
  size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(kBlanks);
  return std::string(s.substr(b, e - b + 1));
}

}  // namespace

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

std::string FieldText(const uint8_t* p, size_t size) {
  const void* nul = std::memchr(p, 0, size);
  size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : size;
  return std::string(reinterpret_cast<const char*>(p), n);
}

void PutFieldText(uint8_t* p, size_t size, std::string_view text) {
  if (size == 0) return;
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(p, text.data(), n);
  std::memset(p + n, 0, size - n);
}

Bytes Encode(const SCommand& c) {
  Bytes b(kSCommandSize, 0);
  WriteLe32(b.data(), c.bThreadExit);
  return b;
}

bool Decode(const uint8_t* data, size_t size, SCommand* out) {
  if (size < kSCommandSize) return false;
  out->bThreadExit = ReadLe32(data);
  return true;
}

Bytes Encode(const VersionCheckRequest& r) {
  Bytes b(kVersionCheckRequestSize, 0);
  b[0] = r.mode;
  PutFieldText(&b[1], kVersionTextSize, r.product);
  PutFieldText(&b[1 + kVersionTextSize], kVersionTextSize, r.database);
  b[521] = r.check;
  return b;
}

bool Decode(const uint8_t* data, size_t size, VersionCheckRequest* out) {
  if (size == 0) return false;
  // The agent reads into a zeroed 522-byte buffer, so a short record leaves
  // the missing fields empty.
  uint8_t buf[kVersionCheckRequestSize] = {};
  std::memcpy(buf, data, std::min(size, kVersionCheckRequestSize));
  VersionCheckRequest r;
  r.mode = buf[0];
  r.product = FieldText(&buf[1], kVersionTextSize);
  r.database = FieldText(&buf[1 + kVersionTextSize], kVersionTextSize);
  r.check = buf[521];
  *out = std::move(r);
  return true;
}

Bytes Encode(const ScanParameters& p) {
  Bytes b(kScanParametersSize, 0);
  b[0] = p.scan_kind;
  WriteLe32(&b[4], p.on_detection);
  return b;
}

bool Decode(const uint8_t* data, size_t size, ScanParameters* out) {
  if (size < kScanParametersSize) return false;
  out->scan_kind = data[0];
  out->on_detection = ReadLe32(data + 4);
  return true;
}

Bytes Encode(const ScheduleInfo& s) {
  Bytes b(kScheduleInfoSize, 0);
  WriteLe32(&b[0], s.scan_kind);
  WriteLe32(&b[4], s.on_detection);
  WriteLe32(&b[8], s.day);
  uint64_t t = static_cast<uint64_t>(s.time);
  WriteLe32(&b[12], static_cast<uint32_t>(t));
  WriteLe32(&b[16], static_cast<uint32_t>(t >> 32));
  return b;
}

bool Decode(const uint8_t* data, size_t size, ScheduleInfo* out) {
  if (size < kScheduleInfoSize) return false;
  out->scan_kind = ReadLe32(data);
  out->on_detection = ReadLe32(data + 4);
  out->day = ReadLe32(data + 8);
  uint64_t t = static_cast<uint64_t>(ReadLe32(data + 12)) |
               static_cast<uint64_t>(ReadLe32(data + 16)) << 32;
  out->time = static_cast<int64_t>(t);
  return true;
}

Bytes Encode(const OptionsRequest& r) {
  Bytes b(kOptionsRequestSize, 0);
  WriteLe32(&b[0], r.operation);
  PutFieldText(&b[4], kOptionsHostSize, r.host);
  return b;
}

bool Decode(const uint8_t* data, size_t size, OptionsRequest* out) {
  if (size < kOptionsRequestSize) return false;
  out->operation = ReadLe32(data);
  out->host = FieldText(data + 4, kOptionsHostSize);
  return true;
}

Bytes EncodeLine(std::string_view text) {
  Bytes b(kReplyLineSize, 0);
  PutFieldText(b.data(), b.size(), text);
  return b;
}

std::string LineText(const uint8_t* data, size_t size) { return FieldText(data, size); }

std::string BuildSpyOperationText(std::string_view type, std::string_view spy,
                                  std::string_view item, std::string_view operation) {
  std::string s = " [ ";
  s.append(type);
  s += " ] ";
  s += " < ";
  s.append(spy);
  s += " > ";
  s.append(item);
  s += "#";
  s.append(operation);
  return s;
}

SpyOperation SplitSpyOperation(std::string_view text) {
  SpyOperation op;
  size_t open = text.find('[');
  size_t after_type = std::string_view::npos;
  if (open != std::string_view::npos) {
    size_t close = text.find(']', open + 1);
    op.type = TrimRecordText(text.substr(open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1));
    after_type = close == std::string_view::npos ? text.size() : close + 1;
  }
  size_t hash = text.rfind('#');
  if (hash != std::string_view::npos) op.operation = TrimRecordText(text.substr(hash + 1));
  size_t name_end = std::string_view::npos;
  if (after_type != std::string_view::npos) {
    size_t lt = text.find('<', after_type);
    if (lt != std::string_view::npos) {
      size_t gt = text.find('>', lt + 1);
      op.spy = TrimRecordText(text.substr(lt + 1, gt == std::string_view::npos ? std::string_view::npos : gt - lt - 1));
      name_end = gt;
    }
  }
  if (name_end != std::string_view::npos && hash != std::string_view::npos && hash > name_end)
    op.item = TrimRecordText(text.substr(name_end + 1, hash - name_end - 1));
  return op;
}

}  // namespace vxagent::records
