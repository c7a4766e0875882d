// The serial resource against the fake controller on a pty: the open with its tries, the
// description, rate and stop-bit changes as the line shows them, a second open of a port that
// nobody has linked yet, commands and replies, and a line that hangs up.
#include "fakes/fake_controller.hpp"
#include "shell/request.hpp"
#include "support/network_resource_fixture.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>

#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;
using orvan::fakes::FakeController;
using orvan::fakes::FakeControllerSettings;
using std::chrono::steady_clock;

// A folder of the test's own, removed afterwards; its dev/ holds the links to the lines.
struct TemporaryFolder {
  TemporaryFolder() {
    char pattern[] = "/tmp/orvan-serial-resource-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    path = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

FakeControllerSettings OnPty(const std::string& link) {
  FakeControllerSettings settings;
  settings.pty = link;
  return settings;
}

// The settings of the line as the system holds them.
struct LineSettings {
  unsigned baud = 0;
  bool twoStopBits = false;
  bool hardwareHandshake = false;
  bool operator==(const LineSettings& other) const {
    return baud == other.baud && twoStopBits == other.twoStopBits &&
           hardwareHandshake == other.hardwareHandshake;
  }
};

std::ostream& operator<<(std::ostream& out, const LineSettings& line) {
  return out << line.baud << (line.twoStopBits ? " 2 stop" : " 1 stop")
             << (line.hardwareHandshake ? " rts/cts" : " no handshake");
}

LineSettings LineOf(const std::string& path) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios settings{};
  const bool read = descriptor >= 0 && ::tcgetattr(descriptor, &settings) == 0;
  if (descriptor >= 0) ::close(descriptor);
  if (!read) return {};
  static const struct {
    speed_t speed;
    unsigned baud;
  } rates[] = {{B9600, 9600}, {B19200, 19200}, {B57600, 57600}, {B115200, 115200}};
  unsigned baud = 0;
  for (const auto& rate : rates) {
    if (rate.speed == cfgetospeed(&settings)) baud = rate.baud;
  }
  return {baud, (settings.c_cflag & CSTOPB) != 0, (settings.c_cflag & CRTSCTS) != 0};
}

// Holds the port as another program would; -1 when it cannot.
int Hold(const std::string& path) {
  const int descriptor = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return -1;
  if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    ::close(descriptor);
    return -1;
  }
  return descriptor;
}

class SerialResourceTest : public NetworkResourceTest {
protected:
  void SetUp() override { controller.Start(); }

  void OpenSerial(const std::string& address, uint32_t baud = 115200, bool handshake = true) {
    auto parameters = std::make_unique<OpenParameters>();
    parameters->address = address;
    parameters->baud = baud;
    parameters->hardwareHandshake = handshake;
    parameters->kind = orvan::protocol::kKindSerial;
    server.OpenResource(std::move(parameters));
  }
  std::optional<uint32_t> IdOf(const std::string& address) {
    return server.FindResource(address, "ser");
  }
  // Runs what is ready now, and what that makes ready.
  void Settle() {
    io().restart();
    io().poll();
  }
  std::shared_ptr<LoopRequestor> ClientOf(uint32_t id, std::initializer_list<int> codes) {
    auto client = std::make_shared<LoopRequestor>(io(), server);
    server.AddRequestor(client);
    auto request = std::make_shared<Request>(nullptr, 0, client);
    for (int code : codes) request->PushOp(code);
    server.Submit(id, request);
    return client;
  }
  // Sends the command and waits for the prompt that ends its reply.
  bool Exchange(uint32_t id, const std::shared_ptr<LoopRequestor>& client,
                const std::string& command, const std::string& reply) {
    server.Submit(id, std::make_shared<Request>(reinterpret_cast<const uint8_t*>(command.data()),
                                                command.size(), client));
    return RunUntil([&] { return client->Recorder().Joined(false) == reply; });
  }
  // The open has ended, one way or the other: only the fixture still holds the resource.
  bool OpenEnded() { return made && made.use_count() == 1; }

  TemporaryFolder folder;
  const std::string link = folder.path + "/dev/ttyV1";
  FakeController controller{OnPty(link)};
};

