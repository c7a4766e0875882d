// The C interface over a scripted device put behind the handle by the internal device maker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "api/orv_con.hpp"
#include "core/connection.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/answering_device.hpp"
#include "fakes/scripted_device.hpp"
#include "pelko.h"

using namespace orvan;
using orvan::fakes::ScriptedDevice;

namespace {

class Exports : public ::testing::Test {
protected:
  void SetUp() override {
    previous = Connection::SetDeviceMaker([this](const OrvanOptions& options, auto&) {
      made = options;
      if (throwStd) throw std::runtime_error("no");
      return device;
    });
  }
  void TearDown() override {
    if (handle) {
      device->failClose = 0;
      EXPECT_EQ(OrvClose(handle), 0);
    }
    Connection::SetDeviceMaker(previous);
    SetDefaultServer("127.0.0.1", 23);
  }
  void Open(const char* address = "127.0.0.9 -d -t 300") {
    ASSERT_EQ(OrvOpen(address, &handle), 0);
  }

  std::shared_ptr<ScriptedDevice> device = std::make_shared<ScriptedDevice>();
  OrvanOptions made;
  bool throwStd = false;
  OrvCon* handle = nullptr;
  Connection::DeviceMaker previous;
};

TEST_F(Exports, OpenBuildsTheHandle) {
  SetDefaultServer("10.1.1.1", 4000);
  Open("127.0.0.9 -d -t 300 --p3 99");
  EXPECT_EQ(made.serverAddress, "10.1.1.1");  // the process-wide default
  EXPECT_EQ(made.serverPort, 99);             // overridden by the string
  EXPECT_EQ(handle->timeout, 300);
  EXPECT_EQ(handle->lastRecord, 0);
  EXPECT_EQ(device->recordBuffer, handle->record);
}

TEST_F(Exports, OpenFailuresLeaveTheCallersHandleAlone) {
  OrvCon* const untouched = reinterpret_cast<OrvCon*>(0x1234);
  OrvCon* out = untouched;
  EXPECT_EQ(OrvOpen("--bogus", &out), -10006);
  EXPECT_EQ(out, untouched);
  EXPECT_EQ(OrvOpen(nullptr, &out), -10006);
  device->failOpen = -1101;
  EXPECT_EQ(OrvOpen("127.0.0.9 -d", &out), -1101);
  device->failOpen = 0;
  throwStd = true;  // freed as well; the sanitizer build would see a leak
  EXPECT_EQ(OrvOpen("127.0.0.9 -d", &out), -1);
  EXPECT_EQ(out, untouched);
  EXPECT_EQ(OrvOpen("127.0.0.9 -d", nullptr), -10002);
}

TEST_F(Exports, OpenWithoutABuiltDeviceKindFails) {
  Connection::SetDeviceMaker(nullptr);
  OrvCon* out = nullptr;
  // Port 1 of loopback is closed: the direct Ethernet kind fails to connect; the serial port is
  // not there (no test opens a real one).
  for (const char* address :
       {"127.0.0.9", "127.0.0.1 --p1 1 -d", "/nonexistent/dev/ttyV9 -d", "RUREZIVU1 -d"}) {
    SCOPED_TRACE(address);
    EXPECT_EQ(OrvOpen(address, &out), -1101);
  }
  EXPECT_EQ(OrvOpen("-d", &out), -10006);  // direct needs an address
  EXPECT_EQ(out, nullptr);
}

TEST_F(Exports, OpenOfADeviceThatIsNotOpenIsMinus1102) {
  class StaysClosed : public ScriptedDevice {
  public:
    bool IsOpen() override { return false; }
  };
  device = std::make_shared<StaysClosed>();
  OrvCon* out = nullptr;
  EXPECT_EQ(OrvOpen("x -d", &out), -1102);
  EXPECT_EQ(out, nullptr);
}

// Rule R: the reply fits only when it is shorter than the buffer.
TEST_F(Exports, CommandCopiesTheReplyByRuleR) {
  Open();
  struct Case {
    const char* reply;
    uint32_t length;
    int32_t code;
    uint32_t copied;
  } const cases[] = {{"1234\r\n:", 8, 0, 7},
                     {"1234\r\n:", 7, -10004, 7},
                     {"1234\r\n:", 3, -10004, 3},
                     {"1234\r\n:", 0, -10004, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    device->Reply(c.reply);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    uint32_t got = 99;
    EXPECT_EQ(OrvCommand(handle, "TP", buffer, c.length, &got), c.code);
    EXPECT_EQ(got, c.copied);
    EXPECT_EQ(std::string(buffer, c.copied), std::string(c.reply, c.copied));
    EXPECT_EQ(buffer[c.copied], c.code == 0 ? '\0' : '#');
  }
  device->Reply(":");
  char buffer[4];
  EXPECT_EQ(OrvCommand(handle, "", buffer, sizeof buffer, nullptr), 0);
  EXPECT_EQ(device->setOptions.back(), std::make_pair(kOptionCommandMode, 0));
}

TEST_F(Exports, CommandListsAndProgramUpload) {
  Open();
  device->Reply("1\r\n:").Reply("2\r\n:");
  char buffer[32];
  EXPECT_EQ(OrvCommand(handle, "TPA;TPB", buffer, sizeof buffer, nullptr), 0);
  EXPECT_STREQ(buffer, "1\r\n:2\r\n:");
  EXPECT_EQ(device->writes, (std::vector<std::string>{"TPA\r", "TPB\r"}));

  // A run of separators is one; one at the end still sends a lone CR.
  device->writes.clear();
  device->Reply("1\r\n:").Reply("2\r\n:").Reply(":");
  EXPECT_EQ(OrvCommand(handle, "TPA;;\rTPB;", buffer, sizeof buffer, nullptr), 0);
  EXPECT_EQ(device->writes, (std::vector<std::string>{"TPA\r", "TPB\r", "\r"}));

  device->Reply("#A\r\nEN\r\n:");
  EXPECT_EQ(OrvProgramUpload(handle, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "#A\r\nEN");
}

TEST_F(Exports, LastErrorFollowsTheFailingCall) {
  Open();
  char buffer[8];
  EXPECT_EQ(OrvCommand(handle, "DL", buffer, sizeof buffer, nullptr), -1106);
  EXPECT_EQ(handle->lastError, "DL illegal in Command() call");
  device->Reply("1\r\n:").Fail(-1100);
  EXPECT_EQ(OrvCommand(handle, "TP;TD", buffer, sizeof buffer, nullptr), -1100);
  EXPECT_EQ(handle->lastError, "Error at TD\n1\r\n:");
  // TD's reply ends late, before XX goes out (nothing of it had arrived yet); XX is refused.
  device->bytesAvailable = 0;
  device->Reply(":").Reply("?");
  EXPECT_EQ(OrvCommand(handle, "XX", buffer, sizeof buffer, nullptr), -10000);
  EXPECT_EQ(handle->lastError, "");
  device->bytesAvailable.reset();
  EXPECT_EQ(OrvCommand(handle, nullptr, buffer, sizeof buffer, nullptr), -10002);
}

TEST_F(Exports, HandleWithoutDeviceIsMinus1102EverywhereButLostAndClose) {
  Open();
  handle->lastError = "old";
  auto kept = handle->connection.device;
  handle->connection.device.reset();
  char buffer[8];
  uint8_t status;
  OrvDataRecord record;
  uint32_t count;
  EXPECT_EQ(OrvRead(handle, buffer, 8, &count), -1102);
  EXPECT_EQ(handle->lastError, "");
  EXPECT_EQ(OrvWrite(handle, "x", 1), -1102);
  EXPECT_EQ(OrvCommand(handle, "TP", buffer, 8, nullptr), -1102);
  EXPECT_EQ(OrvProgramUpload(handle, buffer, 8), -1102);
  EXPECT_EQ(OrvRecord(handle, &record, 0), -1102);
  EXPECT_EQ(OrvMessage(handle, buffer, 8), -1102);
  EXPECT_EQ(OrvInterrupt(handle, &status), -1102);
  EXPECT_EQ(OrvFirmwareDownload(handle, "f"), -1102);
  EXPECT_EQ(OrvProgramDownload(handle, "", ""), -1102);
  EXPECT_EQ(OrvArrayDownload(handle, "A", 0, 1, "1"), -1102);
  EXPECT_EQ(OrvArrayUpload(handle, "A", 0, 1, -1, buffer, 8), -1102);
  EXPECT_EQ(OrvLost(handle), 0);
  EXPECT_EQ(OrvClose(handle), 0);
  handle = nullptr;
}

TEST_F(Exports, ReadWriteAndLost) {
  Open();
  device->Reply("abc");
  char buffer[8];
  uint32_t count = 0;
  EXPECT_EQ(OrvRead(handle, buffer, sizeof buffer, &count), 0);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(device->readTimeouts.back(), 300);
  EXPECT_EQ(OrvRead(handle, buffer, 0, &count), -1103);
  EXPECT_EQ(OrvWrite(handle, "XQ#A\r", 5), 0);
  EXPECT_EQ(device->writes.back(), "XQ#A\r");
  EXPECT_EQ(device->setOptions.back(), std::make_pair(kOptionPassThrough, 0));
  EXPECT_EQ(OrvLost(handle), 0);
  device->lost = true;
  EXPECT_EQ(OrvLost(handle), -1);
  EXPECT_EQ(OrvLost(nullptr), 0);
}

// -4 paths: only a zero timeout reports "nothing new".
TEST_F(Exports, RecordNothingNewOnlyForAsyncWithZeroTimeout) {
  Open();
  OrvDataRecord record{};
  handle->timeout = 0;
  EXPECT_EQ(OrvRecord(handle, &record, 1), -4);
  device->records.push_back("R1");
  EXPECT_EQ(OrvRecord(handle, &record, 1), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.bytes), 2), "R1");
  EXPECT_EQ(handle->lastRecord, 1);
  EXPECT_EQ(OrvRecord(handle, &record, 1), -4);
  // A synchronous read leaves the counter alone yet fetched a fresh record.
  device->records.push_back("R2");
  EXPECT_EQ(OrvRecord(handle, &record, 0), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.bytes), 2), "R2");

  handle->timeout = 300;
  EXPECT_EQ(OrvRecord(handle, &record, 1), -1100);
  device->open = false;
  EXPECT_EQ(OrvRecord(handle, &record, 1), -1102);
  device->open = true;
}

