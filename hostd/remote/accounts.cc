#include "hostd/remote/accounts.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/host.h"
#include "platform/ini_file.h"
#include "platform/strings.h"

namespace hostd {
namespace {

constexpr const char* kScheme = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
// Keeps a forged file from making every logon spin for minutes.
constexpr uint32_t kMaxIterations = 10000000;

std::string Hex(const unsigned char* p, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kHex[p[i] >> 4]);
    out.push_back(kHex[p[i] & 15]);
  }
  return out;
}

bool Unhex(const std::string& s, std::string* out) {
  if (s.size() % 2) return false;
  std::string r;
  for (size_t i = 0; i < s.size(); i += 2) {
    auto nib = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = nib(s[i]), lo = nib(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    r.push_back(static_cast<char>(hi * 16 + lo));
  }
  *out = r;
  return true;
}

bool Derive(const std::string& password, const std::string& salt, uint32_t iterations,
            unsigned char* out) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                           reinterpret_cast<const unsigned char*>(salt.data()),
                           static_cast<int>(salt.size()), static_cast<int>(iterations),
                           EVP_sha256(), kHashBytes, out) == 1;
}

std::string JoinGroups(const std::vector<std::string>& groups, char sep) {
  std::string out;
  for (const auto& g : groups) {
    if (!out.empty()) out.push_back(sep);
    out += g;
  }
  return out;
}

bool ReadText(const std::string& path, std::string* text, bool* missing) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *missing = errno == ENOENT;
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  *text = ss.str();
  return true;
}

bool WriteAtomically(const std::string& path, const std::string& text, mode_t mode,
                     std::string* error) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    if (error) *error = tmp + ": " + std::strerror(errno);
    return false;
  }
  ::fchmod(fd, mode);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = tmp + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  ::fsync(fd);
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    if (error) *error = path + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool IsValidAccountName(const std::string& name) {
  if (name.empty() || name.size() > 20) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || std::strchr("\"/\\[]:;|=,+*?<>", c)) return false;
  }
  return name != "." && name != "..";
}

bool IsAdministrator(const std::vector<std::string>& groups) {
  for (const auto& g : groups)
    if (platform::EqualsIgnoreCase(g, "Administrators")) return true;
  return false;
}

std::string HashPassword(const std::string& password, uint32_t iterations) {
  unsigned char salt[kSaltBytes];
  if (RAND_bytes(salt, sizeof salt) != 1) return {};
  unsigned char hash[kHashBytes];
  std::string salt_text(reinterpret_cast<char*>(salt), sizeof salt);
  if (!Derive(password, salt_text, iterations, hash)) return {};
  return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + Hex(salt, sizeof salt) +
         "$" + Hex(hash, sizeof hash);
}

bool VerifyPassword(const std::string& password, const std::string& stored) {
  auto parts = platform::Split(stored, '$');
  if (parts.size() != 4 || parts[0] != kScheme) return false;
  char* end = nullptr;
  unsigned long iterations = std::strtoul(parts[1].c_str(), &end, 10);
  if (parts[1].empty() || *end || iterations == 0 || iterations > kMaxIterations) return false;
  std::string salt, expected;
  if (!Unhex(parts[2], &salt) || !Unhex(parts[3], &expected) || salt.empty() ||
      expected.size() != kHashBytes)
    return false;
  unsigned char hash[kHashBytes];
  if (!Derive(password, salt, static_cast<uint32_t>(iterations), hash)) return false;
  return CRYPTO_memcmp(hash, expected.data(), kHashBytes) == 0;
}

bool AccountsFile::Load(const std::string& path, AccountsFile* out, std::string* error) {
  std::string text;
  bool missing = false;
  if (!ReadText(path, &text, &missing)) {
    if (missing) {
      *out = AccountsFile();
      return true;
    }
    if (error) *error = path + ": cannot be read";
    return false;
  }
  AccountsFile result;
  size_t line_no = 0;
  for (const auto& raw : platform::Split(text, '\n')) {
    ++line_no;
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    auto fields = platform::Split(line, ':');
    if (fields.size() != 3 || !IsValidAccountName(fields[0])) {
      if (error) *error = path + ": line " + std::to_string(line_no) + ": expected NAME:GROUPS:HASH";
      return false;
    }
    Account a;
    a.name = fields[0];
    for (const auto& g : platform::Split(fields[1], ','))
      if (!g.empty()) a.groups.push_back(g);
    a.password_hash = fields[2];
    result.Put(a);
  }
  *out = std::move(result);
  return true;
}

