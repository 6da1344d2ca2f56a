// lab: creates a small network of emulated hosts in a folder and runs it.
//
//   lab up DIR [--clients N] [--logon-delay-ms MS] [--max-sessions-per-peer N]
//       DIR/console (host CONSOLE) and DIR/pc1 ... DIR/pcN (hosts PC1 ...):
//       every host gets its daemon; each client listens on a free loopback
//       port with an Administrator password of the lab's own, and a user
//       logged on (its desktop shell running); the console's host map names
//       every client and its saved credentials log on to them.
//   lab plant DIR HOST [--spies NAME,...|--all] [--db FILE] [--install]
//       makes spyware of a definition database present on HOST (its name,
//       PC1, or its folder, pc1): files, folders, registry keys, values and
//       data, cookies of its users, and running processes of planted
//       executables (copies of spystandin). The database is FILE (sealed or
//       plain, as vxdbtool writes it) or else the host's own VXCESpylist.db;
//       --install also makes it the host's VXCESpylist.db. Without --spies
//       every spy is planted. Paths resolve as the agent service (SYSTEM)
//       sees them. Prints one tab-separated line per planted trace
//       ("planted", type, spy, trace as a scan logs it), per started process
//       ("running", spy, image, pid) and per definition it could not plant
//       ("skipped", type, spy, definition, reason), then a summary.
//   lab unplant DIR HOST  stops the processes planted on HOST (the planted
//       files and registry entries stay for a scan to find)
//   lab down DIR      stops every planted process, logged-on shell and daemon
//   lab status DIR    one line per host: name, root, port, daemon state
//
// DIR/lab.ini records the hosts, ports and the password; DIR/planted.pids
// the planted processes. The programs vxhost, vxhostd and spystandin are
// taken from the folder of this program.
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VXAgent/engine/spy_database.h"
#include "common/rc4.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/ini_file.h"
#include "platform/path.h"
#include "platform/strings.h"
#include "tools/lab/plant.h"