TEST_F(Exports, MessageAndInterruptNothingNew) {
  Open();
  char buffer[8];
  uint8_t status = 7;
  handle->timeout = 0;
  EXPECT_EQ(OrvMessage(handle, buffer, sizeof buffer), -4);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(OrvInterrupt(handle, &status), -4);
  EXPECT_EQ(status, 0);
  device->interrupts.push_back(0xF0);
  EXPECT_EQ(OrvInterrupt(handle, &status), 0);
  EXPECT_EQ(status, 0xF0);

  device->QueueUnsolicited('h');
  device->QueueUnsolicited('i');
  EXPECT_EQ(OrvMessage(handle, buffer, 2), 0);  // room for one byte and the NUL
  EXPECT_STREQ(buffer, "h");

  handle->timeout = 300;
  device->QueueUnsolicited('z');
  EXPECT_EQ(OrvMessage(handle, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "iz");
  EXPECT_EQ(OrvInterrupt(handle, &status), -1100);
}

TEST_F(Exports, MessageWithLengthZeroTouchesNothing) {
  Open();
  device->QueueUnsolicited('q');
  char buffer = '#';
  EXPECT_EQ(OrvMessage(handle, &buffer, 0), -10002);
  EXPECT_EQ(buffer, '#');
  EXPECT_EQ(device->UnsolicitedCount(), 1u);
  EXPECT_TRUE(device->setOptions.empty());
}

TEST_F(Exports, CloseFailureKeepsTheHandle) {
  Open();
  device->failClose = -1104;
  EXPECT_EQ(OrvClose(handle), -1104);
  EXPECT_EQ(handle->lastError, "scripted close failure");
  device->failClose = 0;
  EXPECT_EQ(OrvClose(handle), 0);
  handle = nullptr;
  EXPECT_EQ(device->closes, 2u);
  EXPECT_EQ(OrvClose(nullptr), 0);
}

TEST_F(Exports, OtherExceptionsGiveMinus1AndKeepLastError) {
  class Throws : public ScriptedDevice {
  public:
    void Write(const char*, uint64_t, int32_t, bool) override { throw std::runtime_error("x"); }
  };
  device = std::make_shared<Throws>();
  Open();
  handle->lastError = "kept";
  EXPECT_EQ(OrvWrite(handle, "x", 1), -1);
  EXPECT_EQ(handle->lastError, "kept");
}

TEST_F(Exports, CallbackReachesTheDevice) {
  Open();
  auto callback = [](uint32_t, uint32_t, void*) {};
  int user = 0;
  handle->SetCallback(callback, &user);
  EXPECT_EQ(device->progressCallback, static_cast<OrvProgressCallback>(callback));
  EXPECT_EQ(device->callbackUser, &user);
}

struct CopyCase {
  const char* text;
  uint32_t length;
  bool truncate;
  int32_t code;
  const char* written;  // buffer contents up to and including the NUL, if any
  uint32_t count;
};

const CopyCase kCopies[] = {
    {"1.35.5", 7, false, 0, "1.35.5", 6},
    {"1.35.5", 6, false, -10004, "1.35.5", 6},
    {"1.35.5", 4, true, 0, "1.3", 4},
    {"1.35.5", 6, true, 0, "1.35.", 6},
    {"", 1, true, 0, "", 0},
    {"abc", 0, true, -10002, "", 0},
    {"abc", 0, false, -10004, "", 0},
};

TEST(CopyStringOut, Table) {
  for (const auto& c : kCopies) {
    SCOPED_TRACE(std::string(c.text) + " / " + std::to_string(c.length));
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    uint32_t count = 99;
    EXPECT_EQ(CopyStringOut(c.text, buffer, c.length, &count, c.truncate), c.code);
    EXPECT_EQ(std::string(buffer, std::strlen(c.written)), c.written);
    if (c.code == 0) {
      EXPECT_EQ(buffer[std::strlen(c.written)], '\0');
    }
    if (c.length == 0) {
      EXPECT_EQ(buffer[0], '#');
    }
    if (c.code != -10002) {
      EXPECT_EQ(count, c.count);
    }
  }
}

}  // namespace

