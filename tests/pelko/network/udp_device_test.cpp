// The UDP channel against the fake controller on loopback: handshake and release, datagram
// sorting, record counter, interrupt queue, oversized datagrams and foreign senders.
#include "network/udp_device.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/udp.hpp>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/error_code.hpp"
#include "fakes/fake_controller.hpp"
#include "identify/description.hpp"
#include "protocol/controller_datagram.hpp"

namespace {

using namespace orvan;
using boost::asio::ip::udp;
using orvan::fakes::CodeOf;
using std::chrono::milliseconds;

TEST(ClassifyDatagram, ByLengthAndFirstBytes) {
  using protocol::ClassifyDatagram;
  using protocol::DatagramKind;
  auto withLength = [](size_t size, uint8_t first, size_t declared) {
    std::string bytes(size, 'x');
    bytes[0] = static_cast<char>(first);
    if (size > 3) {
      bytes[2] = static_cast<char>(declared & 0xFF);
      bytes[3] = static_cast<char>(declared >> 8);
    }
    return bytes;
  };
  struct Case {
    std::string bytes;
    DatagramKind kind;
  };
  const std::array<Case, 8> cases{{
      {withLength(19, 0x87, 19), DatagramKind::Record},
      {withLength(406, 0x01, 406), DatagramKind::Record},
      {withLength(19, 0x01, 20), DatagramKind::Text},
      {withLength(18, 0x87, 18), DatagramKind::Text},
      {withLength(18, 0x01, 18), DatagramKind::Interrupt},
      {std::string("\x01\x05x", 3), DatagramKind::Interrupt},
      {std::string("\x01x", 2), DatagramKind::Text},
      {std::string("12.0\r\n:"), DatagramKind::Text},
  }};
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyDatagram(c.bytes.data(), c.bytes.size()), c.kind) << c.bytes.size();
  }
}

class UdpDeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    controller.Start();
    options->address = "127.0.0.1";
    options->commandPort = controller.CommandPort();
    options->unsolicitedPort = controller.UnsolicitedPort();
    options->timeout = 1000;
  }

  std::shared_ptr<UdpDevice> OpenDevice() {
    auto device = std::make_shared<UdpDevice>(io);
    device->Open(options);
    return device;
  }

  fakes::FakeChannel CommandSide() const { return {true, controller.CommandPort()}; }

  // The device's own port, as the controller saw it.
  uint16_t DevicePort() {
    for (const auto& received : controller.Received()) {
      if (received.channel == CommandSide()) return received.peerPort;
    }
    return 0;
  }

  void Datagram(const std::string& bytes) {
    controller.SendDatagram(controller.CommandPort(), bytes);
  }

  boost::asio::io_context io;
  fakes::FakeController controller;
  std::shared_ptr<OrvanOptions> options = std::make_shared<OrvanOptions>();
};

TEST_F(UdpDeviceTest, HandshakeOnOpenAndReleaseOnClose) {
  auto device = OpenDevice();
  EXPECT_EQ(device->BusType(), kBusUdp);
  ASSERT_TRUE(device->description);
  EXPECT_EQ(controller.ReceivedBytes(CommandSide()), "\r");
  EXPECT_EQ(device->Command("MG \"hi\"", true, -1, true), "hi");

  device->Close();
  EXPECT_FALSE(device->IsOpen());
  ASSERT_TRUE(controller.WaitForCommand("IHS=>-1"));
  device->Close();
  EXPECT_EQ(controller.ReceivedBytes(CommandSide()), "\rMG \"hi\"\rIHS=>-1\r");
}

TEST_F(UdpDeviceTest, ControllerThatDoesNotAnswerTheHandshakeFailsTheOpen) {
  controller.Script("", {"", false, false, true});
  options->timeout = 200;
  auto device = std::make_shared<UdpDevice>(io);
  EXPECT_EQ(CodeOf([&] { device->Open(options); }), -1100);
  EXPECT_FALSE(device->IsOpen());
}

TEST_F(UdpDeviceTest, RecordsCountEvenWithoutABuffer) {
  auto device = OpenDevice();
  const std::string record = fakes::FakeController::MakeRecord(40);
  Datagram(record);
  std::array<char, 406> buffer;
  EXPECT_EQ(device->Read(buffer.data(), buffer.size(), true, 1000), 0u);
  EXPECT_EQ(device->RecordCounter(), 1);
  EXPECT_EQ(CodeOf([&] { device->Record(true, 0); }), -1107);

  auto target = std::make_shared<OrvDataRecord>();
  device->SetRecordBuffer(target);
  EXPECT_EQ(device->Record(true, 0), 1);  // the one that came before
  EXPECT_EQ(device->Record(true, 0), 1);  // nothing new: at once, unchanged
  Datagram(fakes::FakeController::MakeRecord(48));
  EXPECT_EQ(device->Record(true, 1000), 2);
  EXPECT_EQ(device->Record(true, 0), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(target->bytes), 48),
            fakes::FakeController::MakeRecord(48));
  EXPECT_EQ(CodeOf([&] { device->Record(true, 100); }), -1100);
  // Synchronous: "QR" fetches one; the counter stays.
  EXPECT_EQ(device->Record(false, -1), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(target->bytes), 64),
            fakes::FakeController::MakeRecord(64));
}

