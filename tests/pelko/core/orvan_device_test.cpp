#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/error_code.hpp"
#include "fakes/scripted_device.hpp"
#include "identify/description.hpp"

using namespace orvan;
using orvan::fakes::CodeOf;
using orvan::fakes::ScriptedDevice;

namespace {

std::shared_ptr<ScriptedDevice> OpenDevice(uint16_t timeout = 1000) {
  auto device = std::make_shared<ScriptedDevice>();
  auto options = std::make_shared<OrvanOptions>();
  options->timeout = timeout;
  device->Open(options);
  return device;
}

std::string Drain(ScriptedDevice& device) {
  std::string text(kUnsolicitedLimit + 10, '\0');
  text.resize(device.Message(text.data(), text.size(), 0));
  return text;
}

// Where a text reply ends, read by read.
struct TextCase {
  const char* name;
  const char* command;
  std::vector<std::string> reads;
  const char* reply;  // untrimmed
};

const TextCase kTextCases[] = {
    {"lone colon first read", "TP", {":"}, ":"},
    {"lone prompt first read", "TP", {">"}, ">"},
    {"crlf before colon", "TP", {"12\r\n:"}, "12\r\n:"},
    {"crlf before colon split", "TP", {"12\r", "\n", ":"}, "12\r\n:"},
    {"ctrl-z before colon", "TP", {"ab\x1a:"}, "ab\x1a:"},
    {"crlf two before colon", "TP", {"5\r\nx:"}, "5\r\nx:"},
    {"qu mode cr before colon", "QU a[]", {"1,2\r:"}, "1,2\r:"},
    {"mg mode any colon ending a read", "  MG \"a:b\"", {"a:", "b", "c:"}, "a:"},
    // A colon inside a read, or without a line end before it, is reply text.
    {"colon inside read", "TP", {"a:b\r\n", ":"}, "a:b\r\n:"},
    {"colon without line end", "TP", {"ab:", "\r\n:"}, "ab:\r\n:"},
    {"cr alone not enough outside qu", "TP", {"1\r:", "\r\n:"}, "1\r:\r\n:"},
    {"lone colon of a later read", "TP", {"12", ":", "\r\n:"}, "12:\r\n:"},
    {"question mark mid line is text", "MG \"a?b\"", {"a?b\r\n:"}, "a?b\r\n:"},
};

class TextReply : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextReply, EndsWhereThePromptRuleSays) {
  const TextCase& c = GetParam();
  auto device = OpenDevice();
  for (const auto& read : c.reads) device->Reply(read);
  EXPECT_EQ(device->Command(c.command, false, 0, true), c.reply);
}

INSTANTIATE_TEST_SUITE_P(Engine, TextReply, ::testing::ValuesIn(kTextCases), [](const auto& info) {
  std::string name = info.param.name;
  for (char& ch : name)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
});

TEST(Engine, SendsCommandWithoutLeadingBlanksAndWithCr) {
  auto device = OpenDevice();
  device->Reply("x:");
  device->Command("  MG x", false, 0, true);
  ASSERT_EQ(device->writes.size(), 1u);
  EXPECT_EQ(device->writes[0], "MG x\r");
}

TEST(Engine, TrimRemovesFramingBothEnds) {
  auto device = OpenDevice();
  device->Reply(" \r\n12.5\r\n:");
  EXPECT_EQ(device->Command("TP", true, 0, true), "12.5");
  device->Reply(":");
  EXPECT_EQ(device->Command("", true, 0, true), "");
}

TEST(Engine, PromptStateFollowsLastReply) {
  auto device = OpenDevice();
  device->Reply(">");
  device->Command("", false, 0, false);
  EXPECT_TRUE(device->promptState);
  device->Reply(":");
  device->Command("", false, 0, false);
  EXPECT_FALSE(device->promptState);
}

struct RefusedCase {
  const char* command;
  int32_t code;
  const char* message;
};

const RefusedCase kRefused[] = {
    {"TP;TD", -1105, "use a higher-level Command() call for compound commands"},
    {";", -1105, "use a higher-level Command() call for compound commands"},
    {"DL", -1106, "DL illegal in Command() call"},
    {"  ED 5", -1106, "ED illegal in Command() call"},
    {"QD a[]", -1106, "QD illegal in Command() call"},
    {"DL;", -1106, "DL illegal in Command() call"},  // the pair is refused before the ';'
    {"M;G", -1105, "use a higher-level Command() call for compound commands"},
};

