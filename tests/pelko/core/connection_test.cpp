// Connection operations over an answering controller that also plays the download side:
// every test checks the exact bytes the controller was sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/connection.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/answering_device.hpp"
#include "identify/description.hpp"

using namespace orvan;

namespace {

// After a "DL" or "QD" line every write is download data until "\": acknowledged with ACK
// when `acknowledge` is set, answered with nothing otherwise; "\" brings the prompt.
class DownloadingDevice : public fakes::AnsweringDevice {
public:
  bool acknowledge = true;
  // The Nth data write of a download (1-based) is refused with '?'.
  uint32_t refuseData = 0;
  // Bytes the controller sends after the opening line of a blind download.
  std::string chatter;
  bool downloading = false;
  uint32_t dataWrites = 0;

  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override {
    const std::string bytes(buffer, length);
    if (!downloading && (bytes.rfind("DL", 0) == 0 || bytes.rfind("QD", 0) == 0)) {
      ScriptedDevice::Write(buffer, length, timeout, progress);
      downloading = true;
      dataWrites = 0;
      script.clear();
      if (acknowledge) Reply("\x06");
      if (!chatter.empty()) Reply(chatter);
      return;
    }
    if (!downloading) return AnsweringDevice::Write(buffer, length, timeout, progress);
    ScriptedDevice::Write(buffer, length, timeout, progress);
    script.clear();
    if (bytes == "\\") {
      downloading = false;
      Reply(":");
      return;
    }
    ++dataWrites;
    if (acknowledge) Reply(dataWrites == refuseData ? "?" : "\x06");
  }

  // The writes from the first one that begins with `prefix` on.
  std::vector<std::string> WritesFrom(const std::string& prefix) const {
    const auto first = std::find_if(writes.begin(), writes.end(),
                                    [&](const std::string& w) { return w.rfind(prefix, 0) == 0; });
    return {first, writes.end()};
  }
};

class ConnectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    previous = Connection::SetDeviceMaker([this](const OrvanOptions&, auto&) { return device; });
    device->answers["QP"] = "UC 2\r\nPR 80,2000,1";
    device->answers["LA"] = " DATA[100]\r\n A2[10]";
  }
  void TearDown() override { Connection::SetDeviceMaker(previous); }

  void Open(const std::string& address = "10.0.0.9 -d -t 300") {
    auto options = std::make_shared<OrvanOptions>();
    ParseOpenAddress(address, options);
    connection.Open(options);
    device->SetCallback(
        [](uint32_t done, uint32_t total, void* user) {
          static_cast<ConnectionTest*>(user)->progress.emplace_back(done, total);
        },
        this);
    device->writes.clear();
    device->setOptions.clear();
  }

  std::shared_ptr<DownloadingDevice> device = std::make_shared<DownloadingDevice>();
  Connection connection;
  Connection::DeviceMaker previous;
  std::vector<std::pair<uint32_t, uint32_t>> progress;
};

int32_t CodeOf(const std::function<void()>& body, std::string* message = nullptr) {
  try {
    body();
  } catch (const OrvanError& e) {
    if (message) *message = e.Message();
    return e.Code();
  }
  return 0;
}

TEST_F(ConnectionTest, CommandListSendsEachPartAndJoinsTheReplies) {
  struct Case {
    const char* list;
    std::vector<std::string> sent;
    const char* reply;
  };
  const Case cases[] = {
      {"A", {"A"}, "1\r\n:"},
      {"", {""}, "0\r\n:"},
      {"A;B", {"A", "B"}, "1\r\n:2\r\n:"},
      {"A;;\rB", {"A", "B"}, "1\r\n:2\r\n:"},
      {";A", {"", "A"}, "0\r\n:1\r\n:"},
      {"A\r", {"A", ""}, "1\r\n:0\r\n:"},
  };
  Open();
  device->answers["A"] = "1";
  device->answers["B"] = "2";
  device->otherwise = "0";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    device->commands.clear();
    EXPECT_EQ(connection.Command(c.list, false, 300), c.reply);
    EXPECT_EQ(device->commands, c.sent);
  }
}

