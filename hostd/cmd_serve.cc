// vxhost serve: runs the host's remote access server in the foreground
// (what the host daemon runs for other hosts), until SIGINT or SIGTERM.
#include <cstdlib>
#include <string>

#include "hostd/remote/server.h"
#include "hostd/vxhost_command.h"
#include "platform/host.h"

namespace vxhost {
namespace {

bool ParseNumber(const std::string& text, uint32_t max, uint32_t* out) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end || v > max) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

int Serve(const Invocation& inv) {
  if (!LoadHost(inv)) return 2;
  hostd::remote::ServerOptions opt;
  opt.port = platform::Host::Current()->port();
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if (i + 1 >= inv.args.size()) return Fail("serve: " + a + " needs a value");
    const std::string& v = inv.args[++i];
    uint32_t n = 0;
    if (a == "--address") {
      opt.address = v;
      continue;
    }
    if (!ParseNumber(v, a == "--port" ? 65535 : 0x7FFFFFFF, &n)) return Fail("serve: " + a + " " + v + ": not a number");
    if (a == "--port") opt.port = static_cast<uint16_t>(n);
    else if (a == "--logon-delay-ms") opt.failed_logon_delay_ms = n;
    else if (a == "--max-frame") opt.max_frame = n;
    else if (a == "--max-sessions") opt.max_sessions = n;
    else if (a == "--max-sessions-per-peer") opt.max_sessions_per_peer = n;
    else if (a == "--idle-timeout-ms") opt.idle_timeout_ms = n;
    else return Fail("serve: unexpected argument '" + a + "'");
  }
  return hostd::remote::Serve(*platform::Host::Current(), opt);
}

}  // namespace

VXHOST_COMMAND(serve, "serve",
               "serve [--address A] [--port N] [--logon-delay-ms N] [--max-frame N] "
               "[--max-sessions N] [--max-sessions-per-peer N] [--idle-timeout-ms N]",
               Serve);

}  // namespace vxhost
