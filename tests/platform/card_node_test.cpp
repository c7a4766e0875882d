// The card driver over a node, tried on what this machine has: a missing node, and a FIFO in
// a folder of the test's own in place of /dev/rurezivu1 (read, write and poll work on it, its
// control requests fail). Also the card names, the listing under the device root and the seam.
#include "platform/card_node.hpp"

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/simulated_card.hpp"
#include "platform/card_driver.hpp"

namespace {

using namespace platform;
using std::chrono::milliseconds;

CardClock::time_point In(int ms) { return CardClock::now() + milliseconds(ms); }

TEST(CardNames, NameOrPathGivesTheNode) {
  const struct {
    const char* name;
    int number;
    const char* path;
  } cases[] = {
      {"RUREZIVU1", 1, "/dev/rurezivu1"},
      {"RUREZIVU16", 16, "/dev/rurezivu16"},
      {"/tmp/x/dev/rurezivu3", 0, "/tmp/x/dev/rurezivu3"},
      {"RUREZIVU0", 0, ""},
      {"RUREZIVU01", 0, ""},
      {"RUREZIVU", 0, ""},
      {"RUREZIVU2x", 0, ""},
      {"XRUREZIVU2", 0, ""},
      {"PCI1", 0, ""},
      {"RUREZIVU1234567890", 0, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CardNumber(c.name), c.number) << c.name;
    EXPECT_EQ(CardNodePath(c.name), c.path) << c.name;
  }
}

TEST(CardNode, MissingNodeIsNoSuchFile) {
  for (const char* name : {"RUREZIVU9", "PCI9"}) {
    int error = 0;
    EXPECT_EQ(OpenCard(name, error), nullptr) << name;
    EXPECT_EQ(error, ENOENT) << name;
  }
}

class CardFifo : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/card-node-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    ASSERT_EQ(mkdir((folder + "/dev").c_str(), 0700), 0);
    path = folder + "/dev/rurezivu1";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  }
  void TearDown() override { boost::filesystem::remove_all(folder); }

  std::shared_ptr<CardHandle> Open() {
    int error = 0;
    auto card = OpenCard(path, error);
    EXPECT_TRUE(card) << error;
    return card;
  }

  std::string folder;
  std::string path;
};

TEST_F(CardFifo, ReadsWritesAndControlRequestsCompleteNowPendOrFail) {
  auto card = Open();
  ASSERT_TRUE(card);
  const std::string bytes = "abc";
  CardRequest write{CardRequestKind::Write, bytes.data(), bytes.size(), nullptr, 0};
  CardResult result = card->Start(write);
  EXPECT_EQ(result.state, CardResult::Done);
  EXPECT_EQ(result.count, 3u);

  char buffer[8] = {};
  CardRequest read{CardRequestKind::Read, nullptr, 0, buffer, sizeof buffer};
  result = card->Start(read);
  ASSERT_EQ(result.state, CardResult::Done);
  EXPECT_EQ(std::string(buffer, result.count), "abc");

  // Nothing more: the read pends, its wait ends by the deadline, the cancel ends it.
  EXPECT_EQ(card->Start(read).state, CardResult::Pending);
  const auto start = CardClock::now();
  EXPECT_EQ(card->Wait(read, In(30)).state, CardResult::Pending);
  EXPECT_GE(CardClock::now() - start, milliseconds(30));
  result = card->Cancel(read);
  EXPECT_EQ(result.state, CardResult::Failed);
  EXPECT_EQ(result.error, ECANCELED);

  uint8_t input[2] = {};
  uint8_t output[8] = {};
  CardRequest count{CardRequestKind::Count, input, sizeof input, output, sizeof output};
  result = card->Start(count);
  EXPECT_EQ(result.state, CardResult::Failed);
  EXPECT_EQ(result.error, ENOTTY);

  card->Close();
  result = card->Start(write);
  EXPECT_EQ(result.state, CardResult::Failed);
  EXPECT_EQ(result.error, EBADF);
}

TEST_F(CardFifo, OneOpenerAtATime) {
  auto card = Open();
  int error = 0;
  EXPECT_EQ(OpenCard(path, error), nullptr);
  EXPECT_EQ(error, EBUSY);
  card->Close();
  EXPECT_TRUE(Open());
}

TEST_F(CardFifo, WaitEndsWhenBytesArrive) {
  auto card = Open();
  char buffer[8] = {};
  CardRequest read{CardRequestKind::Read, nullptr, 0, buffer, sizeof buffer};
  ASSERT_EQ(card->Start(read).state, CardResult::Pending);
  std::thread writer([this] {
    std::this_thread::sleep_for(milliseconds(50));
    const int other = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_EQ(::write(other, "hello", 5), 5);
    ::close(other);
  });
  const CardResult result = card->Wait(read, In(5000));
  writer.join();
  ASSERT_EQ(result.state, CardResult::Done);
  EXPECT_EQ(std::string(buffer, result.count), "hello");
}

// Closing a descriptor does not wake a thread in poll: cancel and close must, from another
// thread, and close must wait until that thread is out. The simulated card keeps the same
// promise, since the server's tests stand on it.
TEST_F(CardFifo, CancelAndCloseFromAnotherThreadEndAWaitInProgress) {
  orvan::fakes::SimulatedCards cards;
  cards.Insert(1);
  for (const bool simulated : {false, true}) {
    for (const bool closing : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << (simulated ? "simulated " : "node ") << (closing ? "close" : "cancel"));
      int error = 0;
      auto card = simulated ? OpenCard("RUREZIVU1", error) : OpenCardNode(path, error);
      ASSERT_TRUE(card) << error;
      char buffer[8];
      CardRequest read{CardRequestKind::Read, nullptr, 0, buffer, sizeof buffer};
      ASSERT_EQ(card->Start(read).state, CardResult::Pending);
      CardResult result;
      const auto start = CardClock::now();
      std::thread waiter([&] { result = card->Wait(read, CardClock::time_point::max()); });
      std::this_thread::sleep_for(milliseconds(50));
      if (closing) {
        card->Close();
      } else {
        card->CancelAll();
      }
      waiter.join();
      EXPECT_LT(CardClock::now() - start, milliseconds(2000));
      EXPECT_EQ(result.state, CardResult::Failed);
      EXPECT_EQ(result.error, ECANCELED);
      card.reset();  // closes; the next round opens the card again
    }
  }
}

TEST_F(CardFifo, ListingNamesTheNodesUnderTheDeviceRootUpToTheHighestNumber) {
  std::ofstream(folder + "/dev/rurezivu3").put('x');
  ASSERT_EQ(mkfifo((folder + "/dev/rurezivu9").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((folder + "/dev/rurezivu4").c_str(), 0700), 0);  // no node
  setenv("ORVAN_DEVICE_ROOT", folder.c_str(), 1);
  EXPECT_EQ(ListCards(8), (std::vector<std::string>{"RUREZIVU1", "RUREZIVU3"}));
  EXPECT_EQ(ListCards(16), (std::vector<std::string>{"RUREZIVU1", "RUREZIVU3", "RUREZIVU9"}));
  {
    // A stand-in lists its own cards, and the system's come back when it goes.
    orvan::fakes::SimulatedCards cards;
    cards.Insert(5);
    EXPECT_EQ(ListCards(8), std::vector<std::string>{"RUREZIVU5"});
  }
  EXPECT_EQ(ListCards(2), std::vector<std::string>{"RUREZIVU1"});
  unsetenv("ORVAN_DEVICE_ROOT");
}

}  // namespace