TEST_F(ConnectionTest, InfoTellsClosedMonitorAndIdentifiedDevices) {
  EXPECT_EQ(connection.Info(), "device not open");
  Open();
  device->answers["\x12\x16"] = "VKT4140 Rev 1.0b";
  device->answers["MG_BN{Z10.0}"] = "1234";
  EXPECT_EQ(connection.Info(), "10.0.0.9, 1.0b, 1234");

  device->description->identified = false;
  device->prompt = '>';
  device->answers["\x12"] = "VKT4140 monitor 2";
  EXPECT_EQ(connection.Info(), "VKT4140 monitor 2");
  device->answers["\x12"] = "VKT\x01";
  EXPECT_EQ(connection.Info(), "monitor");

  device->Close();
  EXPECT_EQ(connection.Info(), "device not open");
}

TEST_F(ConnectionTest, ArrayUploadLeavesOutNegativeNumbers) {
  Open();
  device->answers["QU DATA[], , , "] = "1,2";
  device->answers["QU DATA[], 0, 9, 44"] = "1,2,3";
  EXPECT_EQ(connection.ArrayUpload("DATA", -1, -1, -1), "1,2");
  EXPECT_EQ(connection.ArrayUpload("DATA", 0, 9, 44), "1,2,3");
  EXPECT_EQ(CodeOf([&] { connection.ArrayUpload("DATA[]\rXQ", 0, 1, -1); }), -10002);
}

TEST_F(ConnectionTest, AcknowledgedArrayDownloadSendsLinesAndCloses) {
  Open();
  connection.ArrayDownload("DATA", 0, 2, "1,2,3,");
  EXPECT_EQ(device->WritesFrom("QD"),
            (std::vector<std::string>{"QD DATA[],0,2,1\r", "1,2,3\r", "\\"}));
  // Pacing comes from the identification; the download switches modes around itself.
  auto modes = device->setOptions;
  modes.erase(std::remove_if(modes.begin(), modes.end(),
                             [](const auto& set) { return set.first == kOptionPacing; }),
              modes.end());
  EXPECT_EQ(modes, (std::vector<std::pair<int32_t, int32_t>>{{kOptionPassThrough, 0},
                                                             {kOptionCommandMode, 0}}));
  EXPECT_EQ(progress.back(), std::make_pair(6u, 6u));

  device->writes.clear();
  connection.ArrayDownload("DATA", -1, 4, "5\r6");
  EXPECT_EQ(device->WritesFrom("QD"),
            (std::vector<std::string>{"QD DATA[],,4,1\r", "5,6\r", "\\"}));
}

TEST_F(ConnectionTest, AcknowledgedArrayChunksGoOutOncePast386Characters) {
  Open();
  std::string values;
  for (int i = 0; i < 300; ++i) values += std::to_string(1000000 + i) + ",";
  connection.ArrayDownload("DATA", 0, 299, values);
  const auto sent = device->WritesFrom("QD");
  ASSERT_GT(sent.size(), 4u);
  std::string joined;
  for (size_t i = 1; i + 1 < sent.size(); ++i) {
    const std::string& chunk = sent[i];
    ASSERT_EQ(chunk.back(), '\r');
    EXPECT_LE(chunk.size(), kReadBlock);
    // Every chunk but the last stopped at the first separator past 386 characters.
    if (i + 2 < sent.size()) {
      EXPECT_GT(chunk.size() - 1 + 20, kReadBlock);
    }
    if (!joined.empty()) joined += ',';
    joined += chunk.substr(0, chunk.size() - 1);
  }
  values.pop_back();
  EXPECT_EQ(joined, values);
  EXPECT_EQ(sent.back(), "\\");
  EXPECT_EQ(progress.size(), sent.size() - 2);
}