TEST(Engine, RefusesCompoundAndIllegalCommandsBeforeSending) {
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.command);
    auto device = OpenDevice();
    std::string message;
    EXPECT_EQ(CodeOf([&] { device->Command(c.command, false, 0, true); }, &message), c.code);
    EXPECT_EQ(message, c.message);
    EXPECT_TRUE(device->writes.empty());
  }
}

// Controller errors: '?' alone, or first on a line.
struct QuestionCase {
  std::vector<std::string> reads;
  bool error;
};

const QuestionCase kQuestions[] = {
    {{"?"}, true},           {{"?junk"}, true},      // first byte of the reply
    {{"12\r\n?"}, true},                             // right after a line feed
    {{"12\r\n", "?"}, true}, {{"1?2\r\n:"}, false},  // mid line
    {{"1\r?\r\n:"}, false},                          // after CR only
};

TEST(Engine, QuestionMarkFormsAreControllerErrors) {
  for (const auto& c : kQuestions) {
    SCOPED_TRACE(c.reads.front());
    auto thrower = OpenDevice();
    for (const auto& read : c.reads) thrower->Reply(read);
    const int32_t code = CodeOf([&] { thrower->Command("TP", false, 0, true); });
    EXPECT_EQ(code, c.error ? -10000 : 0);

    auto quiet = OpenDevice();
    for (const auto& read : c.reads) quiet->Reply(read);
    const std::string reply = quiet->Command("TP", false, 0, false);
    EXPECT_EQ(reply == "?", c.error);
  }
}

TEST(Engine, UnsolicitedBytesInTextRepliesGoToTheQueue) {
  auto device = OpenDevice();
  device->Reply(std::string("1") + char('h' | 0x80) + char('i' | 0x80) + "\r\n:");
  EXPECT_EQ(device->Command("TP", true, 0, true), "1");
  EXPECT_EQ(Drain(*device), "hi");
}

// Binary "QR" replies: L + 1 bytes, L the little-endian length at bytes 2-3.
std::string Header(uint8_t first, uint16_t length) {
  return std::string{static_cast<char>(first), 0x00, static_cast<char>(length & 0xFF),
                     static_cast<char>(length >> 8)};
}

TEST(Engine, BinaryReplyLengthFromHeader) {
  auto device = OpenDevice();
  const std::string noise = {static_cast<char>('m' | 0x80), 'x'};
  std::string body = Header(0x87, 0x0100) + std::string(253, ':');  // 257 bytes in all
  device->Reply(noise + body.substr(0, 100)).Reply(body.substr(100) + "tail");
  const std::string reply = device->Command("QR", false, 0, true);
  EXPECT_EQ(reply.size(), 257u);
  EXPECT_EQ(reply, body);
  EXPECT_EQ(Drain(*device), "mxtail");
}

struct BinaryCase {
  const char* name;
  std::string reads;
  size_t length;  // untrimmed reply length
};

const BinaryCase kBinary[] = {
    {"length 3 ends at 4th byte", Header(0x80, 3) + "zz", 4},
    {"length 2 ends at 4th byte", Header(0x81, 2) + "zz", 4},
    {"length 0 ends at 4th byte", Header(0x90, 0) + "zz", 4},
    {"length 4 takes one more", Header(0x84, 4) + ":zz", 5},
    {"header bits must match", std::string("\xC0") + Header(0x80, 5) + "ab", 6},
};

TEST(Engine, BinaryRecogniserTable) {
  for (const auto& c : kBinary) {
    SCOPED_TRACE(c.name);
    auto device = OpenDevice();
    device->Reply(c.reads);
    EXPECT_EQ(device->Command("QR", false, 0, true).size(), c.length);
  }
}

TEST(Engine, BinaryTrimTakesOnlyTheClosingPrompt) {
  auto device = OpenDevice();
  // Record bytes that equal trim characters stay.
  const std::string record = Header(0x80, 9) + std::string("\r\n :>") + ":";
  device->Reply(record);
  const std::string reply = device->Command("QR", true, 0, true);
  EXPECT_EQ(reply, record.substr(0, 9));
}

TEST(Engine, BinaryQuestionMarkIsControllerError) {
  auto device = OpenDevice();
  device->Reply("?");
  EXPECT_EQ(CodeOf([&] { device->Command("QR", false, 0, true); }), -10000);
}

TEST(Engine, ReadFailureCarriesReplySoFar) {
  auto device = OpenDevice();
  device->Reply("12\r\n").Fail(-1103);
  std::string message;
  EXPECT_EQ(CodeOf([&] { device->Command("TP", false, 0, true); }, &message), -1103);
  EXPECT_EQ(message, "12\r\n");
}