bool AccountsFile::Save(const std::string& path, std::string* error) const {
  std::string text = "# name:groups:password hash (vxhost user ...)\n";
  for (const auto& a : accounts_) text += a.name + ":" + JoinGroups(a.groups, ',') + ":" + a.password_hash + "\n";
  return WriteAtomically(path, text, 0600, error);
}

const Account* AccountsFile::Find(const std::string& name) const {
  for (const auto& a : accounts_)
    if (platform::EqualsIgnoreCase(a.name, name)) return &a;
  return nullptr;
}

void AccountsFile::Put(const Account& account) {
  for (auto& a : accounts_) {
    if (platform::EqualsIgnoreCase(a.name, account.name)) {
      a = account;
      return;
    }
  }
  accounts_.push_back(account);
}

bool AccountsFile::Remove(const std::string& name) {
  for (auto it = accounts_.begin(); it != accounts_.end(); ++it) {
    if (platform::EqualsIgnoreCase(it->name, name)) {
      accounts_.erase(it);
      return true;
    }
  }
  return false;
}

namespace {

struct HostIni {
  std::string header;  // the leading comment lines, kept as they were
  platform::IniFile ini;
};

bool LoadHostIni(const std::string& root, HostIni* out, std::string* error) {
  std::string text;
  bool missing = false;
  std::string path = root + "/host.ini";
  if (!ReadText(path, &text, &missing)) {
    if (error) *error = path + ": cannot be read";
    return false;
  }
  for (const auto& line : platform::Split(text, '\n')) {
    if (line.empty() || line[0] != ';') break;
    out->header += line + "\n";
  }
  std::string why;
  if (!out->ini.Parse(text, &why)) {
    if (error) *error = path + ": " + why;
    return false;
  }
  return true;
}

bool SaveHostIni(const std::string& root, const HostIni& h, std::string* error) {
  return WriteAtomically(root + "/host.ini", h.header + h.ini.Serialize(), 0644, error);
}

}  // namespace

bool PutHostUser(const std::string& root, const std::string& name,
                 const std::vector<std::string>& groups, std::string* error) {
  HostIni h;
  if (!LoadHostIni(root, &h, error)) return false;
  platform::IniSection& users = h.ini.Get("users");
  std::string groups_text = JoinGroups(groups, '+');
  for (auto& [key, value] : users.entries) {
    if (!platform::EqualsIgnoreCase(key, name)) continue;
    auto parts = platform::Split(value, ',');
    std::string sid = platform::TrimBlanks(parts[0]);
    std::string profile = parts.size() > 1 ? platform::TrimBlanks(parts[1])
                                           : "C:\\Documents and Settings\\" + key;
    value = sid + ", " + profile + ", " + groups_text;
    return SaveHostIni(root, h, error);
  }
  // A new user: the next relative id after the highest one in use.
  long rid = 1000;
  std::string machine = "S-1-5-21-1004336348-1177238915-682003330";
  for (const auto& [key, value] : users.entries) {
    std::string sid = platform::TrimBlanks(platform::Split(value, ',')[0]);
    size_t dash = sid.rfind('-');
    if (dash == std::string::npos) continue;
    long r = std::strtol(sid.c_str() + dash + 1, nullptr, 10);
    if (r >= rid) rid = r + 1;
    machine = sid.substr(0, dash);
  }
  users.entries.emplace_back(name, machine + "-" + std::to_string(rid) +
                                       ", C:\\Documents and Settings\\" + name + ", " +
                                       groups_text);
  if (!SaveHostIni(root, h, error)) return false;
  // Host::Create keeps host.ini and creates the folders it lacks, among
  // them the new user's profile.
  return platform::Host::Create(root, platform::HostOptions(), error);
}

bool RemoveHostUser(const std::string& root, const std::string& name, std::string* error) {
  HostIni h;
  if (!LoadHostIni(root, &h, error)) return false;
  platform::IniSection& users = h.ini.Get("users");
  for (auto it = users.entries.begin(); it != users.entries.end(); ++it) {
    if (platform::EqualsIgnoreCase(it->first, name)) {
      users.entries.erase(it);
      return SaveHostIni(root, h, error);
    }
  }
  return true;
}

}  // namespace hostd
