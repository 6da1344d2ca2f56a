#include "hostd/tests/support/remote_daemon.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace hostd::testing {
namespace pr = platform::remote;
namespace {

std::string BinDir() {
  const char* dir = std::getenv("VX_BIN_DIR");
  if (!dir || !*dir) throw std::runtime_error("VX_BIN_DIR is not set");
  return dir;
}

pid_t Spawn(const std::vector<std::string>& args, int in_fd, int out_fd, int err_fd) {
  std::vector<char*> argv;
  std::string program = BinDir() + "/" + args[0];
  argv.push_back(program.data());
  std::vector<std::string> copy(args.begin() + 1, args.end());
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (in_fd >= 0) ::dup2(in_fd, 0);
    if (out_fd >= 0) ::dup2(out_fd, 1);
    if (err_fd >= 0) ::dup2(err_fd, 2);
    ::setenv("VX_PAUSE_SCALE", "0", 1);
    ::unsetenv("VX_HOST_ROOT");
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

int RunTool(const std::vector<std::string>& args, const std::string& stdin_text) {
  int in[2];
  if (::pipe(in) != 0) return -1;
  int devnull = ::open("/dev/null", O_WRONLY);
  pid_t pid = Spawn(args, in[0], devnull, -1);
  ::close(in[0]);
  ::close(devnull);
  ssize_t ignored = ::write(in[1], stdin_text.data(), stdin_text.size());
  (void)ignored;
  ::close(in[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Daemon::Daemon(const std::string& root, const std::string& name, const std::vector<DaemonUser>& users,
               const std::vector<std::string>& extra)
    : root_(root) {
  struct stat st;
  if (::stat((root + "/host.ini").c_str(), &st) != 0) {
    std::vector<std::string> create = {"vxhost", "create", root, "--name", name};
    for (const auto& u : users) {
      create.push_back("--user");
      create.push_back(u.name + ":" + u.groups);
    }
    if (RunTool(create) != 0) throw std::runtime_error("vxhost create failed");
    for (const auto& u : users) {
      if (RunTool({"vxhost", "--root", root, "user", "passwd", u.name, "--password-stdin"}, u.password + "\n") != 0)
        throw std::runtime_error("vxhost user passwd failed");
    }
  }
  // The whole daemon: its SCM and its remote access on a free port, which
  // it names in its log.
  std::vector<std::string> args = {"vxhostd", "--root", root, "--remote-address", "127.0.0.1",
                                   "--remote-port", "0", "--logon-delay-ms", "50"};
  args.insert(args.end(), extra.begin(), extra.end());
  size_t log_start = Log().size();
  int err = ::open((root + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_ = Spawn(args, -1, err, err);
  ::close(err);
  const std::string marker = "remote: listening on 127.0.0.1:";
  for (int i = 0; i < 1000 && port_ == 0; ++i) {
    std::string log = Log();
    size_t at = log.find(marker, log_start);
    if (at != std::string::npos && log.find('\n', at) != std::string::npos) {
      port_ = static_cast<uint16_t>(std::atoi(log.c_str() + at + marker.size()));
      break;
    }
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (port_ == 0) {
    Stop();
    throw std::runtime_error("daemon did not start: " + Log());
  }
}

Daemon::~Daemon() { Stop(); }

void Daemon::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string Daemon::Log() const {
  std::ifstream in(root_ + "/daemon.log");
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int Daemon::CountLog(const std::string& text) const {
  std::string log = Log();
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++n;
  return n;
}

bool Daemon::WaitForLog(const std::string& text, int times) const {
  for (int i = 0; i < 300; ++i) {
    if (CountLog(text) >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::unique_ptr<platform::Host> MakeConsoleHost(
    const std::string& root, const std::vector<std::pair<std::string, uint16_t>>& hosts) {
  platform::HostOptions opt;
  opt.name = "CONSOLE";
  std::string error;
  if (!platform::Host::Create(root, opt, &error)) throw std::runtime_error(error);
  std::ofstream ini(root + "/host.ini", std::ios::app);
  for (const auto& [name, port] : hosts) ini << name << " = 127.0.0.1:" << port << "\n";
  ini.close();
  auto host = platform::Host::Load(root, &error);
  if (!host) throw std::runtime_error(error);
  return host;
}

int ConnectPlain(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

RawSession::RawSession(uint16_t port) {
  static SSL_CTX* ctx = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return pr::NewClientContext(nullptr);
  }();
  int fd = ConnectPlain(port);
  if (fd < 0) return;
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  auto conn = std::make_unique<pr::TlsConnection>(ssl, fd);
  conn->SetReceiveTimeout(5000);
  if (SSL_connect(ssl) != 1) return;
  std::string hello;
  if (conn->ReadFrame(&hello, pr::kDefaultMaxFrame) != pr::FrameStatus::kOk) return;
  pr::WireReader r(hello);
  if (!r.U32(&greeting_status_)) return;
  conn_ = std::move(conn);
}

uint32_t RawSession::Call(const std::string& body, std::string* payload) {
  std::string reply;
  if (!conn_->WriteFrame(body) || conn_->ReadFrame(&reply, pr::kDefaultMaxFrame * 2) != pr::FrameStatus::kOk)
    return 0xFFFFFFFF;
  pr::WireReader r(reply);
  uint32_t status;
  if (!r.U32(&status)) return 0xFFFFFFFF;
  if (payload) *payload = reply.substr(4);
  return status;
}

uint32_t RawSession::Logon(const std::string& user, const std::string& password) {
  pr::WireWriter w;
  w.U8(pr::kOpLogon).Str(user).Str(password);
  return Call(w.data());
}

bool RawSession::WriteRaw(const std::string& bytes) {
  size_t n = 0;
  return SSL_write_ex(conn_->ssl(), bytes.data(), bytes.size(), &n) == 1;
}

bool RawSession::ClosedByServer() {
  std::string body;
  pr::FrameStatus st = conn_->ReadFrame(&body, pr::kDefaultMaxFrame);
  return st == pr::FrameStatus::kClosed || st == pr::FrameStatus::kError ||
         st == pr::FrameStatus::kTruncated;
}

}  // namespace hostd::testing
