#include "VXAdmin/client/client_connection.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "VXAdmin/client/host_gate.h"
#include "VXAdmin/shell/app_settings.h"
#include "VXAgent/pipes/records.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/service.h"

namespace vxadmin::client {
namespace {

namespace rec = vxagent::records;

constexpr const char* kConnectionFailed = " Connection failed! Double click here to run Host Audit!";
constexpr const char* kStoppedResponding = " Client stopped responding! Double click here to run Host Audit!";
constexpr const char* kTestFile = "\\VXCETestConnetion.jpg";

// How often a missing pipe is looked for again while a restarted agent
// creates it.
constexpr uint32_t kPipeAppearPollMs = 50;

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

bool ReplyEquals(const std::string& reply_bytes, const char* expected) {
  size_t len = std::strlen(expected) + 1;
  return reply_bytes.size() >= len && std::memcmp(reply_bytes.data(), expected, len) == 0;
}

ClientConnection::ClientConnection(std::string host_name, std::string pipe_name, StatusSink* status,
                                   bool protection_check)
    : pipe_name_(std::move(pipe_name)),
      host_(std::move(host_name)),
      status_(status),
      protection_check_(protection_check) {}

ClientConnection::~ClientConnection() = default;

void ClientConnection::Status(const std::string& text) {
  if (status_)
    status_->AddStatusLine(text);
  else
    AddStatusLine(text);
}

bool ClientConnection::ConnectShare() {
  std::string remote = "\\\\" + host_ + "\\ADMIN$";
  uint32_t flags = platform::kConnectUpdateProfile;
  if (Settings().ask_password) flags |= platform::kConnectInteractive;
  uint32_t rc = platform::ConnectShare(remote, flags, prompt_);
  if (rc != 0) {
    Status(rc == platform::kErrorCancelled ? Tagged(" The attempt to connect was cancelled by the user!")
                                           : Tagged(kConnectionFailed));
    return false;
  }
  // Connecting proves the account; only a file written proves the share.
  std::string probe = remote + kTestFile;
  {
    platform::File f;
    if (!f.Open(probe, platform::kGenericWrite, platform::kShareAll, platform::kCreateAlways)) {
      Status(Tagged(kConnectionFailed));
      return false;
    }
  }
  platform::DeleteFile(probe);
  platform::ScHandle scm = platform::OpenSCManagerA(host_, "", platform::SC_MANAGER_ALL_ACCESS);
  if (!scm) {
    Status(Tagged(kConnectionFailed));
    return false;
  }
  return true;
}

bool ClientConnection::OpenPipe() { return OpenPipeWithin(false); }

bool ClientConnection::OpenPipeWithin(bool wait_for_creation) {
  pipe_.Close();
  std::string name = "\\\\" + host_ + "\\pipe\\" + pipe_name_;
  uint64_t deadline = NowMs() + timeouts_.pipe_wait_ms;
  for (;;) {
    uint64_t now = NowMs();
    uint32_t remaining = now < deadline ? static_cast<uint32_t>(deadline - now) : 1;
    if (platform::WaitNamedPipe(name, remaining)) {
      if (!pipe_.Open(name)) return false;
      break;
    }
    if (!wait_for_creation || platform::GetLastError() != platform::kErrorFileNotFound ||
        NowMs() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPipeAppearPollMs));
  }
  // The agent reads this first; a failed send shows in the exchange itself.
  rec::Bytes command = rec::Encode(rec::SCommand{0});
  uint32_t written = 0;
  if (pipe_.Write(command.data(), static_cast<uint32_t>(command.size()), &written)) pipe_.Flush();
  return true;
}

bool ClientConnection::WriteinPipe(const void* buffer, uint32_t length, uint32_t* written) {
  if (!pipe_.IsValid()) return platform::Fail(platform::kErrorInvalidHandle);
  uint32_t n = 0;
  if (!pipe_.Write(buffer, length, &n)) return false;
  *written = n;
  pipe_.Flush();
  return true;
}

bool ClientConnection::ReadFromPipe(void* buffer, uint32_t capacity, uint32_t* read) {
  if (!pipe_.IsValid()) return platform::Fail(platform::kErrorInvalidHandle);
  return pipe_.Read(buffer, capacity, read);
}

void ClientConnection::ReportLastError(const std::string& prefix) {
  uint32_t code = platform::GetLastError();
  std::string line = prefix + " " + platform::ErrorMessage(code) + " (Error code: " + std::to_string(code) + ")";
  std::string clean;
  for (char c : line)
    if (c != '\r' && c != '\n') clean.push_back(c);
  Status(clean);
  platform::SetLastError(0);
}

rec::VersionCheckRequest ClientConnection::VersionRequest(uint8_t mode, uint8_t check) const {
  AppSettings settings = Settings();
  rec::VersionCheckRequest request;
  request.mode = mode;
  request.product = settings.product_version;
  request.database = settings.database_version;
  request.check = check;
  return request;
}

bool ClientConnection::AskVersionPipe(const rec::VersionCheckRequest& request, const std::string& unsent,
                                      std::string* reply_bytes) {
  std::string saved = pipe_name_;
  pipe_name_ = rec::kCheckVersionPipe;
  bool open = OpenPipe();
  pipe_name_ = saved;
  if (!open) return false;

  rec::Bytes bytes = rec::Encode(request);
  uint32_t written = 0;
  if (!WriteinPipe(bytes.data(), static_cast<uint32_t>(bytes.size()), &written) || written != bytes.size()) {
    Status(unsent);
    return false;
  }
  // Zeroed, so that nothing of an earlier reply can be taken for this one.
  uint8_t reply[rec::kReplyLineSize] = {};
  uint32_t got = 0;
  if (!ReadFromPipe(reply, sizeof reply, &got) && platform::GetLastError() != platform::kErrorMoreData) {
    Status(Tagged(kStoppedResponding));
    return false;
  }
  reply_bytes->assign(reinterpret_cast<const char*>(reply), got);
  return true;
}

bool ClientConnection::CheckProductVersion(bool register_versions) {
  std::string reply;
  if (!AskVersionPipe(VersionRequest(register_versions ? 1 : 0, 0), Tagged(" Could not send server version! "),
                      &reply))
    return false;
  return ReplyEquals(reply, register_versions ? "Success" : "Same Versions");
}

bool ClientConnection::CheckDatabaseVersion() {
  std::string reply;
  if (!AskVersionPipe(VersionRequest(0, 1), Tagged(" Could not send database version! "), &reply)) return false;
  if (ReplyEquals(reply, "Same Versions")) return true;
  // The agent has recorded the console's database version already; the
  // copies below are what make that true.
  std::string installed = GetInstalledPath();
  if (installed.empty() || !CopyFileToRemoteMachine(installed, "VXCESpylist.db", false) ||
      !CopyFileToRemoteMachine(installed, "ProcessSpy.db", false)) {
    RestoreDatabaseVersion(reply);
    return false;
  }
  Status(Tagged(" Updated with new spyware definitions."));
  return true;
}

void ClientConnection::RestoreDatabaseVersion(const std::string& reply_bytes) {
  std::string former = rec::LineText(reinterpret_cast<const uint8_t*>(reply_bytes.data()), reply_bytes.size());
  // These replies mean the agent changed nothing.
  if (former.empty() || former == "Could not read the client version!" ||
      former == "Could not write the client version!")
    return;
  // Registering writes both versions: only when the product versions agree
  // does that change nothing but the database version.
  if (!CheckProductVersion(false)) return;
  rec::VersionCheckRequest request = VersionRequest(1, 0);
  request.database = former;
  std::string ignored;
  AskVersionPipe(request, Tagged(" Could not send database version! "), &ignored);
}

bool ClientConnection::CheckClient() {
  if (!ConnectShare()) return false;
  if (!platform::PathFileExists("\\\\" + host_ + "\\ADMIN$\\System32\\VXAgent.exe")) {
    Status(protection_check_
               ? Tagged(" is an Unprotected node!")
               : Tagged(" does not have client service installed! Use 'Install/Update Client' button in Scan "
                        "tab to install client service!"));
    return false;
  }
  if (!CheckProductVersion(false)) {
    Status(Tagged(" is running older version of client service. Use 'Install/Update Client' button in Scan "
                  "tab to update this client!"));
    return false;
  }
  CheckDatabaseVersion();
  return true;
}

bool ClientConnection::EstablishAllConnections() {
  HostGate gate(host_);
  if (!CheckClient()) {
    // What is left open is the version pipe of the checks, not the agent
    // pipe the caller asked for.
    pipe_.Close();
    return false;
  }
  if (!OpenPipe()) {
    // An agent whose pipe is gone is restarted once, quietly.
    if (RestartService(kAgentService)) OpenPipeWithin(true);
    if (!pipe_.IsValid()) Status(Tagged(kConnectionFailed));
  }
  return pipe_.IsValid();
}

}  // namespace vxadmin::client
