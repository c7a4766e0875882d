// The server-client device against a small fake server on 127.0.0.1 port 23 (TLS and UDP, in
// a namespace of its own): connect and compatibility, open and link with retries, the shell
// exchange and its escapes, sub-channels and their streams, writes and pacing, lost channels,
// the keep-alive and the utility requests.
#include "server_client/client_device.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/error_code.hpp"
#include "fakes/fake_dravo.hpp"
#include "identify/description.hpp"
#include "pelko.h"

namespace {

using namespace orvan;
using orvan::fakes::CodeOf;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

const std::string kEscS{'\x1b', 's'};
const std::string kEscR{'\x1b', 'r'};
const std::string kEscC{'\x1b', 'c'};
const std::string kEscK{'\x1b', 'k'};

int64_t MillisecondsSince(steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// A lost channel ends a step with a read timeout or a write error, whichever meets it first.
bool LostCode(int32_t code) { return code == -1100 || code == -1104; }

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return Count(lines, line) > 0;
}

class ClientDeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    options->address = "127.0.0.2";
    options->timeout = 1000;
  }

  void Serve(fakes::FakeDravoSettings settings = {}) {
    server = std::make_unique<fakes::FakeDravo>(settings);
    server->Start();
  }

  std::shared_ptr<ClientDevice> OpenDevice() {
    auto device = std::make_shared<ClientDevice>(io);
    device->Open(options);
    return device;
  }

  void SubscribeAll() { options->subscribeMG = options->subscribeDR = options->subscribeEI = true; }

  // Waits until the server has seen exactly these bytes since its log was cleared.
  bool TlsBytesAre(const std::string& bytes) {
    return server->WaitUntil([&] { return server->TlsBytes().size() >= bytes.size(); },
                             milliseconds(2000)) &&
           server->TlsBytes() == bytes;
  }

  // Waits until the last bytes sent have arrived, then clears the log.
  bool Settled(const std::string& last) {
    const bool arrived = server->WaitUntil([&] {
      const std::string bytes = server->TlsBytes();
      return bytes.size() >= last.size() &&
             bytes.compare(bytes.size() - last.size(), last.size(), last) == 0;
    });
    server->ClearLog();
    return arrived;
  }

  boost::asio::io_context io;
  std::unique_ptr<fakes::FakeDravo> server;
  std::shared_ptr<OrvanOptions> options = std::make_shared<OrvanOptions>();
};

TEST_F(ClientDeviceTest, OpensLinksSubscribesAndCloses) {
  Serve();
  SubscribeAll();
  auto device = OpenDevice();
  EXPECT_TRUE(device->IsOpen());
  EXPECT_TRUE(device->IsConnected());
  EXPECT_EQ(device->BusType(), kBusServerClient);
  EXPECT_EQ(device->CommandChannelMode(), kModeCooked);
  ASSERT_TRUE(device->description);
  EXPECT_TRUE(device->description->identified);
  EXPECT_EQ(device->description->identity, "VKT4140 Rev 1.0b");

  const auto lines = server->ShellLines();
  const std::string command = " --address 127.0.0.2 --port 23 --protocol tcp";
  const std::string streams = " --address 127.0.0.2 --port 60007 --protocol udp";
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "tcp a -c");
  EXPECT_EQ(lines[1], "tcp o " + command);
  EXPECT_EQ(lines[2], "tcp l " + command);
  // Each sub-channel greets, opens and links on its own.
  EXPECT_EQ(Count(lines, "udp "), 3u);
  EXPECT_EQ(Count(lines, "udp o " + streams), 3u);
  EXPECT_EQ(Count(lines, "udp l " + streams), 3u);
  const auto commands = server->Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "EO0");
  EXPECT_EQ(commands[1], "EO0");
  for (const char* expected : {"CW1", "\x12\x16", "CFI", "DR,_WH", "EI,,_WH"}) {
    EXPECT_TRUE(Contains(commands, expected)) << expected;
  }
  const std::string udp = server->UdpBytes();
  for (const char letter : {'m', 'd', 'i'}) {
    EXPECT_NE(udp.find(std::string{'\x1b', letter}), std::string::npos) << letter;
  }

  EXPECT_EQ(device->Command("MG \"ok\"", true, -1, true), "ok");

  server->ClearLog();
  device->Close();
  EXPECT_FALSE(device->IsOpen());
  EXPECT_FALSE(device->IsConnected());
  EXPECT_FALSE(device->description);
  EXPECT_TRUE(TlsBytesAre(kEscS + "exit\r"));
  EXPECT_TRUE(server->WaitUntil([&] { return server->TlsClients() == 0; }));
  // Every sub-channel leaves its cooked session for the shell and exits.
  std::string exits;
  for (int i = 0; i < 3; ++i) exits += kEscS + "exit\r";
  EXPECT_TRUE(server->WaitUntil([&] { return server->UdpBytes() == exits; }));
}

