// vxhost create / path: make a host root, map Windows paths to real ones.
#include <cstdio>
#include <cstdlib>

#include "hostd/remote/tls_identity.h"
#include "hostd/vxhost_command.h"
#include "platform/error.h"
#include "platform/host.h"
#include "platform/path.h"

namespace vxhost {
namespace {

int Create(const Invocation& inv) {
  platform::HostOptions opt;
  std::string root;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    auto value = [&](const char* what) -> const std::string* {
      if (i + 1 >= inv.args.size()) return nullptr;
      (void)what;
      return &inv.args[++i];
    };
    if (a == "--name" || a == "--drive" || a == "--user" || a == "--port") {
      const std::string* v = value(a.c_str());
      if (!v) return Fail("create: " + a + " needs a value");
      if (a == "--name") opt.name = *v;
      if (a == "--drive") opt.drives.push_back(*v);
      if (a == "--user") opt.users.push_back(*v);
      if (a == "--port") {
        char* end = nullptr;
        unsigned long p = std::strtoul(v->c_str(), &end, 10);
        if (*end || p > 65535) return Fail("create: --port " + *v + ": not a port number");
        opt.port = static_cast<uint16_t>(p);
      }
    } else if (!a.empty() && a[0] != '-' && root.empty()) {
      root = a;
    } else {
      return Fail("create: unexpected argument '" + a + "'");
    }
  }
  if (root.empty()) root = inv.root;
  if (root.empty()) return Fail("create: no host root given");
  std::string error;
  if (!platform::Host::Create(root, opt, &error)) return Fail("create: " + error);
  auto host = platform::Host::Load(root, &error);
  if (!host) return Fail("create: " + error);
  // The identity other hosts pin when they first connect to this one.
  if (!hostd::EnsureTlsIdentity(host->TlsDir(), host->computer_name(), &error))
    return Fail("create: " + error);
  std::printf("host %s created in %s\n", host->computer_name().c_str(), host->root().c_str());
  for (const auto& d : host->drives())
    std::printf("  %c: %-9s -> %s\n", d.letter, platform::DriveTypeName(d.type), d.real.c_str());
  for (const auto& u : host->users())
    std::printf("  user %s (%s)\n", u.name.c_str(), u.sid.c_str());
  return 0;
}

int Path(const Invocation& inv) {
  if (inv.args.empty()) return Fail("path: no Windows path given");
  if (!LoadHost(inv)) return 2;
  int rc = 0;
  for (const auto& p : inv.args) {
    std::string real;
    if (!platform::ResolvePath(p, &real)) {
      uint32_t code = platform::GetLastError();
      std::fprintf(stderr, "vxhost: path: %s: %s", p.c_str(), platform::ErrorMessage(code).c_str());
      rc = 2;
      continue;
    }
    std::printf("%s\n", real.c_str());
  }
  return rc;
}

}  // namespace

VXHOST_COMMAND(create, "create", "create ROOT [--name NAME] [--drive L=TYPE[:/real]]... [--user NAME[:GROUP+GROUP]]... [--port N]", Create);
VXHOST_COMMAND(path, "path", "path WINDOWS-PATH...   (print the real path)", Path);

}  // namespace vxhost
