// vxhost user add/del/passwd/list: the host's local accounts, with which
// other hosts log on to this host's daemon.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "hostd/remote/accounts.h"
#include "hostd/vxhost_command.h"
#include "platform/host.h"
#include "platform/strings.h"

namespace vxhost {
namespace {

// Reads one line from standard input (the password), without its line end.
// When standard input is a terminal the typed text is not echoed.
bool ReadPasswordLine(const char* prompt, std::string* out) {
  bool tty = ::isatty(STDIN_FILENO);
  termios old{};
  if (tty) {
    std::fprintf(stderr, "%s", prompt);
    ::tcgetattr(STDIN_FILENO, &old);
    termios quiet = old;
    quiet.c_lflag &= ~ECHO;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string line;
  bool ok = static_cast<bool>(std::getline(std::cin, line));
  if (tty) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
    std::fprintf(stderr, "\n");
  }
  if (!ok) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  *out = line;
  return true;
}

struct UserArgs {
  std::string name;
  std::vector<std::string> groups;
  bool has_password = false;
  std::string password;
};

int ParseUserArgs(const char* what, const Invocation& inv, bool allow_groups, UserArgs* out) {
  bool from_stdin = false;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if ((a == "--group" && allow_groups) || a == "--password") {
      if (i + 1 >= inv.args.size()) return Fail(std::string("user ") + what + ": " + a + " needs a value");
      if (a == "--group") out->groups.push_back(inv.args[++i]);
      else {
        out->password = inv.args[++i];
        out->has_password = true;
      }
    } else if (a == "--password-stdin") {
      from_stdin = true;
    } else if (!a.empty() && a[0] != '-' && out->name.empty()) {
      out->name = a;
    } else {
      return Fail(std::string("user ") + what + ": unexpected argument '" + a + "'");
    }
  }
  if (out->name.empty()) return Fail(std::string("user ") + what + ": no user name given");
  if (!hostd::IsValidAccountName(out->name))
    return Fail(std::string("user ") + what + ": '" + out->name + "' is not a valid user name");
  for (const auto& g : out->groups)
    if (!hostd::IsValidAccountName(g)) return Fail(std::string("user ") + what + ": '" + g + "' is not a valid group name");
  if (from_stdin) {
    if (out->has_password) return Fail(std::string("user ") + what + ": --password and --password-stdin exclude each other");
    if (!ReadPasswordLine("Password: ", &out->password))
      return Fail(std::string("user ") + what + ": no password on standard input");
    out->has_password = true;
  }
  return 0;
}

bool LoadAccounts(hostd::AccountsFile* accounts) {
  std::string error;
  if (!hostd::AccountsFile::Load(platform::Host::Current()->AccountsFile(), accounts, &error)) {
    Fail("user: " + error);
    return false;
  }
  return true;
}

int SaveAll(const hostd::AccountsFile& accounts, const hostd::Account& account) {
  std::string error;
  const std::string& root = platform::Host::Current()->root();
  if (!accounts.Save(platform::Host::Current()->AccountsFile(), &error)) return Fail("user: " + error);
  if (!hostd::PutHostUser(root, account.name, account.groups, &error)) return Fail("user: " + error);
  return 0;
}

int UserAdd(const Invocation& inv) {
  UserArgs args;
  if (int rc = ParseUserArgs("add", inv, true, &args)) return rc;
  if (!args.has_password) return Fail("user add: give --password P or --password-stdin");
  if (!LoadHost(inv)) return 2;
  hostd::AccountsFile accounts;
  if (!LoadAccounts(&accounts)) return 2;
  if (accounts.Find(args.name)) return Fail("user add: " + args.name + " already has an account (use user passwd)");
  hostd::Account account;
  account.name = args.name;
  account.groups = args.groups;
  // A user that host.ini already names keeps its groups unless given new ones.
  if (const platform::UserAccount* u = platform::Host::Current()->FindUser(args.name)) {
    account.name = u->name;
    if (account.groups.empty()) account.groups = u->groups;
  }
  if (account.groups.empty()) account.groups.push_back("Users");
  account.password_hash = hostd::HashPassword(args.password);
  if (account.password_hash.empty()) return Fail("user add: cannot hash the password");
  accounts.Put(account);
  if (int rc = SaveAll(accounts, account)) return rc;
  std::printf("user %s added\n", account.name.c_str());
  return 0;
}

int UserPasswd(const Invocation& inv) {
  UserArgs args;
  if (int rc = ParseUserArgs("passwd", inv, false, &args)) return rc;
  if (!LoadHost(inv)) return 2;
  if (!args.has_password && !ReadPasswordLine("New password: ", &args.password))
    return Fail("user passwd: no password on standard input");
  hostd::AccountsFile accounts;
  if (!LoadAccounts(&accounts)) return 2;
  hostd::Account account;
  if (const hostd::Account* a = accounts.Find(args.name)) {
    account = *a;
  } else if (const platform::UserAccount* u = platform::Host::Current()->FindUser(args.name);
             u && u != &platform::Host::Current()->SystemAccount()) {
    // A user of host.ini without a password yet (the default Administrator).
    account.name = u->name;
    account.groups = u->groups;
  } else {
    return Fail("user passwd: no user " + args.name);
  }
  account.password_hash = hostd::HashPassword(args.password);
  if (account.password_hash.empty()) return Fail("user passwd: cannot hash the password");
  accounts.Put(account);
  if (int rc = SaveAll(accounts, account)) return rc;
  std::printf("password of %s set\n", account.name.c_str());
  return 0;
}

int UserDel(const Invocation& inv) {
  if (inv.args.size() != 1) return Fail("user del: give exactly one user name");
  if (!LoadHost(inv)) return 2;
  hostd::AccountsFile accounts;
  if (!LoadAccounts(&accounts)) return 2;
  const std::string& name = inv.args[0];
  bool had_account = accounts.Remove(name);
  bool in_ini = platform::Host::Current()->FindUser(name) != nullptr &&
                !platform::EqualsIgnoreCase(name, "SYSTEM");
  if (!had_account && !in_ini) return Fail("user del: no user " + name);
  std::string error;
  if (!accounts.Save(platform::Host::Current()->AccountsFile(), &error)) return Fail("user del: " + error);
  if (!hostd::RemoveHostUser(platform::Host::Current()->root(), name, &error)) return Fail("user del: " + error);
  std::printf("user %s removed\n", name.c_str());
  return 0;
}

int UserList(const Invocation& inv) {
  if (!inv.args.empty()) return Fail("user list: takes no arguments");
  if (!LoadHost(inv)) return 2;
  hostd::AccountsFile accounts;
  if (!LoadAccounts(&accounts)) return 2;
  for (const auto& u : platform::Host::Current()->users()) {
    const hostd::Account* a = accounts.Find(u.name);
    std::string groups;
    for (const auto& g : a ? a->groups : u.groups) groups += (groups.empty() ? "" : ",") + g;
    std::printf("%-20s %-12s %s\n", u.name.c_str(),
                a && !a->password_hash.empty() ? "password" : "no-password", groups.c_str());
  }
  return 0;
}

int User(const Invocation& inv) {
  if (inv.args.empty()) return Fail("user: give add, del, passwd or list");
  Invocation sub{inv.root, std::vector<std::string>(inv.args.begin() + 1, inv.args.end())};
  const std::string& what = inv.args[0];
  if (what == "add") return UserAdd(sub);
  if (what == "del") return UserDel(sub);
  if (what == "passwd") return UserPasswd(sub);
  if (what == "list") return UserList(sub);
  return Fail("user: unknown subcommand '" + what + "'");
}

}  // namespace

VXHOST_COMMAND(user, "user",
               "user add NAME [--group G]... (--password P | --password-stdin) | user del NAME | "
               "user passwd NAME [--password P | --password-stdin] | user list",
               User);

}  // namespace vxhost