TEST_F(ClientDeviceTest, OpenAndLinkTextsFollowTheAddressKind) {
  struct Case {
    std::string address;
    int32_t commandType;
    uint32_t baud;
    bool handshakeNone;
    std::string expected;
    std::string setup;  // a command only this kind sends, or empty
  };
  const std::array<Case, 4> cases{{
      {"127.0.0.2", kChannelTcp, 115200, false, " --address 127.0.0.2 --port 23 --protocol tcp",
       ""},
      {"127.0.0.2", kChannelUdp, 115200, false, " --address 127.0.0.2 --port 23 --protocol udp",
       ""},
      {"/dev/ttyS0", kChannelTcp, 9600, true, " --address /dev/ttyS0 --baud 9600 --handshake none",
       ""},
      {"RUREZIVU1", kChannelTcp, 115200, false, " --address RUREZIVU1", "CW,,1"},
  }};
  Serve();
  for (const auto& c : cases) {
    server->ClearLog();
    options->address = c.address;
    options->commandType = c.commandType;
    options->baud = c.baud;
    options->handshakeNone = c.handshakeNone;
    auto device = OpenDevice();
    const auto lines = server->ShellLines();
    EXPECT_TRUE(Contains(lines, "tcp o " + c.expected)) << c.address;
    EXPECT_TRUE(Contains(lines, "tcp l " + c.expected)) << c.address;
    if (!c.setup.empty()) {
      EXPECT_TRUE(Contains(server->Commands(), c.setup)) << c.address;
    }
    device->Close();
  }
}

TEST_F(ClientDeviceTest, RefusesAnIncompatibleOrMissingServer) {
  std::string message;
  // Nobody listens yet.
  EXPECT_EQ(CodeOf([&] { OpenDevice(); }, &message), -1101);
  EXPECT_EQ(message, "dravo open error");

  fakes::FakeDravoSettings settings;
  settings.compatibility = "2";
  Serve(settings);
  EXPECT_EQ(CodeOf([&] { OpenDevice(); }, &message), -1101);
  EXPECT_EQ(message, "error code: -20003");

  auto device = std::make_shared<ClientDevice>(io);
  EXPECT_EQ(CodeOf([&] { device->Connect("127.0.0.1", 23); }, &message), -20003);
  EXPECT_EQ(message, "DRAVO not compatible");
  EXPECT_FALSE(device->IsConnected());
}

TEST_F(ClientDeviceTest, RetriesTheLinkWithDoublingPauses) {
  struct Case {
    int failures;
    int32_t code;
    size_t tries;
    int64_t pausedAtLeast;
  };
  for (const Case& c : {Case{2, 0, 3, 8 + 16}, Case{6, -1101, 6, 504}}) {
    fakes::FakeDravoSettings settings;
    settings.linkFailures = c.failures;
    Serve(settings);
    const auto start = steady_clock::now();
    std::string message;
    EXPECT_EQ(CodeOf([&] { OpenDevice(); }, &message), c.code) << c.failures;
    EXPECT_GE(MillisecondsSince(start), c.pausedAtLeast);
    if (c.code != 0) {
      EXPECT_EQ(message, "device failed to open");
    }
    EXPECT_EQ(Count(server->ShellLines(), "tcp l  --address 127.0.0.2 --port 23 --protocol tcp"),
              c.tries);
    server.reset();
  }
}

