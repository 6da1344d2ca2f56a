// The host's local accounts: who may open a session from another host.
//
// <root>/accounts (docs/formats/accounts.md) holds one line per account:
// name, groups and a salted PBKDF2-HMAC-SHA256 password hash. host.ini's
// [users] section names the same users with their SID and profile; the
// functions here that add, change or remove an account keep both in step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hostd {

// Work factor of new password hashes.
constexpr uint32_t kDefaultHashIterations = 100000;

struct Account {
  std::string name;
  std::vector<std::string> groups;
  std::string password_hash;  // "pbkdf2-sha256$ITER$SALTHEX$HASHHEX", empty = no password
};

class AccountsFile {
 public:
  // Reads `path`; a missing file is an empty list. False with a reason for
  // a file that cannot be read or a malformed line.
  static bool Load(const std::string& path, AccountsFile* out, std::string* error);
  // Writes atomically (temporary file, then rename), readable by the owner only.
  bool Save(const std::string& path, std::string* error) const;

  const std::vector<Account>& accounts() const { return accounts_; }
  const Account* Find(const std::string& name) const;  // case-insensitive
  // Adds `account` or replaces the one with the same name.
  void Put(const Account& account);
  bool Remove(const std::string& name);

 private:
  std::vector<Account> accounts_;
};

// A new salted hash of `password`.
std::string HashPassword(const std::string& password,
                         uint32_t iterations = kDefaultHashIterations);
// True when `password` matches `stored` (compared in constant time). A
// malformed or empty stored hash never matches.
bool VerifyPassword(const std::string& password, const std::string& stored);

// Whether `groups` includes Administrators (case-insensitive).
bool IsAdministrator(const std::vector<std::string>& groups);

// Account names may not hold the characters Windows refuses in user names,
// nor the separators of the files that store them.
bool IsValidAccountName(const std::string& name);

// Adds or updates `name` in host.ini's [users] of the host at `root` (a
// new user gets the next free SID and the default profile folder, which is
// created) with `groups`. False with a reason on failure.
bool PutHostUser(const std::string& root, const std::string& name,
                 const std::vector<std::string>& groups, std::string* error);
// Removes `name` from host.ini's [users]. The profile folder stays.
bool RemoveHostUser(const std::string& root, const std::string& name, std::string* error);

}  // namespace hostd
