// The hardware search on a host whose only interface is loopback: no Ethernet controller can
// answer, the cards and serial ports come from listings of the test's own, and the search's
// window, its results and its closing at teardown show.
#include "services/resource_lister.hpp"
#include "support/temporary_device_root.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

class ResourceListerTest : public testing::Test {
protected:
  ResourceListerTest()
      : lister(std::make_shared<ResourceLister>(io, LocalDeviceLists{[this] {
                                                                       ++listings;
                                                                       return cards;
                                                                     },
                                                                     [this] { return ports; }})) {}

  boost::asio::io_context io;
  std::vector<std::string> cards{"RUREZIVU1", "RUREZIVU3"};
  std::vector<std::string> ports{"/dev/ttyUSB0"};
  int listings = 0;
  std::shared_ptr<ResourceLister> lister;
};

TEST_F(ResourceListerTest, ListsTheCardsThenTheSerialPortsOncePerWindow) {
  EXPECT_EQ(lister->Found(), "");
  lister->Search();
  EXPECT_EQ(lister->Found(), "RUREZIVU1\r\nRUREZIVU3\r\n/dev/ttyUSB0\r\n");

  // Asked again within the window: the search under way goes on, nothing is listed anew.
  cards = {"RUREZIVU2"};
  lister->Search();
  EXPECT_EQ(listings, 1);

  io.run();  // the window ends
  EXPECT_EQ(lister->Found(), "RUREZIVU1\r\nRUREZIVU3\r\n/dev/ttyUSB0\r\n");
  lister->Search();
  EXPECT_EQ(listings, 2);
  EXPECT_EQ(lister->Found(), "RUREZIVU2\r\n/dev/ttyUSB0\r\n");
}

TEST_F(ResourceListerTest, ClosingEndsTheSearchAtOnceAndForGood) {
  lister->Search();
  lister->Close();
  // Without waiting for the window: the cancelled timer's completion is ready to run.
  io.poll();
  EXPECT_TRUE(io.stopped());
  EXPECT_EQ(lister.use_count(), 1);  // nothing pending holds it any more

  io.restart();
  lister->Search();
  EXPECT_EQ(listings, 1);
  EXPECT_EQ(io.poll(), 0u);  // no new search was started
  EXPECT_EQ(lister->Found(), "RUREZIVU1\r\nRUREZIVU3\r\n/dev/ttyUSB0\r\n");
}

TEST(SystemSearchLists, TheCardsAndSerialPortsAreTheRealOnesOfTheDeviceRoot) {
  TemporaryDeviceRoot devices;
  // Card nodes: the search looks at the first 16, and a folder is no card.
  std::filesystem::create_directories(devices.root / "dev");
  for (const char* node : {"rurezivu1", "rurezivu16", "rurezivu17"})
    std::ofstream(devices.root / "dev" / node);
  std::filesystem::create_directories(devices.root / "dev" / "rurezivu2");
  devices.Add("ttyUSB0");
  devices.Add("ttyS10");
  devices.Add("ttyS2");
  devices.Add("ttyV0", false);        // no device behind it: a console or a pty
  devices.Add("ttyS3", true, false);  // no node in /dev
  boost::asio::io_context io;
  auto lister = std::make_shared<ResourceLister>(io);
  lister->Search();
  EXPECT_EQ(lister->Found(),
            "RUREZIVU1\r\nRUREZIVU16\r\n/dev/ttyS2\r\n/dev/ttyS10\r\n/dev/ttyUSB0\r\n");
  lister->Close();
  io.poll();
}

}  // namespace