TEST_F(ClientDeviceTest, ShellExchangeEscapesRestoresAndEndsAtTheTerminator) {
  Serve();
  auto device = OpenDevice();
  server->ClearLog();
  // From cooked mode: back to the shell, the line, cooked again before the reply is read.
  EXPECT_EQ(device->Shell("te", true), "");
  EXPECT_TRUE(TlsBytesAre(kEscS + "te\r" + kEscC));
  EXPECT_EQ(device->CommandChannelMode(), kModeCooked);

  // What follows the terminator in the same read is dropped.
  server->ScriptShell("first", "\r\none\r\n~junk");
  EXPECT_EQ(device->Shell("first", true), "one");
  EXPECT_EQ(device->Shell("te", true), "");

  server->ScriptShell("refused", "\\");
  std::string message;
  EXPECT_EQ(CodeOf([&] { device->Shell("refused", true); }, &message), -20001);
  EXPECT_EQ(message, "backslash returned");
  EXPECT_FALSE(device->TryShell("refused"));
  EXPECT_TRUE(device->TryShell("te"));

  // A line must go in one send.
  EXPECT_EQ(CodeOf([&] { device->Shell(std::string(1024, 'x'), true); }), -10002);
  // The longest line goes out whole: the server answers it, as no command it knows.
  EXPECT_EQ(CodeOf([&] { device->Shell(std::string(1023, 'x'), true); }), -20001);
}

TEST_F(ClientDeviceTest, SetOptionSendsEachModeEscapeOnce) {
  Serve();
  auto device = OpenDevice();
  server->ClearLog();
  device->SetOption(kOptionCommandMode, 0);  // already cooked: nothing
  device->SetOption(kOptionPassThrough, 0);
  device->SetOption(kOptionPassThrough, 0);
  device->SetOption(kOptionCommandMode, 0);
  device->SetOption(kOptionCommandMode, 0);
  EXPECT_TRUE(TlsBytesAre(kEscR + kEscC));

  server->ClearLog();
  device->SetOption(kOptionBaud, 9600);
  EXPECT_TRUE(TlsBytesAre(kEscS + "ctrl --baud 9600\r" + kEscC));
  server->ClearLog();
  device->SetOption(kOptionPassThrough, 5);
  EXPECT_TRUE(TlsBytesAre(kEscS + "l -m 1 --pass 5\r"));
  EXPECT_EQ(device->CommandChannelMode(), kModeRaw);
}

TEST_F(ClientDeviceTest, WritesInServerLinesWithPauses) {
  struct Case {
    std::string address;
    uint32_t baud;
    size_t length;
    std::vector<size_t> chunks;
    int64_t pausedAtLeast;
  };
  const std::array<Case, 5> cases{{
      {"127.0.0.2", 115200, 448, {448}, 0},
      {"127.0.0.2", 115200, 449, {449}, 26},
      {"127.0.0.2", 115200, 900, {449, 449, 2}, 3 * 26},
      {"/dev/ttyS0", 115200, 449, {449}, 42},
      // No line speed known: no pause, and no division by it.
      {"/dev/ttyS0", 0, 900, {449, 449, 2}, 0},
  }};
  Serve();
  for (const auto& c : cases) {
    options->address = c.address;
    options->baud = c.baud;
    auto device = OpenDevice();
    device->SetOption(kOptionPassThrough, 0);
    ASSERT_TRUE(Settled(kEscR));
    const std::string bytes(c.length, 'x');
    const auto start = steady_clock::now();
    device->Write(bytes.data(), bytes.size(), -1, false);
    EXPECT_GE(MillisecondsSince(start), c.pausedAtLeast) << c.address << " " << c.length;
    ASSERT_TRUE(TlsBytesAre(bytes));
    std::vector<size_t> chunks;
    for (const auto& read : server->TlsReads()) chunks.push_back(read.size());
    EXPECT_EQ(chunks, c.chunks) << c.address << " " << c.length;
    device->Close();
  }
}

