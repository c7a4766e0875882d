// A running server for end-to-end tests: settings and certificate in a folder of the test's
// own, listening on 127.0.0.1:23 (so the test program runs in a network namespace).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "dravo.hpp"

class DravoServerFixture : public testing::Test {
protected:
  void SetUp() override {
    char folder[] = "/tmp/dravo-session-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dataFolder = folder;
    setenv("ORVAN_PROGRAM_DATA", folder, 1);
    ASSERT_EQ(dravo.Start(""), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Accepting() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(dravo.Running()) << dravo.Failure();
  }
  void TearDown() override {
    dravo.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dataFolder, ignored);
  }

  static bool Accepting() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(23);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return connected;
  }

  Dravo dravo;
  std::filesystem::path dataFolder;
};
