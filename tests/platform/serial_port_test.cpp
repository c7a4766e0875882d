// Serial port names and listings: what a serial address opens, which ports a listing reports
// and in what order, the exclusive hold and the count of waiting bytes.
#include "platform/serial_port.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "support/temporary_device_root.hpp"

namespace {

using Paths = std::vector<std::string>;

TEST(SerialPort, AddressesMapToDevicePaths) {
  const struct {
    const char* address;
    const char* path;
  } cases[] = {
      {"COM1", "/dev/ttyS0"},
      {"COM12", "/dev/ttyS11"},
      {"COM0", "COM0"},
      {"COM", "COM"},
      {"COM01", "COM01"},
      {"COM1x", "COM1x"},
      {"XCOM1", "XCOM1"},
      {"com1", "com1"},
      {"COM99999999999", "COM99999999999"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/tmp/x/dev/ttyV1", "/tmp/x/dev/ttyV1"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::SerialPortPath(c.address), c.path) << c.address;
}

TEST(SerialPort, NamesOrderWithNumbersByValue) {
  Paths names{"ttyS10", "ttyUSB0", "ttyS2", "ttyACM1", "ttyS1", "ttyS02", "ttyS"};
  std::sort(names.begin(), names.end(), platform::SerialNameBefore);
  EXPECT_EQ(names, (Paths{"ttyACM1", "ttyS", "ttyS1", "ttyS02", "ttyS2", "ttyS10", "ttyUSB0"}));
}

TEST(SerialPort, ListsRealPortsWithNodesUnderTheDeviceRoot) {
  TemporaryDeviceRoot tree;
  tree.Add("ttyS10");
  tree.Add("ttyS2");
  tree.Add("ttyUSB0");
  tree.Add("tty1", false);         // a console: no device link
  tree.Add("ttyS3", true, false);  // no node in /dev
  EXPECT_EQ(platform::SerialPortPaths(), (Paths{"/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0"}));
}

TEST(SerialPort, ListingStopsAt256AndAMissingTreeListsNothing) {
  TemporaryDeviceRoot tree;
  for (int n = 0; n < 300; ++n) tree.Add("ttyS" + std::to_string(n));
  const Paths paths = platform::SerialPortPaths();
  ASSERT_EQ(paths.size(), platform::kSerialPortLimit);
  EXPECT_EQ(paths.front(), "/dev/ttyS0");
  EXPECT_EQ(paths.back(), "/dev/ttyS255");

  std::filesystem::remove_all(tree.root / "sys");
  EXPECT_TRUE(platform::SerialPortPaths().empty());
}

TEST(SerialPort, HoldIsExclusiveUntilTheHolderClosesAndCountsWaitingBytes) {
  int master = -1, slave = -1;
  char name[128];
  termios raw{};
  cfmakeraw(&raw);  // a canonical line would count only whole lines
  ASSERT_EQ(openpty(&master, &slave, name, &raw, nullptr), 0);
  const int first = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  const int second = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  EXPECT_FALSE(platform::HoldExclusively(first));
  EXPECT_EQ(platform::HoldExclusively(second).value(), EWOULDBLOCK);
  close(first);
  EXPECT_FALSE(platform::HoldExclusively(second));

  EXPECT_EQ(platform::SerialBytesWaiting(second), 0);
  ASSERT_EQ(write(master, "abc", 3), 3);
  for (int tries = 0; tries < 100 && platform::SerialBytesWaiting(second) < 3; ++tries) {
    usleep(10000);
  }
  EXPECT_EQ(platform::SerialBytesWaiting(second), 3);
  close(second);
  EXPECT_EQ(platform::SerialBytesWaiting(second), -1);
  close(slave);
  close(master);
}

}  // namespace
