#include "common/config.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "common/rc4.h"
#include "platform/file.h"
#include "platform/strings.h"

namespace common {

namespace {

constexpr size_t kReportBufferSize = 99000;

std::mutex report_mu;
ReportSink& CurrentReportSink() {
  static ReportSink* sink = new ReportSink();
  return *sink;
}

bool IsCommentIndicator(char c) { return c == ';' || c == '#'; }

}  // namespace

std::string TrimConfigText(std::string s) {
  size_t first = s.find_first_not_of(kTrimSet);
  if (first == std::string::npos) return std::string();
  size_t last = s.find_last_not_of(kTrimSet);
  return s.substr(first, last - first + 1);
}

std::string CommentText(std::string text) {
  text = TrimConfigText(std::move(text));
  if (text.empty()) return text;
  if (!IsCommentIndicator(text[0])) return std::string(1, kCommentIndicators[0]) + " " + text;
  return text;
}

void Report(int level, const char* format, ...) {
  static const char* const kTags[] = {"<debug>", "<info>", "<warn>",
                                      "<error>", "<fatal>", "<critical>"};
  std::string buffer(kReportBufferSize, '\0');
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer.data(), buffer.size(), format, args);
  va_end(args);
  size_t length = n < 0 ? 0 : std::min(static_cast<size_t>(n), kReportBufferSize - 1);
  buffer.resize(length);
  if (buffer.empty() || (buffer.back() != '\n' && buffer.back() != '\r')) buffer.push_back('\n');
  const char* tag = (level >= 0 && level <= 5) ? kTags[level] : "";
  std::lock_guard<std::mutex> lock(report_mu);
  if (ReportSink& sink = CurrentReportSink()) {
    sink(level, tag + buffer);
    return;
  }
  std::fputs(tag, stdout);
  std::fwrite(buffer.data(), 1, buffer.size(), stdout);
  std::fflush(stdout);
}

void SetReportSink(ReportSink sink) {
  std::lock_guard<std::mutex> lock(report_mu);
  CurrentReportSink() = std::move(sink);
}

CConfig::CConfig()
    : flags_(kAutoCreateSections | kAutoCreateKeys),
      dirty_(false),
      encryptOnSave_(true),
      decryptOnLoad_(true) {
  sections_.push_back(ConfigSection{});
}

CConfig::CConfig(std::string fileName) : CConfig() {
  SetFileName(fileName);
  Load(std::move(fileName));
}

CConfig::~CConfig() {
  if (dirty_) Save();
}

void CConfig::SetFileName(std::string fileName) {
  if (!fileName_.empty() && !platform::EqualsIgnoreCase(fileName_, fileName)) {
    Report(2, "[CConfig::SetFileName] The filename has changed from <%s> to <%s>.",
           fileName_.c_str(), fileName.c_str());
  }
  fileName_ = std::move(fileName);
}

bool CConfig::Load(std::string fileName) {
  platform::File file;
  std::string content;
  if (!file.Open(fileName, platform::kGenericRead, platform::kShareRead | platform::kShareWrite,
                 platform::kOpenExisting) ||
      !file.ReadAll(&content)) {
    Report(1, "[CConfig::Load] Unable to open file. Does it exist?");
    return false;
  }
  file.Close();
  return ParseContent(std::move(content));
}

bool CConfig::ParseContent(std::string content) {
  const uint32_t saved = flags_;
  flags_ |= kAutoCreateSections | kAutoCreateKeys;
  if (decryptOnLoad_) Rc4Crypt(&content);

  std::string section;
  std::string comment;
  size_t start = 0;
  // Only LF-terminated lines count: text after the last LF is ignored.
  for (size_t lf; (lf = content.find('\n', start)) != std::string::npos; start = lf + 1) {
    std::string line = TrimConfigText(content.substr(start, lf - start));
    if (line.empty()) continue;
    if (IsCommentIndicator(line[0])) {
      comment += "\n" + line;
    } else if (line[0] == '[') {
      line.erase(0, 1);
      size_t close = line.rfind(']');
      if (close != std::string::npos) {
        line.erase(close, 1);
      } else {
        // A header without its bracket still names a section: taking the
        // rest of the line keeps the keys below it where they belong
        // instead of dropping the rest of the file.
        Report(2, "[CConfig::Load] Section header <%s> has no closing bracket.", line.c_str());
      }
      CreateSection(line, comment);
      section = line;
      comment.clear();
    } else {
      std::string key, value;
      size_t eq = line.find_first_of(kEqualityIndicators);
      if (eq == std::string::npos) {
        key = line;
      } else {
        key = TrimConfigText(line.substr(0, eq));
        value = line.substr(eq + 1);
      }
      if (!key.empty() && !value.empty()) {
        SetValue(key, value, comment, section);
        comment.clear();
      }
    }
  }
  flags_ = (flags_ & ~(kAutoCreateSections | kAutoCreateKeys)) |
           (saved & (kAutoCreateSections | kAutoCreateKeys));
  return true;
}