TEST_F(ClientDeviceTest, ControllerTimeoutFreesTheServerSession) {
  Serve();
  auto device = OpenDevice();
  server->SetSilent(true);
  server->ClearLog();
  EXPECT_EQ(CodeOf([&] { device->Command("TP", true, 200, true); }), -1100);
  EXPECT_TRUE(TlsBytesAre("TP\r" + kEscC));
  EXPECT_FALSE(device->lost);
  server->SetSilent(false);
  EXPECT_EQ(device->Command("MG \"back\"", true, -1, true), "back");
}

TEST_F(ClientDeviceTest, ReadTakesHeldPlaintextAndNeverOverrunsTheBuffer) {
  Serve();
  auto device = OpenDevice();
  std::array<char, 8> empty{};
  EXPECT_EQ(CodeOf([&] { device->Read(empty.data(), 0, false, 100); }), -1103);

  // One TLS record larger than the first read: the rest is decrypted and held by TLS.
  const std::string reply = std::string(2000, 'y') + "\r\n:";
  server->ScriptCommand("BIG", reply);
  device->Write("BIG\r", 4, -1, false);
  std::array<char, 1024> buffer{};
  const size_t first = device->Read(buffer.data(), 100, false, 1000);
  EXPECT_EQ(first, 100u);
  EXPECT_EQ(device->BytesAvailable(), static_cast<int32_t>(reply.size() - first));
  size_t total = first;
  while (total < reply.size()) {
    const size_t got = device->Read(buffer.data(), buffer.size(), false, 0);
    ASSERT_GT(got, 0u) << "a poll missed bytes already here after " << total;
    total += got;
  }
  EXPECT_EQ(total, reply.size());
  EXPECT_EQ(device->Read(buffer.data(), buffer.size(), false, 0), 0u);
}

TEST_F(ClientDeviceTest, DeliversMessagesRecordsAndInterrupts) {
  Serve();
  SubscribeAll();
  auto device = OpenDevice();
  auto record = std::make_shared<OrvDataRecord>();
  device->SetRecordBuffer(record);

  server->SendMessage("hello");
  std::array<char, 32> text{};
  EXPECT_EQ(device->Message(text.data(), text.size(), 1000), 5u);
  EXPECT_EQ(std::string(text.data(), 5), "hello");

  std::string bytes(64, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i);
  bytes[2] = 64;
  EXPECT_EQ(device->Record(true, 0), 0);  // nothing yet, nothing waited for
  server->SendRecord(bytes);
  EXPECT_EQ(device->Record(true, 1000), 1);
  EXPECT_EQ(std::memcmp(record->bytes, bytes.data(), bytes.size()), 0);

  server->SendInterrupt("\x31\x32");
  EXPECT_EQ(device->Interrupt(1000), 0x31);
  EXPECT_EQ(device->Interrupt(0), 0x32);
  const auto start = steady_clock::now();
  EXPECT_EQ(device->Interrupt(0), 0);
  EXPECT_LT(MillisecondsSince(start), 100);
  EXPECT_EQ(CodeOf([&] { device->Interrupt(100); }), -1100);
}

TEST_F(ClientDeviceTest, StreamsWithoutSubscriptionFailWithTheServerCode) {
  Serve();
  auto device = OpenDevice();
  device->SetRecordBuffer(std::make_shared<OrvDataRecord>());
  std::array<char, 16> text{};
  std::string message;
  for (const int32_t timeout : {0, 100}) {
    EXPECT_EQ(CodeOf([&] { device->Message(text.data(), text.size(), timeout); }, &message),
              -20002);
    EXPECT_EQ(message, "no dravo subscription for this stream");
    EXPECT_EQ(CodeOf([&] { device->Record(true, timeout); }), -20002);
    EXPECT_EQ(CodeOf([&] { device->Interrupt(timeout); }), -20002);
  }
  // Unsolicited bytes the command channel set aside still come out.
  device->QueueUnsolicited('z' | 0x80);
  EXPECT_EQ(device->Message(text.data(), text.size(), 0), 1u);
  EXPECT_EQ(text[0], 'z');
}

