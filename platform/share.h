// Connecting another host's administrative share (WNetAddConnection3A's
// stand-in) with the console user's credentials.
//
// The credentials come from those already proven in this process for the
// host, else from the calling host's saved credentials (<root>/credentials,
// docs/formats/credentials.md). When they are missing or refused and the
// caller asks for an interactive connection, the prompt is asked for
// others until they work or the operator cancels.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/remote_session.h"

namespace platform {

// WNetAddConnection3A flags.
constexpr uint32_t kConnectUpdateProfile = 0x1;  // remember the credentials
constexpr uint32_t kConnectInteractive = 0x8;    // the system may ask the operator

// Asks the operator for the account to use on `host`; `creds` holds the
// user name tried last. Returns false when the operator cancels.
using CredentialsPrompt = std::function<bool(const std::string& host, remote::Credentials* creds)>;

// The prompt that ConnectShare uses when its caller passes none (the
// console's window installs one). Null removes it.
void SetDefaultCredentialsPrompt(CredentialsPrompt prompt);

// Connects `remote_name` ("\\HOST\ADMIN$" or "\\HOST\IPC$"). Returns 0 when
// connected, else the error code (also set as last error): 1223 when the
// operator cancelled the prompt, 1326 when no credentials work, 5 when the
// account may not use the share, 53 when the host cannot be reached, 67 for
// an unknown share, 71 when the host takes no more sessions. With
// kConnectUpdateProfile, credentials that the prompt supplied and that
// worked are saved for the host.
uint32_t ConnectShare(std::string_view remote_name, uint32_t flags,
                      const CredentialsPrompt& prompt = nullptr);

// Installs the remote client: the file system of UNC paths, the connector
// of remote service managers and that of remote pipes. ConnectShare does
// this itself; programs that reach other hosts without it call it first.
void InstallRemoteAccess();

}  // namespace platform