TEST(Engine, EveryFailurePointEndsInItsCode) {
  for (uint32_t n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    auto device = OpenDevice();
    device->maxRead = 2;
    device->failRead = n;
    device->Reply("1234\r\n:");
    EXPECT_EQ(CodeOf([&] { device->Command("TP", false, 0, true); }), -1103);
  }
  auto device = OpenDevice();
  device->failWrite = 1;
  EXPECT_EQ(CodeOf([&] { device->Command("TP", false, 0, true); }), -1104);
}

TEST(Engine, EmptyReadsAreRepeatedWhileThereIsTime) {
  auto device = OpenDevice();
  device->Nothing().Nothing().Reply(":");
  EXPECT_EQ(device->Command("", false, 0, true), ":");
}

TEST(Engine, ZeroTimeoutNeverSpins) {
  auto device = OpenDevice(0);  // an open string with "-t 0"
  device->Reply("12");
  EXPECT_EQ(CodeOf([&] { device->Command("TP", false, 0, true); }), -1100);
  EXPECT_LE(device->reads, 3u);
}

TEST(Engine, EndlessReplyEndsAtTheBound) {
  auto device = OpenDevice();
  device->trickle = std::string(kReadBlock, 'x');
  EXPECT_EQ(CodeOf([&] { device->Command("TP", false, 0, true); }), -10004);
}

TEST(Engine, UnsolicitedQueueIsCapped) {
  auto device = OpenDevice();
  for (size_t i = 0; i < kUnsolicitedLimit + 1; ++i)
    device->QueueUnsolicited(i == kUnsolicitedLimit ? 'z' : 0xC1);
  EXPECT_EQ(device->UnsolicitedCount(), kUnsolicitedLimit);
  const std::string drained = Drain(*device);
  EXPECT_EQ(drained.size(), kUnsolicitedLimit);
  EXPECT_EQ(drained.back(), 'A');  // bit 7 cleared, the extra 'z' dropped
}

// A controller whose answer to each command follows whatever it is still sending, as a real
// one's does; it notes how much of that was still unread when each command went out.
class LateController : public ScriptedDevice {
public:
  std::map<std::string, std::string> answers{{"TP\r", "5\r\n:"}};
  std::vector<size_t> unreadAtWrite;

  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override {
    ScriptedDevice::Write(buffer, length, timeout, progress);
    size_t unread = 0;
    for (const auto& step : script) unread += step.bytes.size();
    unreadAtWrite.push_back(unread);
    const auto answer = answers.find(std::string(buffer, length));
    if (answer != answers.end()) Reply(answer->second);
  }
};

std::shared_ptr<LateController> OpenLateController() {
  auto device = std::make_shared<LateController>();
  auto options = std::make_shared<OrvanOptions>();
  options->timeout = 1000;
  device->Open(options);
  return device;
}

// The reply of a command that timed out, coming later: never the next command's reply.
struct LateCase {
  const char* name;
  const char* command;  // the one that times out
  std::string before;   // what of its reply came before the timeout
  std::string rest;     // what came later
  bool arrivedFirst;    // the rest was there before the next command began
  const char* queued;   // bit-7 bytes of the rest, for the message queue
};

const LateCase kLateCases[] = {
    {"text rest arrived", "TP1", "12",
     "3\xC1"
     "4\r\n:",
     true, "A"},
    {"text rest still coming", "TP1", "12",
     "3\xC1"
     "4\r\n:",
     false, "A"},
    {"nothing before the timeout", "TP1", "", "34\r\n:", false, ""},
    // Prompts and '?' inside a binary reply are record bytes: only its length ends it.
    {"binary rest arrived", "QR", Header(0x87, 8).substr(0, 3),
     std::string(1, '\0') + "?:\r\n:", true, ""},
    {"binary rest still coming", "QR", Header(0x87, 8).substr(0, 3),
     std::string(1, '\0') + "?:\r\n:", false, ""},
};

TEST(LateReply, IsReadToItsEndBeforeTheNextCommandGoesOut) {
  for (const auto& c : kLateCases) {
    SCOPED_TRACE(c.name);
    auto device = OpenLateController();
    if (!c.before.empty()) device->Reply(c.before);
    device->Fail(-1100);
    EXPECT_EQ(CodeOf([&] { device->Command(c.command, false, 0, true); }), -1100);
    device->Reply(c.rest);
    // Nothing there yet: only reading on finds the rest.
    if (!c.arrivedFirst) device->bytesAvailable = 0;
    EXPECT_EQ(device->Command("TP", false, 0, true), "5\r\n:");
    EXPECT_EQ(device->unreadAtWrite.back(), 0u);
    EXPECT_EQ(Drain(*device), c.queued);
    device->bytesAvailable.reset();
    EXPECT_EQ(device->Command("TP", false, 0, true), "5\r\n:");
  }
}