TEST_F(ConnectionTest, BlindArrayDownloadSendsTheValuesAsTheyStand) {
  for (const bool debugBit : {false, true}) {
    SCOPED_TRACE(debugBit);
    device->answers["QP"] = debugBit ? "UC 2" : "UC 0";
    device->acknowledge = false;
    Open(debugBit ? "10.0.0.9 -d --debug 1" : "10.0.0.9 -d");
    connection.ArrayDownload("A2", 1, -1, "1,2,\r3");
    EXPECT_EQ(device->WritesFrom("QD"),
              (std::vector<std::string>{"QD A2[],1,\r", "1,2,\r3", "\\"}));
  }
}

TEST_F(ConnectionTest, ArrayNameMustBeAWholeListedName) {
  Open();
  const struct {
    const char* name;
    int32_t code;
  } cases[] = {{"DATA", 0},    {"A2", 0},   {"A", -1200},
               {"ATA", -1200}, {"", -1200}, {"DATA[100]\r\n A2", -1200},
               {"data", -1200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device->writes.clear();
    EXPECT_EQ(CodeOf([&] { connection.ArrayDownload(c.name, 0, 1, "1,2"); }), c.code);
    EXPECT_EQ(device->WritesFrom("QD").empty(), c.code != 0);
  }
}

TEST_F(ConnectionTest, ValuesThatWouldBreakTheDownloadAreRefusedBeforeQD) {
  for (const bool debugBit : {false, true}) {
    Open(debugBit ? "10.0.0.9 -d --debug 1" : "10.0.0.9 -d");
    EXPECT_EQ(CodeOf([&] { connection.ArrayDownload("DATA", 0, 1, "1,2\\XQ#A\r"); }), -10002);
    EXPECT_TRUE(device->WritesFrom("QD").empty());
  }
  Open();
  const std::string longest(405, '7');
  EXPECT_EQ(CodeOf([&] { connection.ArrayDownload("DATA", 0, 1, "1," + longest + "8"); }), -10002);
  EXPECT_TRUE(device->WritesFrom("QD").empty());
  // Chunks still go out only at a separator past 386 characters, so the long value joins the
  // short one before it.
  connection.ArrayDownload("DATA", 0, 1, "1," + longest);
  EXPECT_EQ(device->WritesFrom("QD"),
            (std::vector<std::string>{"QD DATA[],0,1,1\r", "1," + longest + "\r", "\\"}));
}

// Every failure after the opening line ends the download so no later command is taken as data.
TEST_F(ConnectionTest, FailedArrayDownloadStillClosesTheDownload) {
  Open();
  std::string values;
  for (int i = 0; i < 120; ++i) values += std::to_string(1000000 + i) + ",";
  connection.ArrayDownload("DATA", 0, 119, values);
  const uint32_t dataLines = static_cast<uint32_t>(device->WritesFrom("QD").size() - 2);
  ASSERT_GE(dataLines, 2u);

  for (uint32_t n = 1; n <= dataLines; ++n) {
    SCOPED_TRACE(n);
    // A refused line: the controller's '?' is the error, the line itself was whole.
    device->writes.clear();
    device->refuseData = n;
    EXPECT_EQ(CodeOf([&] { connection.ArrayDownload("DATA", 0, 119, values); }), -10000);
    auto sent = device->WritesFrom("QD");
    EXPECT_EQ(sent.size(), n + 2) << ::testing::PrintToString(sent);
    EXPECT_EQ(sent.back(), "\\");
    device->refuseData = 0;

    // A write that fails: a CR completes whatever part of the line went out.
    device->writes.clear();
    device->writeAttempts = 0;
    device->failWrite = 2 + n;  // "LA", the opening line, then the nth data line
    EXPECT_EQ(CodeOf([&] { connection.ArrayDownload("DATA", 0, 119, values); }), -1104);
    sent = device->WritesFrom("QD");
    ASSERT_EQ(sent.size(), n + 2);
    EXPECT_EQ(sent[n], "\r");
    EXPECT_EQ(sent.back(), "\\");
    device->failWrite = 0;
    device->downloading = false;
  }
}

TEST_F(ConnectionTest, AcknowledgedProgramDownloadSendsLineByLine) {
  Open();
  connection.ProgramDownload("#A\nMG 1\nEN", "", "DL");
  EXPECT_EQ(device->writes.front(), "ST\r");
  EXPECT_EQ(device->WritesFrom("DL"),
            (std::vector<std::string>{"DL , 1\r", "#A\r", "MG 1\r", "EN\r", "\\"}));
  EXPECT_EQ(progress,
            (std::vector<std::pair<uint32_t, uint32_t>>{{2, 11}, {7, 11}, {10, 11}, {11, 11}}));
  EXPECT_EQ(device->setOptions.back(), std::make_pair(kOptionCommandMode, 0));

  device->writes.clear();
  connection.ProgramDownload("MG 2", "--insert 5", "DL");
  EXPECT_EQ(device->WritesFrom("DL"), (std::vector<std::string>{"DL 5, 1\r", "MG 2\r", "\\"}));
}

TEST_F(ConnectionTest, BlindProgramDownloadStreamsChunks) {
  device->answers["QP"] = "UC 2";
  device->acknowledge = false;
  Open("10.0.0.9 -d --debug 1");
  std::string program;
  for (int i = 0; i < 200; ++i) program += "MG " + std::to_string(i) + "\n";
  connection.ProgramDownload(program, "", "DL");
  const auto sent = device->WritesFrom("DL");
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent.front(), "DL \r");
  EXPECT_EQ(sent.back(), "\\");
  std::string streamed;
  for (size_t i = 1; i + 1 < sent.size(); ++i) {
    EXPECT_LE(sent[i].size(), 449u);
    if (i + 2 < sent.size()) {
      EXPECT_EQ(sent[i].size(), 449u);
    }
    streamed += sent[i];
  }
  std::string expected = program;
  std::replace(expected.begin(), expected.end(), '\n', '\r');
  EXPECT_EQ(streamed, expected);
  EXPECT_EQ(progress.back(), std::make_pair(uint32_t(expected.size()), uint32_t(expected.size())));
}