TEST_F(ClientDeviceTest, ServerGoneMakesTheDeviceLostAndEveryStepEndsPromptly) {
  Serve();
  SubscribeAll();
  auto device = OpenDevice();
  server->DropClients();
  auto start = steady_clock::now();
  EXPECT_TRUE(LostCode(CodeOf([&] { device->Command("MG \"x\"", true, 3000, true); })));
  EXPECT_LT(MillisecondsSince(start), 2000);  // the end of stream, not the deadline
  EXPECT_TRUE(device->lost);

  start = steady_clock::now();
  EXPECT_EQ(CodeOf([&] { device->Command("MG \"x\"", true, 3000, true); }), -1104);
  std::array<char, 16> buffer{};
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), buffer.size(), false, 3000); }), -1100);
  EXPECT_EQ(CodeOf([&] { device->Write("abc", 3, 3000, false); }), -1104);
  EXPECT_EQ(CodeOf([&] { device->SetOption(kOptionPassThrough, 0); }), -1104);
  EXPECT_LT(MillisecondsSince(start), 500);

  server->ClearLog();
  start = steady_clock::now();
  device->Close();
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_FALSE(device->IsOpen());
  EXPECT_EQ(server->TlsBytes().find("exit"), std::string::npos);
}

TEST_F(ClientDeviceTest, StalledSendMakesTheDeviceLost) {
  Serve();
  options->timeout = 300;
  auto device = OpenDevice();
  device->SetOption(kOptionPacing, 0);
  device->SetOption(kOptionPassThrough, 0);
  server->StopReading();
  // More than the socket buffers on both sides hold.
  const std::string bytes(64u << 20, 'x');
  std::string message;
  EXPECT_EQ(CodeOf([&] { device->Write(bytes.data(), bytes.size(), 300, false); }, &message), -1100)
      << message;
  EXPECT_TRUE(device->lost);
  const auto start = steady_clock::now();
  EXPECT_EQ(CodeOf([&] { device->Write("abc", 3, 300, false); }), -1104);
  device->Close();
  EXPECT_LT(MillisecondsSince(start), 1000);
}

TEST_F(ClientDeviceTest, KeepAliveSkipsPassCountedRuns) {
  Serve();
  options->subscribeMG = true;
  auto device = std::make_shared<ClientDevice>(io);
  device->SetKeepAlivePeriod(milliseconds(100));
  device->Open(options);
  server->ClearLog();
  EXPECT_TRUE(server->WaitUntil([&] {
    return server->TlsBytes().find(kEscK) != std::string::npos &&
           server->UdpBytes().find(kEscK) != std::string::npos;
  }));

  // Inside the run the escape would be counted as data by the server.
  device->SetOption(kOptionPassThrough, 600);
  server->ClearLog();
  const std::string half(300, '\x1b');
  device->Write(half.data(), half.size(), -1, false);
  ASSERT_TRUE(TlsBytesAre(half));
  std::this_thread::sleep_for(milliseconds(400));
  EXPECT_EQ(server->TlsBytes(), half);
  EXPECT_NE(server->UdpBytes().find(kEscK), std::string::npos);
  device->Write(half.data(), half.size(), -1, false);
  EXPECT_TRUE(server->WaitUntil(
      [&] { return server->TlsBytes().find(half + kEscK) != std::string::npos; }));
  device->Close();
}

TEST_F(ClientDeviceTest, KeepAliveNeverCutsIntoAnExchange) {
  Serve();
  options->subscribeMG = true;
  auto device = std::make_shared<ClientDevice>(io);
  device->SetKeepAlivePeriod(milliseconds(1));
  device->Open(options);
  // Every command's reply is read under the same lock the keep-alive takes for its sends.
  for (int i = 0; i < 300; ++i) {
    const std::string text = "n" + std::to_string(i);
    ASSERT_EQ(device->Command("MG \"" + text + "\"", true, -1, true), text);
    ASSERT_EQ(device->Shell("te", true), "");
  }
  EXPECT_TRUE(
      server->WaitUntil([&] { return server->TlsBytes().find(kEscK) != std::string::npos; }));
  device->Close();
}