TEST(LateReply, ThatNeverEndsFailsTheNextCommandOnceUnsent) {
  auto device = OpenLateController();
  device->Reply("12").Fail(-1100);
  EXPECT_EQ(CodeOf([&] { device->Command("TP1", false, 0, true); }), -1100);
  std::string message;
  EXPECT_EQ(CodeOf([&] { device->Command("TP", false, 0, true); }, &message), -1100);
  EXPECT_EQ(message, "an earlier command's late reply did not end in time");
  EXPECT_EQ(device->writes, std::vector<std::string>{"TP1\r"});
  // Given up: the command after starts clean.
  EXPECT_EQ(device->Command("TP", false, 0, true), "5\r\n:");
}

TEST(LateReply, RestOfAnOverlongReplyIsNotTheNextCommandsReply) {
  auto device = OpenLateController();
  for (size_t scripted = 0; scripted <= kReplyLimit; scripted += kReadBlock)
    device->Reply(std::string(kReadBlock, 'x'));
  device->Reply("\r\n:");
  EXPECT_EQ(CodeOf([&] { device->Command("TP1", false, 0, true); }), -10004);
  EXPECT_EQ(device->Command("TP", false, 0, true), "5\r\n:");
  EXPECT_EQ(device->unreadAtWrite.back(), 0u);
}

TEST(LateReply, CommandsThatEndInTimeAskTheTransportNothingMore) {
  auto device = OpenLateController();
  device->answers["TP2\r"] = "?";
  device->Command("TP", false, 0, true);
  device->Command("TP2", false, 0, false);
  EXPECT_EQ(device->availableCalls, 0u);
}

