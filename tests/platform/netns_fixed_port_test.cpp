// Runs as two programs at once, each in its own network namespace: both must be able to hold
// 127.0.0.1:23 (TCP and UDP) and 60007 at the same moment. They meet through marker files.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

int Bind(int type, uint16_t port) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  if (type == SOCK_STREAM && listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

TEST(NetworkNamespace, FixedPortsHeldByTwoProgramsAtOnce) {
  const std::filesystem::path dir = Env("ORVAN_NETNS_DIR");
  ASSERT_FALSE(dir.empty()) << "run through ctest";
  const int tcp = Bind(SOCK_STREAM, 23);
  const int udp = Bind(SOCK_DGRAM, 23);
  const int unsolicited = Bind(SOCK_DGRAM, 60007);
  ASSERT_GE(tcp, 0);
  ASSERT_GE(udp, 0);
  ASSERT_GE(unsolicited, 0);

  std::filesystem::create_directories(dir);
  std::ofstream(dir / Env("ORVAN_NETNS_SELF")) << "bound\n";
  // Hold the ports until the peer has bound its own: then both held them at one moment.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool peerBound = false;
  while (!(peerBound = std::filesystem::exists(dir / Env("ORVAN_NETNS_PEER"))) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(peerBound) << "the peer program never bound its ports (run ctest with -j)";
  close(tcp);
  close(udp);
  close(unsolicited);
}

}  // namespace
