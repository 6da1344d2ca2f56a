// `CConfig`: an ordered, sectioned key/value text file in the manner of an
// INI file, held in memory and written back as a whole (optionally
// enciphered with `Rc4Crypt`). The agent writes ScanHistory.ini through it
// and the console reads the copies with the same class, so the text it
// produces is fixed byte for byte:
//
//   for each section in list order
//     [LF CommentText(comment) LF]          when the section has a comment
//     [LF] "[" name "]" LF                  when the name is not empty (the
//                                           LF only if no comment was written)
//     for each key whose key and value are both non-empty
//       [LF CommentText(comment) LF] key "=" value LF
//
// Section and key names compare ASCII case-insensitively; the first match
// in list order wins. Diagnostics go to standard output through Report.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <string>

namespace common {

struct ConfigKey {
  std::string key;
  std::string value;
  std::string comment;
};

struct ConfigSection {
  std::string name;      // "" is the unnamed leading section
  std::string comment;   // may span several lines
  std::list<ConfigKey> keys;
};

// The fixed character classes of the format.
inline constexpr char kCommentIndicators[] = ";#";
inline constexpr char kEqualityIndicators[] = "=:";
inline constexpr char kWhiteSpace[] = " \t\n\r";
inline constexpr char kTrimSet[] = " \t\n\r=:";

// Removes every character of the trim set at the start, then at the end.
std::string TrimConfigText(std::string s);
// The comment as written: trimmed, "" when empty, prefixed with "; " unless
// it already starts with a comment indicator.
std::string CommentText(std::string text);

// Formats like printf into a 99,000-byte buffer (longer text is cut), adds
// a LF unless the text ends in LF or CR, and writes the level tag followed
// by the text to standard output. Levels 0-5: "<debug>", "<info>",
// "<warn>", "<error>", "<fatal>", "<critical>".
void Report(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Where Report lines go instead of standard output (tools that print their
// own output there collect them); `line` is the tagged text with its line
// end. An empty function restores standard output. Process-wide.
using ReportSink = std::function<void(int level, const std::string& line)>;
void SetReportSink(ReportSink sink);

class CConfig {
 public:
  enum Flag : uint32_t {
    kAutoCreateSections = 2,  // SetValue creates a missing section
    kAutoCreateKeys = 4,      // SetValue creates a missing key
  };

  // Flags 6, one unnamed section, no file name, not dirty, both cipher
  // switches on.
  CConfig();
  // The same, then SetFileName and Load of `fileName`.
  explicit CConfig(std::string fileName);
  // Saves when something changed since the last load or save.
  virtual ~CConfig();
  CConfig(const CConfig&) = delete;
  CConfig& operator=(const CConfig&) = delete;

  void SetEncryptOnSave(bool on) { encryptOnSave_ = on; }
  void SetDecryptOnLoad(bool on) { decryptOnLoad_ = on; }
  // Reports at level 2 when a different name (ignoring case) was set.
  void SetFileName(std::string fileName);

  // Reads the file at the Windows path and adds what it holds to what is
  // in memory (nothing is cleared). Does not change the stored file name.
  // False, object unchanged, when the file cannot be opened or read.
  bool Load(std::string fileName);
  // Writes the whole object to the stored file name (create or truncate).
  bool Save();

  // The parsing and building halves of Load and Save, for callers that
  // hold the bytes themselves. ParseContent deciphers first when
  // decryptOnLoad is set; BuildContent enciphers when encryptOnSave is set.
  // ParseContent always succeeds: see the .cc for the malformed lines.
  bool ParseContent(std::string content);
  std::string BuildContent() const;

  ConfigSection* GetSection(std::string name);
  ConfigKey* GetKey(std::string key, std::string section);
  std::string GetValue(std::string key, std::string section);
  // atoi of the value; INT32_MIN when the value is empty or missing.
  int32_t GetInt(std::string key, std::string section);

  bool SetValue(std::string key, std::string value, std::string comment, std::string section);
  bool SetInt(std::string key, int32_t value, std::string comment, std::string section);
  bool SetFloat(std::string key, float value, std::string comment, std::string section);
  // SetValue with kAutoCreateKeys forced on for this call.
  bool CreateKey(std::string key, std::string value, std::string comment, std::string section);
  // False (reported at level 1) when a section of that name exists.
  bool CreateSection(std::string name, std::string comment);
  bool RemoveSection(std::string name);
  int KeyCount() const;

  uint32_t flags() const { return flags_; }
  void set_flags(uint32_t flags) { flags_ = flags; }
  const std::list<ConfigSection>& sections() const { return sections_; }
  const std::string& fileName() const { return fileName_; }
  bool dirty() const { return dirty_; }
  bool encryptOnSave() const { return encryptOnSave_; }
  bool decryptOnLoad() const { return decryptOnLoad_; }

 private:
  uint32_t flags_;
  std::list<ConfigSection> sections_;
  std::string fileName_;
  bool dirty_;
  bool encryptOnSave_;
  bool decryptOnLoad_;
};

}  // namespace common