// Message paths.
TEST(Message, QueueFirstThenWaitingBytes) {
  auto device = OpenDevice();
  device->QueueUnsolicited('a' | 0x80);
  device->Reply(std::string("b") + char('c' | 0x80));
  char buffer[8] = {};
  EXPECT_EQ(device->Message(buffer, sizeof buffer, 0), 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST(Message, OverflowStaysQueued) {
  auto device = OpenDevice();
  device->Reply("hello");
  char buffer[2] = {};
  EXPECT_EQ(device->Message(buffer, sizeof buffer, 0), 2u);
  EXPECT_EQ(std::string(buffer, 2), "he");
  EXPECT_EQ(Drain(*device), "llo");
}

TEST(Message, ZeroTimeoutWithNothingGivesZero) {
  auto device = OpenDevice();
  char buffer[4];
  EXPECT_EQ(device->Message(buffer, sizeof buffer, 0), 0u);
  EXPECT_EQ(device->reads, 0u);
}

TEST(Message, ZeroLengthKeepsWhatItReads) {
  auto device = OpenDevice();
  device->Reply("ab");
  EXPECT_EQ(device->Message(nullptr, 0, 0), 0u);
  EXPECT_EQ(Drain(*device), "ab");
}

TEST(Message, WaitsForTheFirstNonEmptyRead) {
  auto device = OpenDevice();
  device->bytesAvailable = 0;
  device->Nothing().Reply(std::string(1, char('q' | 0x80)));
  char buffer[4];
  EXPECT_EQ(device->Message(buffer, sizeof buffer, 500), 1u);
  EXPECT_EQ(buffer[0], 'q');
}

TEST(Message, NothingWithinTheTimeoutIsMinus1100) {
  auto device = OpenDevice();
  char buffer[4];
  EXPECT_EQ(CodeOf([&] { device->Message(buffer, sizeof buffer, 50); }), -1100);
}

// A transport that answers slowly: every read takes the given time.
class SlowDevice : public ScriptedDevice {
public:
  size_t Read(char* buffer, uint64_t length, bool separate, int32_t timeout) override {
    WaitMilliseconds(delay);
    return ScriptedDevice::Read(buffer, length, separate, timeout);
  }
  uint32_t delay = 30;
};

TEST(Message, BytesDeliveredBeforeTheTimeIsUpAreReturned) {
  auto device = std::make_shared<SlowDevice>();
  auto options = std::make_shared<OrvanOptions>();
  device->Open(options);
  device->Reply("abc").Reply("def");
  char buffer[16];
  // The first read already uses up the time; its bytes are the caller's, never lost.
  EXPECT_EQ(device->Message(buffer, sizeof buffer, 10), 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST(Message, LateBytesOfTheDirectReadAreReturned) {
  auto device = std::make_shared<SlowDevice>();
  device->Open(std::make_shared<OrvanOptions>());
  device->bytesAvailable = 0;
  device->Reply("xy");
  char buffer[16];
  EXPECT_EQ(device->Message(buffer, sizeof buffer, 10), 2u);
}

TEST(Device, EffectiveTimeoutRules) {
  auto device = OpenDevice(700);
  EXPECT_EQ(device->EffectiveTimeout(25), 25);
  EXPECT_EQ(device->EffectiveTimeout(-1), 700);
  EXPECT_EQ(device->EffectiveTimeout(0), 0);
  device->bytesAvailable = -1;
  EXPECT_EQ(device->EffectiveTimeout(0), 10);
  device->bytesAvailable = 3;
  EXPECT_EQ(device->EffectiveTimeout(0), 700);
}

TEST(Device, ReadChunkSwallowsFailuresAndChecksQuestionMarks) {
  auto device = OpenDevice();
  EXPECT_EQ(device->ReadChunk(0, true), 0u);
  device->Fail(-1103);
  EXPECT_EQ(device->ReadChunk(100, true), 0u);
  device->Reply("ok");
  EXPECT_EQ(device->ReadChunk(100, true), 2u);
  device->Reply("a?b");
  std::string message;
  EXPECT_EQ(CodeOf([&] { device->ReadChunk(100, true); }, &message), -10000);
  EXPECT_EQ(message, "a?b");
}

TEST(Device, WaitForByte) {
  auto device = OpenDevice();
  device->Reply("xx").Reply("y\x06z");
  EXPECT_EQ(device->WaitForByte(0x06), 3u);
  device->Reply("?\x06");
  EXPECT_EQ(CodeOf([&] { device->WaitForByte(0x06); }), -10000);
  EXPECT_EQ(CodeOf([&] { device->WaitForByte(0x06); }), -1100);
}

TEST(Device, InitializeSendsSetUpAndIdentifies) {
  // Set-up, then identification's queries ("", identity, serial, ID, QP, MG _CO, MG _TM).
  const auto script = [](ScriptedDevice& device, int replies) {
    for (int i = 0; i < replies; ++i) device.Reply(":");
  };
  auto device = OpenDevice();
  script(*device, 9);
  device->Initialize();
  EXPECT_EQ(device->writes.size(), 9u);
  EXPECT_EQ(std::vector<std::string>(device->writes.begin(), device->writes.begin() + 3),
            (std::vector<std::string>{"EO0\r", "CW1\r", "\r"}));
  EXPECT_TRUE(device->description->identified);

  auto withQq = OpenDevice();
  withQq->description->qqWord = 0x3F0F;
  script(*withQq, 10);
  withQq->Initialize();
  EXPECT_EQ(withQq->writes.back(), "QQ\r");

  auto monitor = OpenDevice();
  monitor->Reply(">");
  monitor->Initialize();
  EXPECT_EQ(monitor->writes, (std::vector<std::string>{"EO0\r"}));
  EXPECT_FALSE(monitor->description->identified);
}

TEST(Device, InterruptOfTheBaseIsUnsupported) {
  class NoInterrupts : public ScriptedDevice {
  public:
    uint8_t Interrupt(int32_t timeout) override { return OrvanDevice::Interrupt(timeout); }
  } device;
  std::string message;
  EXPECT_EQ(CodeOf([&] { device.Interrupt(0); }, &message), -1109);
  EXPECT_EQ(message, "no interrupts on this bus");
}

TEST(Device, ReadWholeFile) {
  const std::string path = ::testing::TempDir() + "/whole_file.bin";
  {
    std::ofstream file(path, std::ios::binary);
    file << std::string("a\0b\r\n", 5);
  }
  EXPECT_EQ(ReadWholeFile(path), std::string("a\0b\r\n", 5));
  std::remove(path.c_str());
  EXPECT_EQ(CodeOf([&] { ReadWholeFile(path); }), -10005);
}

TEST(Device, ReadWholeFileTakesOnlyRegularFiles) {
  // A folder once read as an empty program, and /dev/zero without end.
  for (const std::string& path : {::testing::TempDir(), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(CodeOf([&] { ReadWholeFile(path); }), -10005);
  }
}

TEST(Device, WaitMillisecondsWaitsAtLeastThatLong) {
  const auto start = std::chrono::steady_clock::now();
  WaitMilliseconds(26);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(26));
}

}  // namespace
