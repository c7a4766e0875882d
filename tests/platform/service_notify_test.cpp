// The state lines reach whatever socket NOTIFY_SOCKET names, exactly as written; without a
// manager listening nothing is sent and nothing fails.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

#include "platform/service_notify.hpp"

namespace {

class Manager {
public:
  Manager() {
    char pattern[] = "/tmp/notify-XXXXXX";
    folder = mkdtemp(pattern);
    path = folder + "/notify";
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~Manager() {
    close(fd);
    unlink(path.c_str());
    rmdir(folder.c_str());
    unsetenv("NOTIFY_SOCKET");
  }
  std::string Receive() {
    std::array<char, 256> bytes{};
    const ssize_t got = recv(fd, bytes.data(), bytes.size(), 0);
    return got > 0 ? std::string(bytes.data(), static_cast<size_t>(got)) : std::string();
  }

  std::string folder;
  std::string path;
  int fd = -1;
  bool bound = false;
};

TEST(ServiceNotify, StateLinesReachTheManager) {
  Manager manager;
  ASSERT_TRUE(manager.bound);
  setenv("NOTIFY_SOCKET", manager.path.c_str(), 1);
  for (const std::string state : {"READY=1\nSTATUS=serving", "STOPPING=1\nSTATUS=stopping"}) {
    EXPECT_TRUE(platform::NotifyServiceManager(state));
    EXPECT_EQ(manager.Receive(), state);
  }
}

TEST(ServiceNotify, WithoutAManagerNothingIsSent) {
  Manager manager;
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(platform::NotifyServiceManager("READY=1"));
  // A socket that nobody holds any more: the send fails, quietly.
  setenv("NOTIFY_SOCKET", (manager.folder + "/gone").c_str(), 1);
  EXPECT_FALSE(platform::NotifyServiceManager("READY=1"));
}

}  // namespace