std::string CConfig::BuildContent() const {
  std::string text;
  for (const ConfigSection& s : sections_) {
    bool blank_written = false;
    if (!s.comment.empty()) {
      text += "\n" + CommentText(s.comment) + "\n";
      blank_written = true;
    }
    if (!s.name.empty()) {
      if (!blank_written) text += "\n";
      text += "[" + s.name + "]\n";
    }
    for (const ConfigKey& k : s.keys) {
      if (k.key.empty() || k.value.empty()) continue;
      if (!k.comment.empty()) text += "\n" + CommentText(k.comment) + "\n";
      text += k.key + "=" + k.value + "\n";
    }
  }
  if (encryptOnSave_) Rc4Crypt(&text);
  return text;
}

bool CConfig::Save() {
  if (KeyCount() == 0 && sections_.empty()) {
    Report(1, "[CConfig::Save] Nothing to save.");
    return false;
  }
  if (fileName_.empty()) {
    Report(3, "[CConfig::Save] No filename has been set.");
    return false;
  }
  platform::File file;
  if (!file.Open(fileName_, platform::kGenericWrite, platform::kShareNone,
                 platform::kCreateAlways)) {
    Report(3, "[CConfig::Save] Unable to save file.");
    return false;
  }
  // A failed write is a failed save: the object stays dirty.
  if (!file.WriteAll(BuildContent()) || !file.Flush()) {
    Report(3, "[CConfig::Save] Unable to save file.");
    return false;
  }
  file.Close();
  dirty_ = false;
  return true;
}

ConfigSection* CConfig::GetSection(std::string name) {
  for (ConfigSection& s : sections_)
    if (platform::EqualsIgnoreCase(s.name, name)) return &s;
  return nullptr;
}

ConfigKey* CConfig::GetKey(std::string key, std::string section) {
  ConfigSection* s = GetSection(std::move(section));
  if (s == nullptr) return nullptr;
  for (ConfigKey& k : s->keys)
    if (platform::EqualsIgnoreCase(k.key, key)) return &k;
  return nullptr;
}

std::string CConfig::GetValue(std::string key, std::string section) {
  ConfigKey* k = GetKey(std::move(key), std::move(section));
  return k ? k->value : std::string();
}

int32_t CConfig::GetInt(std::string key, std::string section) {
  std::string value = GetValue(std::move(key), std::move(section));
  if (value.empty()) return INT32_MIN;
  // atoi: leading blanks, an optional sign, then digits; clamped rather
  // than overflowing.
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  int64_t n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10 + (value[i] - '0');
    if (n > int64_t{INT32_MAX} + 1) n = int64_t{INT32_MAX} + 1;
  }
  if (negative) n = -n;
  if (n > INT32_MAX) n = INT32_MAX;
  return static_cast<int32_t>(n);
}

bool CConfig::SetValue(std::string key, std::string value, std::string comment,
                       std::string section) {
  ConfigKey* k = GetKey(key, section);
  ConfigSection* s = GetSection(section);
  if (s == nullptr) {
    if (!(flags_ & kAutoCreateSections)) return false;
    CreateSection(section, "");
    s = GetSection(section);
    if (s == nullptr) return false;
  }
  if (k == nullptr) {
    if (value.empty()) return false;
    if (!(flags_ & kAutoCreateKeys)) return false;
    s->keys.push_back(ConfigKey{std::move(key), std::move(value), std::move(comment)});
    dirty_ = true;
    return true;
  }
  k->value = std::move(value);
  k->comment = std::move(comment);
  dirty_ = true;
  return true;
}

bool CConfig::SetInt(std::string key, int32_t value, std::string comment, std::string section) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return SetValue(std::move(key), text, std::move(comment), std::move(section));
}

bool CConfig::SetFloat(std::string key, float value, std::string comment, std::string section) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
  return SetValue(std::move(key), text, std::move(comment), std::move(section));
}

bool CConfig::CreateKey(std::string key, std::string value, std::string comment,
                        std::string section) {
  const uint32_t saved = flags_;
  flags_ |= kAutoCreateKeys;
  bool ok = SetValue(std::move(key), std::move(value), std::move(comment), std::move(section));
  flags_ = (flags_ & ~kAutoCreateKeys) | (saved & kAutoCreateKeys);
  return ok;
}

bool CConfig::CreateSection(std::string name, std::string comment) {
  if (GetSection(name) != nullptr) {
    Report(1, "[CConfig::CreateSection] Section <%s> allready exists. Aborting.", name.c_str());
    return false;
  }
  sections_.push_back(ConfigSection{std::move(name), std::move(comment), {}});
  dirty_ = true;
  return true;
}

bool CConfig::RemoveSection(std::string name) {
  for (auto it = sections_.begin(); it != sections_.end(); ++it) {
    if (platform::EqualsIgnoreCase(it->name, name)) {
      sections_.erase(it);
      dirty_ = true;
      return true;
    }
  }
  return false;
}

int CConfig::KeyCount() const {
  int count = 0;
  for (const ConfigSection& s : sections_) count += static_cast<int>(s.keys.size());
  return count;
}

}  // namespace common
