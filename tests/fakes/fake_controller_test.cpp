// The fake controller answers as the tests that lean on it expect: identification queries,
// prompts and errors, subscriptions per handle, unsolicited traffic, and its own record.
#include "fakes/fake_controller.hpp"
#include "fakes/controller_process.hpp"

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <string>

using orvan::fakes::ControllerProcess;

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

// Reads to the prompt, the error mark, or the end of a binary reply of the given length.
std::string ReadReply(tcp::socket& socket) {
  std::string reply;
  std::array<char, 512> chunk;
  while (reply.empty() || (reply.back() != ':' && reply != "?")) {
    const size_t count = socket.read_some(asio::buffer(chunk));
    reply.append(chunk.data(), count);
  }
  return reply;
}

std::string ReceiveDatagram(udp::socket& socket) {
  std::array<char, 2048> datagram;
  udp::endpoint sender;
  const size_t count = socket.receive_from(asio::buffer(datagram), sender);
  return std::string(datagram.data(), count);
}

class FakeControllerTest : public ::testing::Test {
protected:
  void SetUp() override {
    orvan::fakes::FakeControllerSettings settings;
    settings.address = "127.0.0.2";
    settings.commandPort = 23;
    settings.unsolicitedPort = 60007;
    settings.identity.optionReport = "ICM1 ssi";
    settings.identity.capabilities = "PR 80,2000,1\r\nVA 16000,30,510,510";
    controller = std::make_unique<orvan::fakes::FakeController>(settings);
    controller->Start();
  }

  tcp::socket Connect(uint16_t port) {
    tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.2"), port});
    return socket;
  }

  std::string Ask(tcp::socket& socket, const std::string& command) {
    asio::write(socket, asio::buffer(command + "\r"));
    return ReadReply(socket);
  }

  asio::io_context io;
  std::unique_ptr<orvan::fakes::FakeController> controller;
};

TEST_F(FakeControllerTest, AnswersCommandsAndIdentificationQueries) {
  struct Case {
    const char* command;
    const char* reply;
  };
  const std::array<Case, 13> cases{{
      {"", ":"},
      {"\x12\x16", "VKT4140 Rev 1.0b\r\n:"},
      {"MG_BN{Z10.0}", "1234\r\n:"},
      {"ID", "ICM1 ssi\r\n:"},
      {"QP", "PR 80,2000,1\r\nVA 16000,30,510,510\r\n:"},
      {"MG _CO", "0\r\n:"},
      {"MG _TM", "1.0\r\n:"},
      {"TC1", "0\r\n:"},
      {"EO0", ":"},
      {"NOPE", "?"},
      {"TC1", "1 Unrecognized command\r\n:"},
      {"SPEED=42", ":"},
      {"MG SPEED", "42\r\n:"},
  }};
  auto socket = Connect(23);
  for (const auto& c : cases) EXPECT_EQ(Ask(socket, c.command), c.reply) << c.command;
  EXPECT_EQ(Ask(socket, "MG \"hello\""), "hello\r\n:");
  // The binary record reply: the record, then the prompt.
  EXPECT_EQ(Ask(socket, "QR"), orvan::fakes::FakeController::MakeRecord(64) + ":");
}

TEST_F(FakeControllerTest, IgnoresBareLineFeedsButRecordsThem) {
  auto socket = Connect(23);
  asio::write(socket, asio::buffer(std::string("\nSH\r\n")));
  EXPECT_EQ(ReadReply(socket), ":");
  ASSERT_TRUE(controller->WaitForCommand("SH"));
  EXPECT_EQ(controller->CommandsOn({false, 23}), std::vector<std::string>{"SH"});
  std::string bytes;
  for (const auto& received : controller->Received()) bytes += received.bytes;
  EXPECT_EQ(bytes, "\nSH\r\n");
}

TEST_F(FakeControllerTest, SendsEachStreamToTheHandleThatAskedForIt) {
  udp::socket channel(io, udp::v4());
  const udp::endpoint unsolicited(asio::ip::make_address("127.0.0.2"), 60007);
  for (const char* command : {"\r", "CFI\r", "DR,_WH\r", "EI,,_WH\r"}) {
    channel.send_to(asio::buffer(std::string(command)), unsolicited);
    EXPECT_EQ(ReceiveDatagram(channel), ":") << command;
  }
  auto tcpCommands = Connect(23);

  controller->SendMessage("hi");
  EXPECT_EQ(ReceiveDatagram(channel), "\xE8\xE9");
  controller->SendRecord();
  EXPECT_EQ(ReceiveDatagram(channel), orvan::fakes::FakeController::MakeRecord(64));
  controller->SendInterrupt("\x0A\x0B");
  EXPECT_EQ(ReceiveDatagram(channel), std::string("\x01\x0A\x0B\x00", 4));
  EXPECT_EQ(controller->CommandsOn({true, 60007}),
            (std::vector<std::string>{"", "CFI", "DR,_WH", "EI,,_WH"}));
  EXPECT_EQ(tcpCommands.available(), 0u);  // messages went to the subscriber only
}

TEST_F(FakeControllerTest, MessagesGoToTcpWithoutSubscriberAndScriptsCanClose) {
  auto socket = Connect(23);
  ASSERT_EQ(Ask(socket, ""), ":");
  controller->SendMessage("A");
  std::array<char, 1> byte;
  asio::read(socket, asio::buffer(byte));
  EXPECT_EQ(static_cast<uint8_t>(byte[0]), 0xC1);

  controller->Script("XQ", {"12", true});
  asio::write(socket, asio::buffer(std::string("XQ\r")));
  std::string rest;
  boost::system::error_code error;
  std::array<char, 16> chunk;
  while (!error) rest.append(chunk.data(), socket.read_some(asio::buffer(chunk), error));
  EXPECT_EQ(rest, "12");
  EXPECT_EQ(error, asio::error::eof);
}

TEST(FakeControllerPorts, PicksOneFreePortForTcpAndUdp) {
  orvan::fakes::FakeController controller;
  controller.Start();
  ASSERT_NE(controller.CommandPort(), 0);
  ASSERT_NE(controller.UnsolicitedPort(), 0);
  asio::io_context io;
  udp::socket channel(io, udp::v4());
  channel.send_to(asio::buffer(std::string("\r")),
                  udp::endpoint(asio::ip::make_address("127.0.0.1"), controller.CommandPort()));
  EXPECT_EQ(ReceiveDatagram(channel), ":");
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), controller.UnsolicitedPort()});
  asio::write(socket, asio::buffer(std::string("\r")));
  EXPECT_EQ(ReadReply(socket), ":");
}

TEST(FakeControllerProgram, SignalsReadinessServesAndEndsWithItsInput) {
  ControllerProcess program(ORVAN_FAKE_CONTROLLER, {"--identity=VKTB283 Rev 3.0"});
  EXPECT_EQ(program.address, "127.0.0.1");

  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address(program.address), program.commandPort});
  asio::write(socket, asio::buffer(std::string("\x12\x16\r")));
  EXPECT_EQ(ReadReply(socket), "VKTB283 Rev 3.0\r\n:");
  program.Send("message hi");
  std::array<char, 2> bytes;
  asio::read(socket, asio::buffer(bytes));
  EXPECT_EQ(std::string(bytes.data(), 2), "\xE8\xE9");
  EXPECT_EQ(program.Finish(), 0);
}

}  // namespace