TEST_F(ClientDeviceTest, DestroyingAnOpenDeviceDoesNotWaitForTheKeepAlive) {
  Serve();
  auto device = OpenDevice();
  const auto start = steady_clock::now();
  device.reset();
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_TRUE(server->WaitUntil([&] { return server->TlsClients() == 0; }));
}

TEST_F(ClientDeviceTest, UtilityRequestsSendTheirShellLines) {
  Serve();
  auto device = std::make_shared<ClientDevice>(io);
  device->Connect("127.0.0.1", 23);
  ASSERT_TRUE(device->IsConnected());
  EXPECT_FALSE(device->IsOpen());
  server->ClearLog();

  EXPECT_EQ(device->Resources(), "tcp 127.0.0.2");
  EXPECT_EQ(device->NoIp(), "no requests");
  EXPECT_EQ(device->Servers(), "other server");
  EXPECT_EQ(device->Connections(), "127.0.0.1");
  device->NoIpListen(4294967295u);  // unsigned, as given
  device->NoIpRemember(true);
  device->NoIpRemember(false);
  device->Assign("", "");
  device->Assign("00-11-22-33-44-55", "");
  device->Assign("00-11-22-33-44-55", "192.168.0.9");
  device->Publish("lab", true, false);
  device->Publish("lab", false, true);
  // A refused setting or publish is reported; a failed ping is not.
  server->ScriptShell("noip -l 5", "\\");
  server->ScriptShell("publish --name lab --port 23", "\\");
  server->ScriptShell("ping 10.0.0.7", "64 bytes from 10.0.0.7\r\n~");
  EXPECT_EQ(CodeOf([&] { device->NoIpListen(5); }), -20001);
  EXPECT_EQ(CodeOf([&] { device->Publish("lab", true, false); }), -20001);
  EXPECT_TRUE(device->Ping("10.0.0.7"));
  EXPECT_FALSE(device->Ping("10.0.0.8"));
  const std::vector<std::string> expected{
      "tcp r -s",
      "tcp r",
      "tcp noip",
      "tcp servers",
      "tcp connections",
      "tcp noip -l 4294967295",
      "tcp noip --remember 1",
      "tcp noip --remember 0",
      "tcp assign --clear all",
      "tcp assign --clear 00-11-22-33-44-55",
      "tcp assign -m 00-11-22-33-44-55 -a 192.168.0.9",
      "tcp publish --name lab --port 23",
      "tcp publish --remove --name lab --port 23 --save",
      "tcp noip -l 5",
      "tcp publish --name lab --port 23",
      "tcp ping 10.0.0.7",
      "tcp ping 10.0.0.8",
  };
  EXPECT_EQ(server->ShellLines(), expected);

  device->Disconnect();
  EXPECT_FALSE(device->IsConnected());
  EXPECT_TRUE(server->WaitUntil([&] { return server->TlsClients() == 0; }));
}

TEST_F(ClientDeviceTest, CInterfaceReachesTheControllerThroughTheServer) {
  Serve();
  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2 -s MG", &handle), 0);
  std::array<char, 64> reply{};
  uint32_t length = 0;
  EXPECT_EQ(OrvCommand(handle, "MG \"hi\"", reply.data(), reply.size(), &length), 0);
  EXPECT_EQ(std::string(reply.data()), "hi\r\n:");
  server->SendMessage("news");
  EXPECT_EQ(OrvMessage(handle, reply.data(), reply.size()), 0);
  EXPECT_EQ(std::string(reply.data()), "news");
  EXPECT_EQ(OrvLost(handle), 0);

  server->DropClients();
  EXPECT_TRUE(LostCode(OrvCommand(handle, "MG \"hi\"", reply.data(), reply.size(), &length)));
  EXPECT_EQ(OrvLost(handle), -1);
  EXPECT_NE(OrvCommand(handle, "MG \"hi\"", reply.data(), reply.size(), &length), 0);
  EXPECT_EQ(OrvClose(handle), 0);
}

}  // namespace
