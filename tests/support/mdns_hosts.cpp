// Hosts made by mdns_host.sh, and programs run inside them through nsenter.
#include "support/mdns_hosts.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef ORVAN_MDNS_HOST_SCRIPT
#error "ORVAN_MDNS_HOST_SCRIPT names mdns_host.sh"
#endif

extern char** environ;

namespace {

std::string NamespaceOf(const std::string& process, const char* kind) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + process + "/ns/" + kind, error).string();
}

pid_t Spawn(const std::vector<std::string>& words, int output = -1) {
  std::vector<char*> argv;
  for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output >= 0) posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  // Not the test's own descriptors: a server's listening socket held by a child would keep its
  // port from the server's next core.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed ? -1 : pid;
}

// Waits for a child until the deadline; its status, or -1 when it still runs.
int WaitChild(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0) return 0;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int EndChild(pid_t pid) {
  kill(pid, SIGTERM);
  int status = WaitChild(pid, std::chrono::steady_clock::now() + std::chrono::seconds(10));
  if (status == -1) {
    kill(pid, SIGKILL);
    status = WaitChild(pid, std::chrono::steady_clock::now() + std::chrono::seconds(10));
  }
  return status;
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

}  // namespace

bool MdnsHost::TakeHostName(const std::string& name) {
  // Never the machine's name: only inside the runner's PID namespace, whose first process
  // shows the UTS namespace this process must leave.
  if (NamespaceOf("self", "uts") == NamespaceOf("1", "uts") && unshare(CLONE_NEWUTS) != 0)
    return false;
  if (NamespaceOf("self", "uts") == NamespaceOf("1", "uts")) return false;
  return sethostname(name.c_str(), name.size()) == 0;
}

MdnsHost::MdnsHost(std::string name, std::string interface, const PeerNamespace* peer, bool daemon)
    : hostName(std::move(name)), inPeer(peer != nullptr) {
  char made[] = "/tmp/orvan-mdns-XXXXXX";
  if (!mkdtemp(made)) throw std::runtime_error("no temporary folder");
  folder = made;
  busAddress = "unix:path=" + folder + "/bus";
  std::vector<std::string> words;
  if (peer) words = {"nsenter", "--net=" + peer->path, "--", "unshare", "--uts", "--mount", "--"};
  words.insert(words.end(), {"bash", ORVAN_MDNS_HOST_SCRIPT, folder, hostName, interface});
  if (peer) words.push_back("--own-hostname");
  if (!daemon) words.push_back("--no-daemon");
  holder = Spawn(words);
}

MdnsHost::~MdnsHost() {
  for (auto pid = started.rbegin(); pid != started.rend(); ++pid) EndChild(*pid);
  if (holder > 0 && EndChild(holder) != 0) {
    // The script did not end its daemons itself: end them by their recorded pids.
    std::istringstream pids(ReadAll(folder + "/pids"));
    for (pid_t pid = 0; pids >> pid;) kill(pid, SIGKILL);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

bool MdnsHost::WaitReady(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::exists(folder + "/ready")) return true;
    if (std::filesystem::exists(folder + "/failed")) return false;
    int status = 0;
    if (holder <= 0 || waitpid(holder, &status, WNOHANG) == holder) {
      holder = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool MdnsHost::RestartDaemon() {
  // The script records the bus first, then the daemon.
  std::istringstream pids(ReadAll(folder + "/pids"));
  pid_t bus = 0, daemon = 0;
  if (!(pids >> bus >> daemon)) return false;
  kill(daemon, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::filesystem::exists("/proc/" + std::to_string(daemon) + "/status") &&
         ReadAll("/proc/" + std::to_string(daemon) + "/status").find("State:\tZ") ==
             std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Start({"sh", "-c",
                "exec avahi-daemon --no-drop-root --no-chroot --no-rlimits -f \"$0/avahi.conf\" "
                ">>\"$0/avahi.log\" 2>&1",
                folder}) > 0;
}

std::string MdnsHost::Failure() const {
  return ReadAll(folder + "/failed") + ReadAll(folder + "/avahi.log") +
         ReadAll(folder + "/bus.log");
}

std::vector<std::string> MdnsHost::Enter(const std::vector<std::string>& command,
                                         const std::vector<std::string>& environment) const {
  std::vector<std::string> words;
  // The holder's own namespaces: its peer's network, its host name and its daemon's folder.
  if (inPeer) words = {"nsenter", "-t", std::to_string(holder), "-n", "-u", "-m", "--"};
  words.insert(words.end(), {"env", "DBUS_SYSTEM_BUS_ADDRESS=" + busAddress});
  words.insert(words.end(), environment.begin(), environment.end());
  words.insert(words.end(), command.begin(), command.end());
  return words;
}

pid_t MdnsHost::Start(const std::vector<std::string>& command,
                      const std::vector<std::string>& environment) {
  const pid_t pid = Spawn(Enter(command, environment));
  if (pid > 0) started.push_back(pid);
  return pid;
}

int MdnsHost::Stop(pid_t pid) {
  started.erase(std::remove(started.begin(), started.end(), pid), started.end());
  return EndChild(pid);
}

std::string MdnsHost::Run(const std::vector<std::string>& command,
                          std::chrono::milliseconds timeout) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return "";
  const pid_t pid = Spawn(Enter(command, {}), pipeEnds[1]);
  close(pipeEnds[1]);
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
  for (;;) {
    char chunk[4096];
    const ssize_t got = read(pipeEnds[0], chunk, sizeof chunk);
    if (got > 0) {
      output.append(chunk, static_cast<size_t>(got));
      continue;
    }
    if (got == 0 || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  close(pipeEnds[0]);
  if (pid > 0) {
    if (WaitChild(pid, deadline) == -1) EndChild(pid);
  }
  return output;
}