TEST_F(UdpDeviceTest, InterruptStatusBytesQueueUpToSixtyFour) {
  auto device = OpenDevice();
  EXPECT_EQ(device->Interrupt(0), 0);
  Datagram(std::string("\x01\x2A\x00", 3));
  EXPECT_EQ(device->Interrupt(1000), 0x2A);

  // Four datagrams of sixteen status bytes fill the queue; the fifth adds nothing.
  for (uint8_t first : {1, 17, 33, 49, 65}) {
    std::string datagram(18, '\0');
    datagram[0] = 0x01;
    for (int i = 0; i < 16; ++i) datagram[1 + i] = static_cast<char>(first + i);
    Datagram(datagram);
  }
  std::array<char, 406> buffer;
  for (int i = 0; i < 5; ++i) device->Read(buffer.data(), buffer.size(), true, 1000);
  EXPECT_EQ(device->QueuedInterrupts(), 64u);
  for (int expected = 1; expected <= 64; ++expected) EXPECT_EQ(device->Interrupt(0), expected);
  EXPECT_EQ(device->Interrupt(0), 0);
  EXPECT_EQ(CodeOf([&] { device->Interrupt(100); }), -1100);
}

TEST_F(UdpDeviceTest, InterruptWaitKeepsTextForMessages) {
  auto device = OpenDevice();
  Datagram("\xC8\xC9");
  Datagram(std::string("\x01\x07\x00", 3));
  EXPECT_EQ(device->Interrupt(1000), 7);
  std::array<char, 8> buffer;
  ASSERT_EQ(device->Message(buffer.data(), buffer.size(), 0), 2u);
  EXPECT_EQ(std::string(buffer.data(), 2), "HI");
}

TEST_F(UdpDeviceTest, OversizedDatagramIsAReadErrorAndTheNextOneIsRead) {
  auto device = OpenDevice();
  Datagram(std::string(500, 'x'));
  Datagram("fine");
  std::array<char, 406> buffer;
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), buffer.size(), false, 1000); }), -1103);
  ASSERT_EQ(device->Read(buffer.data(), buffer.size(), false, 1000), 4u);
  EXPECT_EQ(std::string(buffer.data(), 4), "fine");
}

TEST_F(UdpDeviceTest, TimedOutReadNeverOverrunsALaterSmallerBuffer) {
  auto device = OpenDevice();
  std::array<char, 406> buffer;
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), buffer.size(), false, 50); }), -1100);
  Datagram("abcdefghij");
  std::array<char, 4> small;
  ASSERT_EQ(device->Read(small.data(), small.size(), false, 1000), 4u);
  EXPECT_EQ(std::string(small.data(), 4), "abcd");
  ASSERT_EQ(device->Read(buffer.data(), buffer.size(), false, 1000), 6u);
  EXPECT_EQ(std::string(buffer.data(), 6), "efghij");
}

TEST_F(UdpDeviceTest, HearsOnlyTheControllerAddressAndFollowsItsPort) {
  auto device = OpenDevice();
  const udp::endpoint target(boost::asio::ip::make_address("127.0.0.1"), DevicePort());
  ASSERT_NE(target.port(), 0);

  udp::socket stranger(io, udp::endpoint(boost::asio::ip::make_address("127.0.0.3"), 0));
  stranger.send_to(boost::asio::buffer(std::string("foreign")), target);
  udp::socket otherPort(io, udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  otherPort.send_to(boost::asio::buffer(std::string("moved")), target);

  std::array<char, 406> buffer;
  ASSERT_EQ(device->Read(buffer.data(), buffer.size(), false, 1000), 5u);
  EXPECT_EQ(std::string(buffer.data(), 5), "moved");
  EXPECT_EQ(device->Read(buffer.data(), buffer.size(), false, 0), 0u);

  // Sends now go to the port the controller's address last spoke from.
  device->Write("TP\r", 3, -1, false);
  std::array<char, 16> got;
  udp::endpoint from;
  ASSERT_EQ(otherPort.receive_from(boost::asio::buffer(got), from), 3u);
  EXPECT_EQ(std::string(got.data(), 3), "TP\r");
  EXPECT_EQ(stranger.available(), 0u);
}

TEST_F(UdpDeviceTest, WritesOneDatagramPerChunk) {
  auto device = OpenDevice();
  controller.ClearLog();
  const std::string text(900, 'y');
  device->Write(text.data(), text.size(), -1, false);
  ASSERT_TRUE(controller.WaitForBytes(CommandSide(), text));
  std::vector<size_t> sizes;
  for (const auto& received : controller.Received()) sizes.push_back(received.bytes.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{449, 449, 2}));
}

}  // namespace