TEST_F(SerialResourceTest, OpensWithTheLineSettingsAskedForAndDescribesThem) {
  const struct {
    uint32_t baud;
    bool handshake;
    const char* description;
    LineSettings line;
  } cases[] = {
      {115200, true, "baud(115200) fc(hw)", {115200, false, true}},
      {9600, false, "baud(9600) fc(none)", {9600, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    OpenSerial(link, c.baud, c.handshake);
    ASSERT_TRUE(RunUntil([&] { return InTable(); }));
    EXPECT_EQ(server.ListResources(),
              "  " + std::to_string(made->Id()) + ", " + link + ", ser, " + c.description + "\r\n");
    EXPECT_EQ(LineOf(link), c.line);
    // The port is held while open, and let go with the close.
    EXPECT_EQ(Hold(link), -1);
    server.CloseResource(made->Id());
    int holder = -1;
    ASSERT_TRUE(RunUntil([&] { return (holder = Hold(link)) >= 0; }));
    ::close(holder);
  }
}

TEST_F(SerialResourceTest, CommandsGoDownTheLineAndRepliesComeBack) {
  OpenSerial(link);
  ASSERT_TRUE(RunUntil([&] { return InTable(); }));
  auto client = ClientOf(made->Id(), {1});
  ASSERT_TRUE(Exchange(made->Id(), client, "MG \"hi\"\r", "hi\r\n:"));
  EXPECT_TRUE(controller.WaitForBytes(orvan::fakes::kSerialLine, "MG \"hi\"\r"));
  // An open of the same address is served by this resource, whatever kind it names.
  OpenParameters same;
  same.address = link;
  same.kind = orvan::protocol::kKindTcp;
  EXPECT_TRUE(made->Matches(same));
}

TEST_F(SerialResourceTest, RateAndStopBitChangesReachTheLineAndRefusedOnesLeaveIt) {
  OpenSerial(link);
  ASSERT_TRUE(RunUntil([&] { return InTable(); }));
  const uint32_t id = made->Id();
  auto client = ClientOf(id, {1});
  const struct {
    uint32_t parameter, value;
    LineSettings line;
  } changes[] = {
      {Request::kControlStopBits, 2, {115200, true, true}},
      {Request::kControlStopBits, 1, {115200, false, true}},
      {Request::kControlStopBits, 2, {115200, true, true}},
      {Request::kControlStopBits, 0, {115200, false, true}},
      {Request::kControlBaud, 19200, {19200, false, true}},
      // Rates termios lacks, and 0 (which would hang a real line up), change nothing.
      {Request::kControlBaud, 12345, {19200, false, true}},
      {Request::kControlBaud, 0, {19200, false, true}},
      {4, 2, {19200, false, true}},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(std::to_string(c.parameter) + " " + std::to_string(c.value));
    server.Submit(id, Request::RequestWithControl(c.parameter, c.value, client));
    Settle();
    EXPECT_EQ(LineOf(link), c.line);
  }
  EXPECT_NE(server.ListResources().find("baud(19200) fc(hw)"), std::string::npos);
  ASSERT_TRUE(Exchange(id, client, "MG 1\r", "1\r\n:"));
}

TEST_F(SerialResourceTest, ASecondOpenOfAPortNobodyLinkedChangesItsRateAndKeepsIt) {
  OpenSerial(link, 9600);
  ASSERT_TRUE(RunUntil([&] { return InTable(); }));
  const auto first = made;
  OpenSerial(link, 57600);
  Settle();
  ASSERT_TRUE(RunUntil([&] { return LineOf(link).baud == 57600; }));
  Settle();
  EXPECT_EQ(made, first);  // no second resource was made
  EXPECT_EQ(IdOf(link), first->Id());
  EXPECT_FALSE(first->Closing());
}

TEST_F(SerialResourceTest, OpensThatCannotSucceedFailOnlyAfterEveryTry) {
  const struct {
    const char* name;
    std::string address;
    uint32_t baud;
  } cases[] = {
      {"missing", folder.path + "/dev/ttyV9", 115200},
      {"rate termios lacks", link, 12345},
      {"rate 0", link, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = steady_clock::now();
    OpenSerial(c.address, c.baud);
    ASSERT_TRUE(RunUntil([&] { return OpenEnded(); }));
    // Waits of 16, 32, 64 and 128 ms between five tries.
    EXPECT_GE(steady_clock::now() - start, 240ms);
    EXPECT_FALSE(InTable());
    made.reset();
  }
  // Nothing reached the line, and the port was let go.
  EXPECT_TRUE(controller.Received().empty());
  const int holder = Hold(link);
  EXPECT_GE(holder, 0);
  ::close(holder);
}

TEST_F(SerialResourceTest, APortHeldAtFirstOpensOnALaterTry) {
  const int holder = Hold(link);
  ASSERT_GE(holder, 0);
  boost::asio::steady_timer release(io(), 50ms);
  bool released = false;
  release.async_wait([&](const boost::system::error_code& error) {
    if (error) return;
    ::close(holder);
    released = true;
  });
  OpenSerial(link);
  ASSERT_TRUE(RunUntil([&] { return InTable(); }));
  EXPECT_TRUE(released);
  auto client = ClientOf(made->Id(), {1});
  ASSERT_TRUE(Exchange(made->Id(), client, "MG 2\r", "2\r\n:"));
}

TEST_F(SerialResourceTest, ALineThatHangsUpClosesItsClientsAndTheOtherResourcesGoOn) {
  const std::string otherLink = folder.path + "/dev/ttyV2";
  FakeController other{OnPty(otherLink)};
  other.Start();
  OpenSerial(link);
  OpenSerial(otherLink);
  ASSERT_TRUE(RunUntil([&] { return IdOf(link) && IdOf(otherLink); }));
  const uint32_t lost = *IdOf(link), kept = *IdOf(otherLink);
  auto linked = ClientOf(lost, {1}), listener = ClientOf(lost, {1, 3});
  auto bystander = ClientOf(kept, {1});
  ASSERT_TRUE(Exchange(lost, linked, "MG 3\r", "3\r\n:"));

  controller.CloseConnections();
  ASSERT_TRUE(RunUntil([&] { return linked->Closed() && listener->Closed() && !IdOf(link); }));
  EXPECT_FALSE(bystander->Closed());
  EXPECT_EQ(IdOf(otherLink), kept);
  ASSERT_TRUE(Exchange(kept, bystander, "MG 4\r", "4\r\n:"));
}

}  // namespace