// The three transfer functions over a controller that acknowledges download lines.
TEST(ExportsTransfer, DownloadsAndUploadThroughTheHandle) {
  auto device = std::make_shared<orvan::fakes::AnsweringDevice>();
  device->answers = {{"QP", "UC 2"},
                     {"LA", "DATA[10]"},
                     {"DL , 1", "\x06"},
                     {"MG 1", "\x06"},
                     {"QD DATA[],0,1,1", "\x06"},
                     {"1,2", "\x06"},
                     {"QU DATA[], 0, 1, ", "1.0000,2.0000"}};
  const auto previous =
      Connection::SetDeviceMaker([&](const OrvanOptions&, auto&) { return device; });
  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("10.0.0.9 -d", &handle), 0);

  EXPECT_EQ(OrvProgramDownload(handle, "MG 1", nullptr), 0);
  EXPECT_EQ(OrvArrayDownload(handle, "DATA", 0, 1, "1,2"), 0);
  char buffer[14];
  EXPECT_EQ(OrvArrayUpload(handle, "DATA", 0, 1, -1, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "1.0000,2.0000");
  EXPECT_EQ(OrvArrayUpload(handle, "DATA", 0, 1, -1, buffer, 13), -10004);
  const auto opening = std::find(device->writes.begin(), device->writes.end(), "DL , 1\r");
  EXPECT_EQ(
      std::vector<std::string>(opening, device->writes.end()),
      (std::vector<std::string>{"DL , 1\r", "MG 1\r", "\\", "LA\r", "QD DATA[],0,1,1\r", "1,2\r",
                                "\\", "QU DATA[], 0, 1, \r", "QU DATA[], 0, 1, \r"}));

  EXPECT_EQ(OrvArrayDownload(handle, "DAT", 0, 1, "1"), -1200);
  EXPECT_EQ(OrvArrayDownload(handle, nullptr, 0, 1, "1"), -10002);
  EXPECT_EQ(OrvArrayDownload(handle, "DATA", 0, 1, nullptr), -10002);
  EXPECT_EQ(OrvClose(handle), 0);
  Connection::SetDeviceMaker(previous);
}