namespace {
namespace fs = std::filesystem;

std::string g_bin_dir;

int Fail(const std::string& message) {
  std::fprintf(stderr, "lab: %s\n", message.c_str());
  return 2;
}

// Runs bin/<program> with `args`; returns its exit code and, when asked,
// its standard output. Output goes through a file rather than a pipe:
// what the program leaves running (a daemon, a desktop shell) may keep
// the descriptor open long after the program itself has ended.
int Run(const std::vector<std::string>& args, std::string* out = nullptr,
        const std::string& input = "") {
  char in_path[] = "/tmp/lab-in-XXXXXX";
  char out_path[] = "/tmp/lab-out-XXXXXX";
  int in_fd = ::mkstemp(in_path);
  int out_fd = ::mkstemp(out_path);
  if (in_fd < 0 || out_fd < 0) return -1;
  ::unlink(in_path);
  ::unlink(out_path);
  ssize_t ignored = ::write(in_fd, input.data(), input.size());
  (void)ignored;
  ::lseek(in_fd, 0, SEEK_SET);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::close(in_fd);
    ::close(out_fd);
    std::vector<std::string> copy = args;
    copy[0] = g_bin_dir + "/" + args[0];
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    std::fprintf(stderr, "lab: cannot run %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
  }
  ::close(in_fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::string text;
  char buf[4096];
  ssize_t n;
  ::lseek(out_fd, 0, SEEK_SET);
  while ((n = ::read(out_fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(out_fd);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A loopback port that was free a moment ago.
uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

std::string RandomPassword() {
  unsigned char b[12];
  RAND_bytes(b, sizeof b);
  static const char kHex[] = "0123456789abcdef";
  std::string out = "lab-";
  for (unsigned char c : b) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

pid_t DaemonPid(const std::string& root) {
  std::string text = ReadText(root + "/run/vxhostd.pid");
  pid_t pid = static_cast<pid_t>(std::atoi(text.c_str()));
  if (pid <= 0 || ::kill(pid, 0) != 0) return 0;
  return pid;
}

struct LabHost {
  std::string name;
  std::string root;
  uint16_t port = 0;
};

bool LoadLab(const std::string& dir, std::vector<LabHost>* hosts, std::string* password) {
  platform::IniFile ini;
  std::string error;
  if (!ini.Parse(ReadText(dir + "/lab.ini"), &error) || !ini.Find("hosts")) return false;
  for (const auto& [name, value] : ini.Find("hosts")->entries) {
    auto parts = platform::Split(value, ',');
    LabHost h;
    h.name = name;
    h.root = dir + "/" + platform::TrimBlanks(parts[0]);
    h.port = parts.size() > 1 ? static_cast<uint16_t>(std::atoi(parts[1].c_str())) : 0;
    hosts->push_back(h);
  }
  *password = ini.Value("lab", "password");
  return true;
}

// DIR/planted.pids: "<host folder>\t<pid>\t<image>" per planted process.
std::string PlantedFile(const std::string& dir) { return dir + "/planted.pids"; }

std::string FolderOf(const LabHost& h) { return fs::path(h.root).filename().string(); }

// Stops the planted processes of `h` and forgets them. Returns how many ran.
int StopPlanted(const std::string& dir, const LabHost& h) {
  std::vector<lab::PlantedProcess> mine;
  std::string rest;
  for (const auto& line : platform::Split(ReadText(PlantedFile(dir)), '\n')) {
    auto parts = platform::Split(line, '\t');
    if (parts.size() != 3) continue;
    if (parts[0] == FolderOf(h))
      mine.push_back({"", parts[2], static_cast<uint32_t>(std::atoi(parts[1].c_str()))});
    else
      rest += line + "\n";
  }
  if (mine.empty()) return 0;
  std::string error;
  std::unique_ptr<platform::Host> host = platform::Host::Load(h.root, &error);
  int stopped = 0;
  if (host) {
    platform::ScopedHost scope(host.get());
    stopped = lab::StopPlantedProcesses(mine);
  }
  std::ofstream(PlantedFile(dir), std::ios::trunc) << rest;
  return stopped;
}

const LabHost* FindHost(const std::vector<LabHost>& hosts, const std::string& name) {
  for (const auto& h : hosts)
    if (platform::EqualsIgnoreCase(h.name, name) || FolderOf(h) == name) return &h;
  return nullptr;
}

int Plant(const std::string& dir, const std::string& host_name, const lab::PlantOptions& base,
          const std::string& db_file, bool install) {
  std::vector<LabHost> hosts;
  std::string password;
  if (!LoadLab(dir, &hosts, &password)) return Fail(dir + ": no lab here (lab.ini missing)");
  const LabHost* h = FindHost(hosts, host_name);
  if (!h) return Fail(host_name + ": no such host in the lab");
  std::string error;
  std::unique_ptr<platform::Host> host = platform::Host::Load(h->root, &error);
  if (!host) return Fail(h->name + ": " + error);
  platform::ScopedHost scope(host.get());

  std::string database = db_file;
  if (database.empty() && !platform::ResolvePath(engine::SpyDatabasePath(), &database))
    return Fail(h->name + ": cannot resolve its system folder");
  engine::SpyMap map;
  if (!lab::LoadDefinitionDatabase(database, &map, &error))
    return Fail(error + (db_file.empty() ? " (give --db FILE)" : ""));
  if (install && !db_file.empty()) {
    std::string sealed = engine::EncodeSpyArchive(map);
    if (!common::Rc4Crypt(&sealed) || !platform::WriteStringToFile(engine::SpyDatabasePath(), sealed))
      return Fail(h->name + ": cannot install the database as " + engine::SpyDatabasePath());
  }

  lab::PlantOptions options = base;
  options.standin = g_bin_dir + "/spystandin";
  lab::PlantResult result;
  bool ok = lab::PlantSpies(map, options, &result, &error);
  {
    std::ofstream pids(PlantedFile(dir), std::ios::app);
    for (const auto& p : result.processes)
      pids << FolderOf(*h) << "\t" << p.pid << "\t" << p.image << "\n";
  }
  for (const auto& t : result.traces)
    std::printf("planted\t%s\t%s\t%s\n", t.type.c_str(), t.spy.c_str(), t.trace.c_str());
  for (const auto& p : result.processes)
    std::printf("running\t%s\t%s\t%u\n", p.spy.c_str(), p.image.c_str(), p.pid);
  for (const auto& s : result.skipped)
    std::printf("skipped\t%s\t%s\t%s\t%s\n", s.type.c_str(), s.spy.c_str(), s.definition.c_str(),
                s.reason.c_str());
  if (!ok) return Fail(h->name + ": " + error);
  std::printf("%s: %zu trace(s) planted, %zu process(es) running, %zu skipped\n", h->name.c_str(),
              result.traces.size(), result.processes.size(), result.skipped.size());
  return 0;
}

int Unplant(const std::string& dir, const std::string& host_name) {
  std::vector<LabHost> hosts;
  std::string password;
  if (!LoadLab(dir, &hosts, &password)) return Fail(dir + ": no lab here (lab.ini missing)");
  const LabHost* h = FindHost(hosts, host_name);
  if (!h) return Fail(host_name + ": no such host in the lab");
  std::printf("%s: %d planted process(es) stopped\n", h->name.c_str(), StopPlanted(dir, *h));
  return 0;
}

int Down(const std::string& dir) {
  std::vector<LabHost> hosts;
  std::string password;
  if (!LoadLab(dir, &hosts, &password)) return Fail(dir + ": no lab here (lab.ini missing)");
  // Planted processes first, then the users' shells, then the daemons
  // (which stop their services).
  for (const auto& h : hosts) StopPlanted(dir, h);
  ::unlink((dir + "/planted.pids").c_str());
  for (const auto& line : platform::Split(ReadText(dir + "/lab.pids"), '\n')) {
    auto parts = platform::Split(line, ' ');
    if (parts.size() != 2) continue;
    Run({"vxhost", "--root", dir + "/" + parts[0], "kill", parts[1]});
  }
  ::unlink((dir + "/lab.pids").c_str());
  int rc = 0;
  for (const auto& h : hosts) {
    pid_t pid = DaemonPid(h.root);
    if (!pid) continue;
    ::kill(pid, SIGTERM);
    bool gone = false;
    for (int i = 0; i < 1500 && !gone; ++i) {
      gone = ::kill(pid, 0) != 0;
      if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!gone) {
      ::kill(pid, SIGKILL);
      std::fprintf(stderr, "lab: %s: daemon %d did not stop; killed\n", h.name.c_str(), pid);
      rc = 1;
    }
  }
  return rc;
}

int Status(const std::string& dir) {
  std::vector<LabHost> hosts;
  std::string password;
  if (!LoadLab(dir, &hosts, &password)) return Fail(dir + ": no lab here (lab.ini missing)");
  int rc = 0;
  for (const auto& h : hosts) {
    pid_t pid = DaemonPid(h.root);
    std::printf("%-8s %-40s %5u  %s\n", h.name.c_str(), h.root.c_str(), h.port,
                pid ? ("running (pid " + std::to_string(pid) + ")").c_str() : "stopped");
    if (!pid) rc = 1;
  }
  return rc;
}

int Up(const std::string& dir_in, int clients, const std::string& logon_delay,
       const std::string& max_per_peer) {
  std::error_code ec;
  fs::create_directories(dir_in, ec);
  std::string dir = fs::absolute(dir_in).lexically_normal().string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (fs::exists(dir + "/lab.ini")) return Fail(dir + ": a lab exists here already (lab down, then remove it)");
  std::string password = RandomPassword();

  std::vector<LabHost> hosts;
  hosts.push_back({"CONSOLE", dir + "/console", 0});
  for (int i = 1; i <= clients; ++i)
    hosts.push_back({"PC" + std::to_string(i), dir + "/pc" + std::to_string(i), FreePort()});

  std::string lab_ini = "[lab]\npassword = " + password + "\n\n[hosts]\n";
  for (const auto& h : hosts)
    lab_ini += h.name + " = " + fs::path(h.root).filename().string() + ", " + std::to_string(h.port) + "\n";
  std::ofstream(dir + "/lab.ini") << lab_ini;
  ::chmod((dir + "/lab.ini").c_str(), 0600);

  std::string pids;
  for (const auto& h : hosts) {
    std::vector<std::string> create = {"vxhost", "create", h.root, "--name", h.name,
                                       "--port", std::to_string(h.port)};
    if (Run(create) != 0) return Fail(h.name + ": vxhost create failed");
    if (Run({"vxhost", "--root", h.root, "user", "passwd", "Administrator", "--password-stdin"}, nullptr,
            password + "\n") != 0)
      return Fail(h.name + ": cannot set the Administrator password");
  }
  // The console's map of the network and the credentials it logs on with.
  {
    std::ofstream ini(dir + "/console/host.ini", std::ios::app);
    for (const auto& h : hosts)
      if (h.port) ini << h.name << " = 127.0.0.1:" << h.port << "\n";
    std::string creds = "# host<TAB>user<TAB>password\n";
    for (const auto& h : hosts)
      if (h.port) creds += h.name + "\tAdministrator\t" + password + "\n";
    int fd = ::open((dir + "/console/credentials").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::write(fd, creds.data(), creds.size()) != static_cast<ssize_t>(creds.size()))
      return Fail("console: cannot write its credentials");
    ::close(fd);
  }
  for (const auto& h : hosts) {
    std::vector<std::string> args = {"vxhostd", "--root", h.root, "--daemon"};
    if (h.port) {
      args.insert(args.end(), {"--remote-address", "127.0.0.1"});
      if (!logon_delay.empty()) args.insert(args.end(), {"--logon-delay-ms", logon_delay});
      if (!max_per_peer.empty()) args.insert(args.end(), {"--max-sessions-per-peer", max_per_peer});
    }
    if (Run(args) != 0) {
      Down(dir);
      return Fail(h.name + ": vxhostd did not start (see " + h.root + "/run/vxhostd.log)");
    }
    if (!h.port) continue;
    std::string out;
    if (Run({"vxhost", "--root", h.root, "logon", "Administrator"}, &out) == 0)
      pids += fs::path(h.root).filename().string() + " " + platform::TrimBlanks(out) + "\n";
    else
      std::fprintf(stderr, "lab: %s: no user logged on (vxhost logon failed)\n", h.name.c_str());
  }
  std::ofstream(dir + "/lab.pids") << pids;
  std::printf("lab up in %s: console + %d client(s)\n", dir.c_str(), clients);
  return Status(dir) == 0 ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: lab up DIR [--clients N] [--logon-delay-ms MS] [--max-sessions-per-peer N]\n"
               "       lab plant DIR HOST [--spies NAME,...|--all] [--db FILE] [--install]\n"
               "       lab unplant DIR HOST\n"
               "       lab down DIR\n"
               "       lab status DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return Fail("cannot find my own folder");
  self[n] = 0;
  g_bin_dir = fs::path(self).parent_path().string();
  if (argc < 3) return Usage();
  std::string cmd = argv[1], dir = argv[2];
  if (cmd == "up") {
    int clients = 2;
    std::string delay, per_peer;
    for (int i = 3; i < argc; ++i) {
      std::string a = argv[i];
      if (a == "--clients" && i + 1 < argc) {
        clients = std::atoi(argv[++i]);
        if (clients < 0 || clients > 200) return Fail("--clients: 0 to 200");
      } else if (a == "--logon-delay-ms" && i + 1 < argc) {
        delay = argv[++i];
      } else if (a == "--max-sessions-per-peer" && i + 1 < argc) {
        per_peer = argv[++i];
      } else {
        return Usage();
      }
    }
    return Up(dir, clients, delay, per_peer);
  }
  if (cmd == "plant" || cmd == "unplant") {
    if (argc < 4) return Usage();
    std::string host = argv[3];
    if (cmd == "unplant") return argc == 4 ? Unplant(dir, host) : Usage();
    lab::PlantOptions options;
    std::string db;
    bool all = false, install = false;
    for (int i = 4; i < argc; ++i) {
      std::string a = argv[i];
      if (a == "--spies" && i + 1 < argc) {
        for (const auto& name : platform::Split(argv[++i], ','))
          if (!name.empty()) options.spies.push_back(name);
        if (options.spies.empty()) return Fail("--spies: give at least one spy name");
      } else if (a == "--all") {
        all = true;
      } else if (a == "--db" && i + 1 < argc) {
        db = argv[++i];
      } else if (a == "--install") {
        install = true;
      } else {
        return Usage();
      }
    }
    if (all && !options.spies.empty()) return Fail("--spies and --all exclude each other");
    if (install && db.empty()) return Fail("--install needs --db FILE");
    // Paths and HKEY_CURRENT_USER as the agent service sees them.
    ::setenv("VX_ACCOUNT", "SYSTEM", 1);
    return Plant(dir, host, options, db, install);
  }
  if (argc != 3) return Usage();
  if (cmd == "down") return Down(dir);
  if (cmd == "status") return Status(dir);
  return Usage();
}
