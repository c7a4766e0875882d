// Runs the service program as a process in this test's network namespace, with its own
// program-data folder and a notification socket standing in for systemd.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class NotifySocket {
public:
  explicit NotifySocket(const fs::path& path) : socketPath(path) {
    descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      descriptor = -1;
  }
  ~NotifySocket() {
    if (descriptor >= 0) close(descriptor);
  }
  bool ok() const { return descriptor >= 0; }
  const fs::path& path() const { return socketPath; }

  // Waits until a datagram holding `text` arrives; false after `timeout`.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      timeval tv{static_cast<time_t>(left.count() / 1000000),
                 static_cast<suseconds_t>(left.count() % 1000000)};
      setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buffer[4096];
      const ssize_t n = recv(descriptor, buffer, sizeof buffer, 0);
      if (n < 0) return false;
      received += std::string(buffer, static_cast<size_t>(n)) + "\n";
      if (received.find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::string received;

private:
  fs::path socketPath;
  int descriptor = -1;
};

// Makes `folder` read-only for this process alone: a private mount namespace with a read-only
// bind mount (mode bits would not stop root).
bool MountReadOnly(const fs::path& folder) {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

// Starts the service with its standard error in `errors` (when given), its data folder
// read-only when asked.
pid_t StartService(const fs::path& data, const fs::path& notify, const fs::path& errors = {},
                   bool readOnly = false) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (readOnly && !MountReadOnly(data)) _exit(126);
    if (!errors.empty()) {
      const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(126);
    }
    setenv("ORVAN_PROGRAM_DATA", data.c_str(), 1);
    setenv("NOTIFY_SOCKET", notify.c_str(), 1);
    execl(DRAVO_SERVICE_PATH, DRAVO_SERVICE_PATH, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// The exit status, or nothing when the process has not ended within `timeout`.
std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(10ms);
  }
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Ends a process the test left running, so a failing test never leaves a server behind.
struct ProcessGuard {
  pid_t pid;
  ~ProcessGuard() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(ServiceProcess, ReadyThenStopsOnSigtermAndASecondInstanceFails) {
  const fs::path dir = fs::temp_directory_path() / ("dravo-service-" + std::to_string(getpid()));
  fs::create_directories(dir);
  NotifySocket first(dir / "notify-1");
  NotifySocket second(dir / "notify-2");
  ASSERT_TRUE(first.ok() && second.ok());

  const pid_t service = StartService(dir, first.path());
  ASSERT_GT(service, 0);
  ProcessGuard serviceGuard{service};
  // The first start also makes the certificate.
  ASSERT_TRUE(first.WaitFor("READY=1", 60s)) << first.received;

  // Port 23 is taken: the second instance fails to start and says so by its status and on
  // standard error.
  const pid_t rival = StartService(dir, second.path(), dir / "rival-errors");
  ProcessGuard rivalGuard{rival};
  const auto rivalStatus = WaitExit(rival, 30s);
  ASSERT_TRUE(rivalStatus.has_value());
  EXPECT_NE(*rivalStatus, 0);
  EXPECT_EQ(second.received.find("READY=1"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "rival-errors"),
            "Cannot start the server: bind 127.0.0.1 port 23: Address already in use\n");

  ASSERT_EQ(kill(service, SIGTERM), 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(first.WaitFor("STOPPING=1", 2s)) << first.received;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      2s - (std::chrono::steady_clock::now() - started));
  const auto status = WaitExit(service, std::max(left, 1ms));
  ASSERT_TRUE(status.has_value()) << "still running 2 s after SIGTERM";
  EXPECT_EQ(*status, 0);
  fs::remove_all(dir);
}

TEST(ServiceProcess, ReadOnlyDataFolderEndsTheStartAtOnceAndSaysWhy) {
  struct Case {
    const char* what;
    bool serverFolder;  // the server's folder exists: only the certificate cannot be made
    const char* line;
  };
  const Case cases[] = {
      {"empty", false, "Cannot start the server: data folder "},
      {"with the server folder", true,
       "Cannot start the server: certificate: key.pem: Read-only file system\n"},
  };
  for (const auto& entry : cases) {
    const fs::path dir = fs::temp_directory_path() / ("dravo-readonly-" + std::to_string(getpid()));
    const fs::path data = dir / "data";
    fs::create_directories(data);
    if (entry.serverFolder) fs::create_directories(data / "Orvan" / "dravo");
    NotifySocket notify(dir / "notify");
    ASSERT_TRUE(notify.ok());
    const pid_t service = StartService(data, notify.path(), dir / "errors", true);
    ProcessGuard guard{service};
    // Well within the service's own 60 s wait for a start.
    const auto status = WaitExit(service, 20s);
    ASSERT_TRUE(status.has_value()) << entry.what;
    EXPECT_EQ(*status, 1) << entry.what;
    const std::string written = ReadFile(dir / "errors");
    EXPECT_NE(written.find(entry.line), std::string::npos) << entry.what << ": " << written;
    EXPECT_NE(written.find("Read-only file system\n"), std::string::npos) << written;
    EXPECT_TRUE(notify.WaitFor("STATUS=failed to start: ", 5s)) << notify.received;
    EXPECT_EQ(notify.received.find("READY=1"), std::string::npos) << entry.what;
    fs::remove_all(dir);
  }
}

}  // namespace