TEST_F(ConnectionTest, BytesDuringABlindDownloadEndIt) {
  device->answers["QP"] = "UC 0";
  device->acknowledge = false;
  device->chatter = "?";
  Open();
  std::string message;
  EXPECT_EQ(CodeOf([&] { connection.ProgramDownload("MG 1", "", "DL"); }, &message), -10000);
  EXPECT_EQ(message, "?");
  EXPECT_EQ(device->WritesFrom("DL"), (std::vector<std::string>{"DL \r", "\\"}));

  device->chatter = "1";
  device->writes.clear();
  EXPECT_EQ(CodeOf([&] { connection.ProgramDownload("MG 1", "", "DL"); }, &message), -10000);
  EXPECT_EQ(message, "data read during blind DL");
  EXPECT_EQ(device->WritesFrom("DL"), (std::vector<std::string>{"DL \r", "\\"}));
}

TEST_F(ConnectionTest, FailedBlindChunkIsEndedWithACarriageReturn) {
  device->answers["QP"] = "UC 0";
  device->acknowledge = false;
  Open();
  std::string program;
  for (int i = 0; i < 200; ++i) program += "MG " + std::to_string(i) + "\n";
  connection.GetDescription()->Identify(*device);
  device->failWrite = device->writeAttempts + 4;  // "ST", the opening line, two chunks
  EXPECT_EQ(CodeOf([&] { connection.ProgramDownload(program, "", "DL"); }), -1104);
  const auto sent = device->WritesFrom("DL");
  ASSERT_EQ(sent.size(), 4u) << ::testing::PrintToString(sent);
  EXPECT_EQ(sent[1].size(), 449u);
  EXPECT_EQ(sent[2], "\r");
  EXPECT_EQ(sent[3], "\\");
}

