// ClientConnection: the console's connection to one client PC for one
// operation on one agent pipe.
//
// A worker creates one object per client and operation. It reaches the
// client through its administrative share ADMIN$ and its service manager,
// checks that the agent is installed and of the console's version, brings
// the client's spy databases up to the console's, restarts an agent whose
// pipe does not open, and opens the pipe (docs/formats/remote-admin-pipes.md
// gives the records). It also copies files into the client's system folder
// and creates, starts, stops and deletes services there.
//
// Every failure is reported as one status line through the object's
// StatusSink (the current sink when none was given) and the operation's
// result is false. Versions, the ask-password switch and the installation
// folder come from the console's settings (VXAdmin/shell/app_settings.h).
//
// The object owns its pipe: opening a pipe closes the one it held, and
// destruction closes it. One object belongs to one thread.
#pragma once

#include <cstdint>
#include <string>

#include "VXAdmin/shell/status.h"
#include "VXAgent/pipes/records.h"
#include "platform/pipe.h"
#include "platform/share.h"

namespace vxadmin::client {

// Services that CreateAndStartService knows how to create.
inline constexpr const char* kAgentService = "VXAgent";
inline constexpr const char* kUninstallService = "VXAgentUnistall";

// Waits of the set-up. The defaults are the console's; tests shorten them.
struct ConnectionTimeouts {
  uint32_t pipe_wait_ms = 30000;     // WaitNamedPipe, and the wait for a restarted agent's pipe
  uint32_t service_wait_ms = 30000;  // a start or stop without progress for this long is given up
  uint32_t service_poll_ms = 500;
};

class ClientConnection {
 public:
  // `status` receives the status lines (null: the current sink);
  // `protection_check` chooses the wording for a missing agent.
  ClientConnection(std::string host_name, std::string pipe_name, StatusSink* status = nullptr,
                   bool protection_check = false);
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Who to ask for credentials when the share refuses the saved ones and
  // the ask-password switch is on (null: the process's default prompt).
  void SetCredentialsPrompt(platform::CredentialsPrompt prompt) { prompt_ = std::move(prompt); }
  void SetTimeouts(const ConnectionTimeouts& timeouts) { timeouts_ = timeouts; }

  const std::string& host_name() const { return host_; }
  const std::string& pipe_name() const { return pipe_name_; }
  bool IsPipeOpen() const { return pipe_.IsValid(); }
  void ClosePipe() { pipe_.Close(); }

  // Connects \\HOST\ADMIN$ (asking for credentials when the switch is on),
  // proves write access with a test file and opens the service manager.
  bool ConnectShare();
  // Opens \\HOST\pipe\<pipe name> (waiting for a busy instance, not for a
  // missing one) and sends the opening SCommand. Closes the pipe held
  // before. True when a pipe handle was obtained.
  bool OpenPipe();
  // One write of the whole buffer, then a flush. `*written` gets the count
  // the write reported; callers treat a count other than `length` as a
  // failed send.
  bool WriteinPipe(const void* buffer, uint32_t length, uint32_t* written);
  // One read of at most `capacity` bytes: one agent message. Fails with
  // 234 (buffer filled, `*read` set) for a longer message.
  bool ReadFromPipe(void* buffer, uint32_t capacity, uint32_t* read);
  // Status line "<prefix> <system text> (Error code: <n>)" for the thread's
  // last error, line breaks removed; then resets the last error to 0.
  void ReportLastError(const std::string& prefix);

  // On the version pipe: registers the console's versions
  // (`register_versions`, success on "Success") or compares the product
  // version (success on "Same Versions").
  bool CheckProductVersion(bool register_versions);
  // Compares the database version; a different one makes the console copy
  // its two spy databases to the client. When they cannot be copied, the
  // client's former database version is registered again.
  bool CheckDatabaseVersion();
  // Share, agent presence, product version, database version.
  bool CheckClient();
  // The set-up of every pipe exchange, one per host at a time: CheckClient,
  // then the pipe, restarting the agent once when the pipe does not open.
  bool EstablishAllConnections();

  // Copies <folder>\<file> of the console to \\HOST\ADMIN$\System32\<file>,
  // overwriting; with `only_if_missing` an existing target is kept.
  bool CopyFileToRemoteMachine(const std::string& folder, const std::string& file,
                               bool only_if_missing);
  // Stops the service (waiting while it makes progress) and deletes it
  // when asked (also after a stop that timed out). False when the service
  // cannot be reached or controlled, or did not stop.
  bool StopService(const std::string& name, bool delete_service);
  // Opens the service, creating VXAgent or VXAgentUnistall when missing,
  // starts it and waits until it runs. `report` false: no status lines.
  bool CreateAndStartService(const std::string& name, bool report);
  // StopService (no delete), then CreateAndStartService without lines.
  bool RestartService(const std::string& name);

 private:
  void Status(const std::string& text);
  std::string Tagged(const std::string& text) const { return "[" + host_ + "]" + text; }
  // WaitNamedPipe + open + SCommand. With `wait_for_creation`, a pipe that
  // does not exist yet is waited for too (a just restarted agent creates
  // its pipes a moment after it reports running), within the same budget.
  bool OpenPipeWithin(bool wait_for_creation);
  // One request on the version pipe and its reply text; false after the
  // failure was reported (`unsent` is the line for a failed send).
  bool AskVersionPipe(const vxagent::records::VersionCheckRequest& request, const std::string& unsent,
                      std::string* reply_bytes);
  vxagent::records::VersionCheckRequest VersionRequest(uint8_t mode, uint8_t check) const;
  // Puts the database version the client had before the compare back, so
  // that databases that could not be copied are copied at the next check.
  void RestoreDatabaseVersion(const std::string& reply_bytes);

  std::string pipe_name_;
  std::string host_;
  platform::PipeClient pipe_;
  StatusSink* status_;
  bool protection_check_;
  platform::CredentialsPrompt prompt_;
  ConnectionTimeouts timeouts_;
};

// True when a received reply is exactly `expected` with its NUL (what the
// console compares fixed replies with): a longer text beginning with the
// same words is another reply.
bool ReplyEquals(const std::string& reply_bytes, const char* expected);

}  // namespace vxadmin::client
