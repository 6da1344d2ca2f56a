// vxhost: creates and inspects emulated hosts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "hostd/vxhost_command.h"
#include "platform/host.h"

namespace vxhost {
namespace {

std::map<std::string, CommandInfo>& Commands() {
  static std::map<std::string, CommandInfo> commands;
  return commands;
}

std::unique_ptr<platform::Host> g_host;
std::unique_ptr<platform::ScopedHost> g_scope;

int Usage() {
  std::fprintf(stderr, "usage: vxhost [--root HOSTROOT] COMMAND ...\n");
  for (const auto& [name, info] : Commands()) std::fprintf(stderr, "  vxhost %s\n", info.usage);
  std::fprintf(stderr, "HOSTROOT defaults to $VX_HOST_ROOT.\n");
  return 2;
}

}  // namespace

bool RegisterCommand(const CommandInfo& info) {
  Commands()[info.name] = info;
  return true;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vxhost: %s\n", message.c_str());
  return 2;
}

bool LoadHost(const Invocation& inv) {
  if (inv.root.empty()) {
    Fail("no host: pass --root HOSTROOT or set VX_HOST_ROOT");
    return false;
  }
  std::string error;
  g_host = platform::Host::Load(inv.root, &error);
  if (!g_host) {
    Fail(error);
    return false;
  }
  g_scope = std::make_unique<platform::ScopedHost>(g_host.get());
  return true;
}

}  // namespace vxhost

int main(int argc, char** argv) {
  vxhost::Invocation inv;
  if (const char* env = std::getenv("VX_HOST_ROOT")) inv.root = env;
  int i = 1;
  while (i < argc && std::strncmp(argv[i], "--", 2) == 0) {
    std::string opt = argv[i];
    if (opt == "--root" && i + 1 < argc) {
      inv.root = argv[i + 1];
      i += 2;
    } else if (opt == "--help") {
      return vxhost::Usage();
    } else {
      return vxhost::Fail("unknown option " + opt);
    }
  }
  if (i >= argc) return vxhost::Usage();
  auto it = vxhost::Commands().find(argv[i]);
  if (it == vxhost::Commands().end()) return vxhost::Fail(std::string("unknown command '") + argv[i] + "' (see vxhost --help)");
  for (++i; i < argc; ++i) inv.args.emplace_back(argv[i]);
  return it->second.fn(inv);
}