TEST_F(ConnectionTest, PreprocessorGetsTheHardwareLimits) {
  // Too wide to join two into one 80-character line.
  const std::string line = "MG \"" + std::string(60, 'x') + "\"\n";
  const std::string five = line + line + line + line + line;
  const char* kFiveLongLines = five.c_str();
  const struct {
    const char* capabilities;
    const char* program;
    int32_t code;
  } cases[] = {
      {"UC 2\r\nPR 80,2,1", "MG 1\nMG 2", 0},
      {"UC 2\r\nPR 80,2,1", kFiveLongLines, -1203},
      {"UC 2\r\nPR 8,200,1", "MG 123456789", 0},
      {"UC 2\r\nPR 8,200,0", "MG 123456789", -1203},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    device->answers["QP"] = c.capabilities;
    Open();
    EXPECT_EQ(CodeOf([&] { connection.ProgramDownload(c.program, "", "DL"); }), c.code);
    // A program that cannot fit never opens a download.
    EXPECT_EQ(device->WritesFrom("DL").empty(), c.code != 0);
  }
}

// Every way out of a transfer, refused before its data or failed on the way, puts the device
// back in command mode before the error reaches the caller: through the server, a device left
// in raw mode keeps the controller from every other client.
TEST_F(ConnectionTest, EveryFailedTransferEndsInCommandMode) {
  const std::string line = "MG \"" + std::string(60, 'x') + "\"\n";
  const struct {
    const char* what;
    const char* capabilities;
    bool acknowledge;
    uint32_t refuseData;
    const char* chatter;
    std::function<void(Connection&)> transfer;
    int32_t code;
  } cases[] = {
      {"array not dimensioned", "UC 2", true, 0, "",
       [](Connection& c) { c.ArrayDownload("NONE", 0, 1, "1,2"); }, -1200},
      {"value that cannot be sent", "UC 2", true, 0, "",
       [](Connection& c) { c.ArrayDownload("DATA", 0, 1, "1,\\2"); }, -10002},
      {"too many values", "UC 2", true, 1, "",
       [](Connection& c) { c.ArrayDownload("DATA", 0, 1, "1,2,3"); }, -10000},
      {"no acknowledge", "UC 2", false, 0, "",
       [](Connection& c) { c.ArrayDownload("DATA", 0, 1, "1,2"); }, -1100},
      {"program character refused", "UC 2", true, 0, "",
       [](Connection& c) { c.ProgramDownload("MG \"\\\"", "", "DL"); }, -1202},
      {"program too long", "UC 2\r\nPR 80,2,1", true, 0, "",
       [&](Connection& c) { c.ProgramDownload(line + line + line + line + line, "", "DL"); },
       -1203},
      {"line refused", "UC 2", true, 2, "",
       [](Connection& c) { c.ProgramDownload("#A\nMG 1\nEN", "", "DL"); }, -10000},
      {"blind download answered", "UC 0", false, 0, "1",
       [](Connection& c) { c.ProgramDownload("MG 1", "", "DL"); }, -10000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    device = std::make_shared<DownloadingDevice>();
    device->answers["QP"] = c.capabilities;
    device->answers["LA"] = " DATA[2]";
    device->acknowledge = c.acknowledge;
    device->refuseData = c.refuseData;
    device->chatter = c.chatter;
    Open();
    EXPECT_EQ(CodeOf([&] { c.transfer(connection); }), c.code);
    // Pacing comes from the identification; only the mode switches count here.
    auto modes = device->setOptions;
    modes.erase(std::remove_if(modes.begin(), modes.end(),
                               [](const auto& set) { return set.first == kOptionPacing; }),
                modes.end());
    EXPECT_EQ(modes, (std::vector<std::pair<int32_t, int32_t>>{{kOptionPassThrough, 0},
                                                               {kOptionCommandMode, 0}}));
  }
}

TEST_F(ConnectionTest, OperationsWithoutADeviceAreMinus1102) {
  EXPECT_EQ(CodeOf([&] { connection.Command("TP", false, 0); }), -1102);
  EXPECT_EQ(CodeOf([&] { connection.ArrayUpload("A", 0, 1, -1); }), -1102);
  EXPECT_EQ(CodeOf([&] { connection.ArrayDownload("A", 0, 1, "1"); }), -1102);
  EXPECT_EQ(CodeOf([&] { connection.ProgramDownload("", "", "DL"); }), -1102);
  EXPECT_EQ(CodeOf([&] { connection.GetDescription(); }), -1102);
}

}  // namespace
