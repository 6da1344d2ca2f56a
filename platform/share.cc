#include "platform/share.h"

#include <mutex>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/strings.h"

namespace platform {
namespace {

std::mutex g_prompt_mu;
CredentialsPrompt g_default_prompt;

// How often a prompt is asked again after credentials it gave were refused.
constexpr int kMaxPromptRounds = 5;

// Logs on with `creds` and connects `share`; 0 or the error code. On
// success the credentials become the ones this process uses for `host`.
uint32_t TryConnect(const std::string& host, const std::string& share,
                    const remote::Credentials& creds) {
  std::unique_ptr<remote::Connection> c = remote::Connection::Open(host, creds);
  if (!c) return GetLastError();
  remote::WireWriter w;
  w.U8(remote::kOpTreeConnect).Str(share);
  std::string payload;
  if (!c->Call(w.data(), &payload)) return GetLastError();
  remote::Client::Get().SetCredentials(host, creds);
  return 0;
}

uint32_t Done(uint32_t code) {
  if (code != 0) SetLastError(code);
  return code;
}

}  // namespace

void SetDefaultCredentialsPrompt(CredentialsPrompt prompt) {
  std::lock_guard<std::mutex> lock(g_prompt_mu);
  g_default_prompt = std::move(prompt);
}

uint32_t ConnectShare(std::string_view remote_name, uint32_t flags, const CredentialsPrompt& prompt_in) {
  WindowsPath wp = ParseWindowsPath(remote_name);
  if (wp.kind != PathKind::kUnc || wp.host.empty() || !wp.components.empty())
    return Done(kErrorBadNetName);
  if (!EqualsIgnoreCase(wp.share, "ADMIN$") && !EqualsIgnoreCase(wp.share, "IPC$"))
    return Done(kErrorBadNetName);
  InstallRemoteAccess();
  std::string host = ToUpperAscii(wp.host);

  remote::Credentials creds;
  uint32_t result = kErrorLogonFailure;
  if (remote::Client::Get().CredentialsFor(host, &creds)) {
    result = TryConnect(host, wp.share, creds);
  } else if (!remote::Connection::Open(host, creds, false)) {
    // Without credentials, a host that cannot be reached is still the
    // first thing to report.
    return Done(GetLastError());
  }
  if (result == 0) return 0;
  // Only a refusal of the account is worth asking the operator about.
  bool account_refused = result == kErrorLogonFailure || result == kErrorAccessDenied;
  if (!(flags & kConnectInteractive) || !account_refused) return Done(result);

  CredentialsPrompt prompt = prompt_in;
  if (!prompt) {
    std::lock_guard<std::mutex> lock(g_prompt_mu);
    prompt = g_default_prompt;
  }
  if (!prompt) return Done(result);
  for (int round = 0; round < kMaxPromptRounds; ++round) {
    creds.password.clear();
    if (!prompt(host, &creds)) return Done(kErrorCancelled);
    result = TryConnect(host, wp.share, creds);
    if (result == 0) {
      if (flags & kConnectUpdateProfile) {
        if (Host* self = Host::Current()) remote::SaveCredentials(*self, host, creds);
      }
      return 0;
    }
    if (result != kErrorLogonFailure && result != kErrorAccessDenied) break;
  }
  return Done(result);
}

}  // namespace platform
