// CommandShell: the client byte stream, the request life at a resource, replies and every command.
#include "shell/command_shell.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/i_error.hpp"
#include "fakes/shell_fakes.hpp"
#include "protocol/resource_kind.hpp"
#include "settings/config_store.hpp"
#include "shell/request.hpp"

namespace {

using orvan::protocol::kKindPci;
using orvan::protocol::kKindSerial;
using orvan::protocol::kKindTcp;
using orvan::protocol::kKindUdp;

const std::string kEsc = "\x1b";

class ShellTest : public testing::Test {
protected:
  ShellTest() {
    for (std::uint32_t id : {1u, 2u}) server.resources[id] = std::make_shared<FakeShellResource>();
    server.addresses["10.0.0.2/"] = 1;
    server.addresses["10.0.0.2/tcp"] = 2;
  }

  void Feed(const std::string& bytes) {
    shell.Consume(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  // One shell line and what the client got back for it.
  std::string Line(const std::string& line) {
    Feed(line + "\r");
    return owner.Take();
  }
  // Links to resource 1 in the given mode and forgets the answer and the link request.
  void LinkTo1(int mode) {
    Line("l --id 1 -m " + std::to_string(mode));
    server.submitted.clear();
  }
  // The resource makes the n-th submission its current request.
  void Start(std::size_t index) {
    const auto& submission = server.submitted.at(index);
    shell.OnRequestReady(submission.request, server.resources.at(submission.id));
  }
  void Controller(const std::string& bytes, bool replyComplete = false) {
    shell.Send(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), false,
               replyComplete);
  }
  FakeShellResource& Resource(std::uint32_t id) { return *server.resources.at(id); }

  FakeShellOwner owner;
  FakeShellServer server;
  CommandShell shell{owner, server, true};
};

// --- bytes, modes and escapes ---

TEST_F(ShellTest, EscapeLettersSwitchModesAndAreNeverStored) {
  struct Case {
    std::string input;
    std::uint32_t mode;
  };
  const Case cases[] = {
      {kEsc + "c", CommandShell::kCookedMode},
      {kEsc + "C", CommandShell::kCookedMode},
      {kEsc + "r", CommandShell::kRawMode},
      {kEsc + "R" + kEsc + "s", CommandShell::kShellMode},
      {kEsc + kEsc + "c", CommandShell::kCookedMode},  // the second ESC is dropped as an ESC
      {kEsc + "k", CommandShell::kShellMode},          // keep-alive: no effect
  };
  for (const auto& c : cases) {
    FakeShellOwner owner;
    CommandShell shell(owner, server, true);
    shell.Consume(reinterpret_cast<const std::uint8_t*>(c.input.data()), c.input.size());
    EXPECT_EQ(shell.Mode(), c.mode) << c.input;
  }
  // An unknown letter is not stored: the line stays empty and answers "~".
  EXPECT_EQ(Line(kEsc + "k"), "~");
}

TEST_F(ShellTest, EscapeSplitOverChunksActsOnTheNextChunk) {
  Feed("te" + kEsc);
  Feed("c");
  EXPECT_EQ(shell.Mode(), CommandShell::kCookedMode);
  EXPECT_EQ(owner.Take(), "");
}

TEST_F(ShellTest, PassCounterCoversEscapes) {
  // Covered: ESC and r are both data of the line (an unknown command word).
  EXPECT_EQ(Line("l --pass 2"), "0\r\n~");
  EXPECT_EQ(shell.PassCounter(), 2u);
  EXPECT_EQ(Line(kEsc + "r"), "\\");
  EXPECT_EQ(shell.Mode(), CommandShell::kShellMode);
  // Covering only the ESC: the r follows an ESC and switches to raw.
  Line("l --pass 1");
  Feed(kEsc + "r");
  EXPECT_EQ(shell.Mode(), CommandShell::kRawMode);
  EXPECT_EQ(shell.PassCounter(), 0u);
}

TEST_F(ShellTest, EveryLinkCommandSetsThePassCounter) {
  Line("l --pass 9");
  Line("l");
  EXPECT_EQ(shell.PassCounter(), 0u);
}

TEST_F(ShellTest, BackspaceEditsShellLinesOnly) {
  EXPECT_EQ(Line("\b\btex\b"), "~");  // "te", nothing to report
  LinkTo1(2);
  Feed("A\bB\r");
  EXPECT_EQ(server.Bytes(), "A\bB\r");
}

TEST_F(ShellTest, CrLfEndsTheLineAtTheCrAndTheLfIsTrimmedAway) {
  EXPECT_EQ(Line("bogus\r\nte"), "\\invalid dravo command\r\n~");
}

TEST_F(ShellTest, CookedCommandsEndAtCrOrSemicolonEachWithOneCr) {
  LinkTo1(2);
  Feed("TPX;TPY\r\nTE\r");
  ASSERT_EQ(server.submitted.size(), 3u);
  EXPECT_EQ(server.Bytes(2), "TPX\r");
  EXPECT_EQ(server.Bytes(1), "TPY\r");
  EXPECT_EQ(server.Bytes(0), "\nTE\r");
  // A partial command waits for its end in the next chunk.
  Feed("MG");
  EXPECT_EQ(server.submitted.size(), 3u);
  Feed(" 1\r");
  EXPECT_EQ(server.Bytes(), "MG 1\r");
}

TEST_F(ShellTest, CookedCommandWithoutLinkIsAnsweredBackslashAndKeepsLastError) {
  shell.SetLastError("earlier");
  Feed(kEsc + "cTP\rTE\r");
  EXPECT_EQ(owner.Take(), "\\\\");
  EXPECT_EQ(shell.LastError(), "earlier");
  EXPECT_TRUE(server.submitted.empty());
}

TEST_F(ShellTest, OverlongShellLineIsDroppedToItsEndAndAnsweredBackslash) {
  Feed(std::string(5000, 'a'));
  Feed("\b\b" + kEsc + "x" + std::string(100, 'b'));  // still the same over-long line
  EXPECT_EQ(owner.Take(), "");
  Feed("\r");
  EXPECT_EQ(owner.Take(), "\\");
  EXPECT_EQ(Line("te"), "line too long\r\n~");
  // The longest line kept still executes.
  EXPECT_EQ(Line("te" + std::string(CommandShell::kLineLimit - 2, ' ')), "~");
}

TEST_F(ShellTest, CookedCommandLongerThanARequestIsRefusedNeverCut) {
  LinkTo1(2);
  Feed(std::string(448, 'a') + "\r");
  ASSERT_EQ(server.submitted.size(), 1u);
  EXPECT_EQ(server.Bytes(), std::string(448, 'a') + "\r");
  owner.Take();
  Feed(std::string(449, 'b') + ";" + std::string(500, 'c') + "\rTP\r");
  EXPECT_EQ(owner.Take(), "\\\\");
  ASSERT_EQ(server.submitted.size(), 2u);
  EXPECT_EQ(server.Bytes(), "TP\r");
}

TEST_F(ShellTest, SubscriptionEscapesNeedALinkAndSendNothingBack) {
  Feed(kEsc + "m");
  EXPECT_FALSE(shell.Messages());
  LinkTo1(0);
  Feed(kEsc + "m" + kEsc + "d" + kEsc + "i" + kEsc + "d");
  EXPECT_TRUE(shell.Messages());
  EXPECT_FALSE(shell.DataRecords());
  EXPECT_TRUE(shell.Interrupts());
  std::vector<int> codes;
  for (auto& s : server.submitted) codes.push_back(s.request->PopOp());
  EXPECT_EQ(codes, (std::vector<int>{3, 5, 7, 6}));
  EXPECT_EQ(owner.Take(), "");
}

TEST_F(ShellTest, UnlinkLeavesTheResourceAndItsSubscriptions) {
  LinkTo1(0);
  Feed(kEsc + "m" + kEsc + "i");
  server.submitted.clear();
  EXPECT_EQ(Line("l --id 2"), "2\r\n~");
  ASSERT_EQ(server.submitted.size(), 2u);
  EXPECT_EQ(server.submitted[0].id, 1u);
  auto& leave = *server.submitted[0].request;
  EXPECT_EQ(std::vector<int>(leave.operationCodes.begin(), leave.operationCodes.end()),
            (std::vector<int>{2, 4, 8}));
  EXPECT_EQ(server.submitted[1].id, 2u);
  EXPECT_EQ(server.submitted[1].request->PopOp(), 1);
  EXPECT_FALSE(shell.Messages());
  EXPECT_FALSE(shell.Interrupts());
}

// --- the request life and reply tracking ---

TEST_F(ShellTest, CookedRequestIsWrittenWhenStartedAndFinishedByItsReply) {
  LinkTo1(2);
  Feed("TP\r");
  EXPECT_EQ(Resource(1).written, "");
  Start(0);
  EXPECT_EQ(Resource(1).written, "TP\r");
  Controller(" 12\r\n");
  EXPECT_EQ(Resource(1).done, 0);
  Controller(":");
  EXPECT_EQ(Resource(1).done, 1);
  EXPECT_EQ(owner.Take(), " 12\r\n:");
  EXPECT_FALSE(shell.Serving());
}

TEST_F(ShellTest, BinaryReplyFinishesOnTheCompleteFlagWhateverItsLastByte) {
  LinkTo1(2);
  Feed("QR\r");
  Start(0);
  Controller("\x87\x01\x05\x00:");
  EXPECT_EQ(Resource(1).done, 0);
  Controller("xy", true);
  EXPECT_EQ(Resource(1).done, 1);
}

TEST_F(ShellTest, FirstPartOfASplitBinaryReplyIsNotCountedAsText) {
  LinkTo1(2);
  Feed("TP\r");
  Start(0);
  // Its bytes look like the end of a text reply; they are binary data all the same.
  const std::string part("\x87\x01\x00\x01\r\n:", 7);
  shell.Send(reinterpret_cast<const std::uint8_t*>(part.data()), part.size(), false, false, true);
  EXPECT_EQ(Resource(1).done, 0);
  EXPECT_TRUE(shell.Serving());
  Controller("rest", true);
  EXPECT_EQ(Resource(1).done, 1);
  EXPECT_EQ(owner.Take(), part + "rest");
}

TEST_F(ShellTest, UnsolicitedBytesAreWrittenButNotTracked) {
  LinkTo1(2);
  Feed("TP\r");
  Start(0);
  shell.Send(reinterpret_cast<const std::uint8_t*>(":"), 1, true, false);
  EXPECT_EQ(Resource(1).done, 0);
  EXPECT_EQ(owner.Take(), ":");
}

TEST_F(ShellTest, RequestStartedInShellModeIsFinishedAtOnce) {
  LinkTo1(2);
  Feed("TP\r" + kEsc + "s");
  Start(0);
  EXPECT_EQ(Resource(1).done, 1);
  EXPECT_EQ(Resource(1).written, "");
  EXPECT_FALSE(shell.Serving());
}

TEST_F(ShellTest, RawBytesReachTheControllerInTheOrderSent) {
  LinkTo1(1);
  Feed("abc");
  ASSERT_EQ(server.submitted.size(), 1u);
  Feed("def");  // the first raw request has not started yet
  EXPECT_EQ(server.submitted.size(), 1u);
  Start(0);
  Feed("ghi");
  EXPECT_EQ(Resource(1).written, "abcdefghi");
  // Controller output in raw mode goes to the client as it comes and ends nothing.
  Controller("\r\n:");
  EXPECT_EQ(owner.Take(), "\r\n:");
  EXPECT_EQ(Resource(1).done, 0);
  // ESC s and ESC r keep the ownership; ESC c ends it.
  Feed(kEsc + "s" + kEsc + "r");
  EXPECT_TRUE(shell.Serving());
  Feed(kEsc + "c");
  EXPECT_EQ(Resource(1).done, 1);
}

TEST_F(ShellTest, RawBytesBeforeAnEscapeInTheSameChunkAreWritten) {
  LinkTo1(1);
  Feed("abc");
  Start(0);
  Feed("def" + kEsc + "sl\r");
  EXPECT_EQ(Resource(1).written, "abcdef");
  EXPECT_EQ(owner.Take(), "1\r\n~");
  Feed(kEsc + "rghi" + kEsc + "c");
  EXPECT_EQ(Resource(1).written, "abcdefghi");
  EXPECT_EQ(Resource(1).done, 1);
}

TEST_F(ShellTest, RawChunkLongerThanARequestIsWrittenWhole) {
  LinkTo1(1);
  std::string chunk;
  for (int i = 0; i < 600; ++i) chunk += static_cast<char>('a' + i % 26);
  Feed(chunk);
  ASSERT_EQ(server.submitted.size(), 1u);
  EXPECT_EQ(server.submitted[0].request->length, 449u);
  Start(0);
  EXPECT_EQ(Resource(1).written, chunk);
}

TEST_F(ShellTest, RawBytesPastTheControllerQueueHoldAStreamClientAndRefuseADatagramOne) {
  LinkTo1(1);
  Feed("abc");
  Start(0);
  Resource(1).queueLimit = 5;
  Feed("de");  // up to the bound: taken as usual
  EXPECT_EQ(owner.Take(), "");
  Feed("fg");
  EXPECT_EQ(owner.Take(), "\\");
  EXPECT_EQ(shell.LastError(), "controller queue full");
  EXPECT_EQ(Resource(1).written, "abcde");
  owner.canHold = true;
  Feed("fg");
  EXPECT_EQ(owner.Take(), "");
  EXPECT_EQ(Resource(1).written, "abcdefg");  // nothing lost: the client's next bytes wait
  EXPECT_EQ(owner.holds, 1);
  EXPECT_EQ(Resource(1).drainWaits, 1);
}

TEST_F(ShellTest, WaitingRequestsAndRawBytesAreBounded) {
  LinkTo1(2);
  std::string commands;
  for (std::size_t i = 0; i < CommandShell::kWaitingLimit; ++i) commands += "A\r";
  Feed(commands);
  EXPECT_EQ(owner.Take(), "");
  Feed("B\r");
  EXPECT_EQ(owner.Take(), "\\");
  EXPECT_EQ(shell.LastError(), "too many requests waiting");
  EXPECT_EQ(server.submitted.size(), CommandShell::kWaitingLimit);

  FakeShellOwner rawOwner;
  CommandShell raw(rawOwner, server, true);
  const std::string link = "l --id 2 -m 1\r";
  raw.Consume(reinterpret_cast<const std::uint8_t*>(link.data()), link.size());
  rawOwner.Take();
  const std::string data(CommandShell::kRawBacklogLimit, 'x');
  raw.Consume(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  raw.Consume(reinterpret_cast<const std::uint8_t*>(data.data()), 449);
  EXPECT_EQ(rawOwner.Take(), "");
  raw.Consume(reinterpret_cast<const std::uint8_t*>(data.data()), 449);
  EXPECT_EQ(rawOwner.Take(), "\\");
  EXPECT_EQ(raw.LastError(), "raw data waiting exceeds limit");
}

TEST_F(ShellTest, RawModeWithoutLinkIsAnsweredBackslash) {
  Line("l -m 1");
  Feed("abc");
  EXPECT_EQ(owner.Take(), "\\");
}

TEST_F(ShellTest, EscCWithdrawsWaitingCommandRequestsButNotControlRequests) {
  LinkTo1(0);
  Line("ctrl --baud 9600");
  Feed(kEsc + "cTP\rTE\r");
  ASSERT_EQ(server.submitted.size(), 3u);
  const auto control = server.submitted[0].request;
  const auto tp = server.submitted[1].request;
  const auto te = server.submitted[2].request;
  Start(1);  // TP is current, TE waits
  Feed(kEsc + "c");
  // TP's reply is still owed: the resource is told so, and keeps it from everyone.
  EXPECT_EQ(Resource(1).abandoned, 1);
  EXPECT_EQ(Resource(1).done, 0);
  EXPECT_EQ(te->length, 0u);
  EXPECT_TRUE(te->requestor.expired());
  EXPECT_EQ(control->controlValue, 9600u);
  EXPECT_FALSE(control->requestor.expired());
  // The resource had already chosen TE: it is handed straight back, nothing is written.
  Start(2);
  EXPECT_EQ(Resource(1).done, 1);
  EXPECT_EQ(Resource(1).written, "TP\r");
  // The next command gets its own reply, not the late one of a withdrawn request.
  Feed("MG 1\r");
  Start(3);
  EXPECT_EQ(Resource(1).written, "TP\rMG 1\r");
  Controller("hi:");
  EXPECT_EQ(Resource(1).done, 2);
  // Nothing is owed once a reply has ended, nor before a request has started.
  Feed(kEsc + "c");
  EXPECT_EQ(Resource(1).abandoned, 1);
}

TEST_F(ShellTest, EscCDuringAReplyEndsTheRequestAndResetsTheTracker) {
  LinkTo1(2);
  Feed("TP\r");
  Start(0);
  Controller(" 12\r\n");
  Feed(kEsc + "c");
  EXPECT_EQ(Resource(1).abandoned, 1);
  // The resource follows the rest of the reply from where the shell left it.
  ReplyTracker followed = Resource(1).followed;
  EXPECT_TRUE(followed.Count(reinterpret_cast<const std::uint8_t*>(":"), 1));
  Feed("TE\r");
  Start(1);
  Controller(":x");  // not the end of the earlier reply's CR LF
  EXPECT_EQ(Resource(1).done, 0);
  EXPECT_EQ(Resource(1).abandoned, 1);
}

TEST_F(ShellTest, AClosingConnectionLeavesItsReplyOwedButARawOneOwesNothing) {
  LinkTo1(2);
  Feed("TP\r");
  Start(0);
  shell.FinishRequest();  // as the connection's close does
  EXPECT_EQ(Resource(1).abandoned, 1);
  EXPECT_EQ(Resource(1).done, 0);
  Feed(kEsc + "s");
  LinkTo1(1);
  Feed("abc");
  Start(0);
  shell.FinishRequest();
  EXPECT_EQ(Resource(1).abandoned, 1);
  EXPECT_EQ(Resource(1).done, 1);
}

TEST_F(ShellTest, ChangingTheLinkEndsTheOwnershipOfTheOldResource) {
  LinkTo1(1);
  Feed("abc");
  Start(0);
  Feed(kEsc + "s");
  EXPECT_EQ(Line("l --id 2 -m 1"), "~");
  EXPECT_EQ(Resource(1).done, 1);
  Feed("def");
  EXPECT_EQ(Resource(1).written, "abc");
  EXPECT_EQ(server.submitted.back().id, 2u);
}

TEST_F(ShellTest, ShellAnswersInCookedModeAreCountedAsReplyBytes) {
  LinkTo1(2);
  Feed("TP\r");
  Start(0);
  shell.Reply(-1, "");  // e.g. a rejected command of the same connection
  // The colon is no longer the only byte of the reply's first read.
  Controller(":");
  EXPECT_EQ(Resource(1).done, 0);
  EXPECT_EQ(owner.Take(), "\\:");
}

// --- commands ---

struct CommandCase {
  std::string line;
  std::string answer;
  std::string lastError;           // after the command
  std::vector<std::string> calls;  // server operations reached
};

class CommandTest : public ShellTest, public testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, AnswersAsSpecified) {
  const auto& c = GetParam();
  EXPECT_EQ(Line(c.line), c.answer);
  if (c.lastError == "*") {
    EXPECT_FALSE(shell.LastError().empty());
  } else {
    EXPECT_EQ(shell.LastError(), c.lastError);
  }
  EXPECT_EQ(server.calls, c.calls);
}

const std::string kQuitHelp = "Delete requestor in dravo, disconnects client.\n~";

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandTest,
    testing::Values(
        CommandCase{"", "~", "", {}}, CommandCase{" \t ", "~", "", {}},
        CommandCase{"bogus", "\\", "invalid dravo command", {}},
        CommandCase{"Link", "\\", "invalid dravo command", {}}, CommandCase{"l", "0\r\n~", "", {}},
        CommandCase{"link  --id 1", "1\r\n~", "", {}}, CommandCase{"l --id 7", "0\r\n~", "", {}},
        CommandCase{"l -a 10.0.0.2 --port 23 -p tcp", "2\r\n~", "", {}},
        CommandCase{"l -a 10.0.0.2", "1\r\n~", "", {}},
        CommandCase{"l -a 10.9.9.9", "\\", "no open resource at 10.9.9.9", {}},
        CommandCase{"l --id x", "\\", "*", {}},
        CommandCase{"o", "  1,        10.0.0.2, udp, none\r\n~", "", {}},
        CommandCase{"o 10.0.0.5 --bogus", "\\", "*", {}},
        CommandCase{"o 10.0.0.5 10.0.0.6", "\\", "*", {}},
        CommandCase{"o --port 70000 10.0.0.5", "\\", "*", {}},
        CommandCase{"o --port 2\xe2 10.0.0.5", "\\", "*", {}},
        CommandCase{"o COM3 -b --%original_token%port 3", "\\", "*", {}},
        CommandCase{"a -t %value% --%canonical_option%", "\\", "*", {}},
        CommandCase{"c 1 2 3", "~", "", {"close 1", "close 2", "close 3"}},
        CommandCase{"close -c 4 --bogus", "~", "", {"close 4"}}, CommandCase{"c", "~", "", {}},
        CommandCase{"c --all 3", "~", "", {"close all"}},
        CommandCase{"quit now", kQuitHelp, "", {}}, CommandCase{"exit x y", kQuitHelp, "", {}},
        CommandCase{"a -v", "1.33.4\r\n~", "", {}}, CommandCase{"a -c", "1\r\n~", "", {}},
        CommandCase{"admin -t", "600000\r\n~", "", {}},
        CommandCase{"a -t 0 -v", "1.33.4\r\n~", "", {}},
        CommandCase{"a --shutdown -v", "", "", {"shutdown"}},
        CommandCase{"a --restart", "", "", {"restart"}}, CommandCase{"a", "~", "", {}},
        CommandCase{"a --whatever", "~", "", {}}, CommandCase{"a -t abc", "\\", "*", {}},
        CommandCase{"noip", "requests\r\n~", "", {}},
        CommandCase{"noip --bogus", "requests\r\n~", "", {}},
        CommandCase{"noip -l", "~", "", {"listen -1"}},
        CommandCase{"noip -l 5000", "~", "", {"listen 5000"}},
        CommandCase{"noip --timeout", "-1\r\n~", "", {}},
        CommandCase{"noip --remember", "~", "", {"remember 0"}},
        CommandCase{"noip --remember 1 --remembered", "~1~", "", {"remember 1"}},
        CommandCase{"noip --remembered", "1~", "", {}}, CommandCase{"noip --help", "", "", {}},
        CommandCase{"noip --remember maybe", "\\", "*", {}},
        CommandCase{"assign --clear all", "~", "", {"assign [] []"}},
        CommandCase{"assign --clear 00:11:22:33:44:55", "~", "", {"assign [00:11:22:33:44:55] []"}},
        CommandCase{"assign -m 00-11 -a 10.0.0.7", "~", "", {"assign [00-11] [10.0.0.7]"}},
        CommandCase{"assign -m 00-11", "~", "", {}}, CommandCase{"r", "found\r\n~", "", {}},
        CommandCase{"r -s", "~", "", {"search"}},
        CommandCase{"ping", "\\", "ping requires an address", {}},
        CommandCase{"ping 10.0.0.2 -c 3", "", "", {"ping 10.0.0.2 3"}},
        CommandCase{"ping -a 10.0.0.2 -c", "", "", {"ping 10.0.0.2 1"}},
        CommandCase{"serverinfo --name a b  c", "info a b c~", "", {}},
        CommandCase{"serverinfo", "", "", {}},
        CommandCase{"serverstatus x", "host dravo, false~", "", {}},
        CommandCase{"servers", "other dravo\n~", "", {}},
        CommandCase{"connections", "10.0.0.9\n~", "", {}},
        CommandCase{"publish --name lab dravo --port 23", "~", "", {"publish 1 lab dravo 23"}},
        CommandCase{"publish --remove --name x", "~", "", {"publish 0 x 23"}},
        CommandCase{"publish --name x", "~", "", {}},
        CommandCase{"te x", "Report error text from last error.\n~", "", {}},
        CommandCase{"te", "~", "", {}}, CommandCase{"ctrl 5", "\\", "*", {}},
        CommandCase{"ctrl --bogus 5", "\\", "*", {}}, CommandCase{"ctrl --baud 9600", "\\", "", {}},
        CommandCase{"ctrl", "~", "", {}}));

struct OpenCase {
  std::string line;
  OpenParameters expected;
};

class OpenTest : public ShellTest, public testing::WithParamInterface<OpenCase> {};

TEST_P(OpenTest, BuildsTheOpenParameters) {
  const auto& c = GetParam();
  EXPECT_EQ(Line(c.line), "~");
  ASSERT_EQ(server.opened.size(), 1u);
  const auto& opened = server.opened[0];
  EXPECT_EQ(opened.address, c.expected.address);
  EXPECT_EQ(opened.kind, c.expected.kind);
  EXPECT_EQ(opened.port, c.expected.port);
  EXPECT_EQ(opened.baud, c.expected.baud);
  EXPECT_EQ(opened.hardwareHandshake, c.expected.hardwareHandshake);
}

OpenParameters Open(std::string address, std::uint32_t kind, std::uint16_t port,
                    std::uint32_t baud = 115200, bool handshake = true) {
  OpenParameters p;
  p.address = std::move(address);
  p.kind = kind;
  p.port = port;
  p.baud = baud;
  p.hardwareHandshake = handshake;
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OpenTest,
    testing::Values(
        OpenCase{"o 10.0.0.5", Open("10.0.0.5", kKindUdp, 60007)},
        OpenCase{"o 10.0.0.5 -p tcp", Open("10.0.0.5", kKindTcp, 23)},
        OpenCase{"o  --address 10.0.0.5 --port 1000 --protocol tcp",
                 Open("10.0.0.5", kKindTcp, 1000)},
        OpenCase{"o  --address 10.0.0.5 --port 60007 --protocol udp",
                 Open("10.0.0.5", kKindUdp, 60007)},
        OpenCase{"open 10.0.0.5 --port", Open("10.0.0.5", kKindUdp, 23)},
        OpenCase{"o 10.0.0.5 --port=65535", Open("10.0.0.5", kKindUdp, 65535)},
        OpenCase{"o COM3 -b 9600 --handshake none", Open("COM3", kKindSerial, 60007, 9600, false)},
        OpenCase{"o  --address COM3 --baud", Open("COM3", kKindSerial, 60007)},
        OpenCase{"o COM3 -p tcp", Open("COM3", kKindTcp, 23)},
        OpenCase{"o /dev/ttyUSB0 --handshake", Open("/dev/ttyUSB0", kKindSerial, 60007)},
        OpenCase{"o RUREZIVU1", Open("RUREZIVU1", kKindPci, 60007)},
        OpenCase{"o  --address PCI2", Open("PCI2", kKindPci, 60007)}));

TEST_F(ShellTest, LinkCommandSetsTheModeBeforeItAnswers) {
  EXPECT_EQ(Line("l --id 1 -m 2"), "~");
  EXPECT_EQ(shell.Mode(), CommandShell::kCookedMode);
  Feed(kEsc + "s");
  EXPECT_EQ(Line("l -m 1"), "~");
  EXPECT_EQ(shell.Mode(), CommandShell::kRawMode);
  Feed(kEsc + "s");
  EXPECT_EQ(Line("l -m 3"), "1\r\n~");
  EXPECT_EQ(shell.Mode(), CommandShell::kShellMode);
  // A failed address lookup keeps the mode change.
  EXPECT_EQ(Line("l -a 10.9.9.9 -m 2"), "\\");
  EXPECT_EQ(shell.Mode(), CommandShell::kCookedMode);
}

TEST_F(ShellTest, TeReportsTheLastErrorOnce) {
  Line("bogus");
  EXPECT_EQ(Line("te"), "invalid dravo command\r\n~");
  EXPECT_EQ(Line("te"), "~");
}

TEST_F(ShellTest, AdminTimeoutTakesEffectAtOnce) {
  EXPECT_EQ(Line("a -t 0 -v"), "1.33.4\r\n~");
  EXPECT_EQ(owner.idleTimeout, 0u);
  EXPECT_EQ(owner.idleTimeoutChanges, 1);
  EXPECT_EQ(Line("a -t"), "0\r\n~");
  EXPECT_EQ(Line("a -v"), "1.33.4\r\n~");
  EXPECT_EQ(owner.idleTimeoutChanges, 2);
}

TEST_F(ShellTest, QuitUnlinksAndEndsTheConnection) {
  LinkTo1(0);
  EXPECT_THROW(Line("quit"), IError);
  EXPECT_EQ(shell.LinkNumber(), 0u);
  ASSERT_EQ(server.submitted.size(), 1u);
  EXPECT_EQ(server.submitted[0].request->PopOp(), 2);
  EXPECT_EQ(owner.Take(), "");
  EXPECT_THROW(Line("q"), IError);
}

TEST_F(ShellTest, CtrlSubmitsControlRequestsToTheLinkedResource) {
  LinkTo1(0);
  EXPECT_EQ(Line("ctrl --baud 9600 --stopbits 2"), "~");
  ASSERT_EQ(server.submitted.size(), 2u);
  EXPECT_EQ(server.submitted[0].request->controlParameter, 2u);
  EXPECT_EQ(server.submitted[0].request->controlValue, 9600u);
  EXPECT_EQ(server.submitted[1].request->controlParameter, 3u);
  EXPECT_EQ(server.submitted[1].request->controlValue, 2u);
  const std::string help = Line("ctrl --help --baud 1");
  EXPECT_NE(help.find("--baud arg"), std::string::npos);
  EXPECT_NE(help.find("Stop bits (1, 2)."), std::string::npos);
  EXPECT_EQ(help.back(), '~');
  EXPECT_EQ(server.submitted.size(), 2u);
}

TEST_F(ShellTest, PingThatCannotStartAnswersItsError) {
  server.pingFails = true;
  EXPECT_EQ(Line("ping 10.0.0.2"), "\\");
  EXPECT_EQ(shell.LastError(), "socket: Operation not permitted");
}

TEST_F(ShellTest, PublishWithSaveStoresNameAndFlagBeforeItRestarts) {
  char folder[] = "/tmp/shell-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  setenv("ORVAN_PROGRAM_DATA", folder, 1);
  EXPECT_EQ(Line("publish --name lab bench --port 23 --save"), "~");
  {
    ConfigStore store;
    EXPECT_EQ(store.Tree().get<std::string>(ConfigStore::kServerName, ""), "lab bench");
    EXPECT_TRUE(store.Tree().get<bool>(ConfigStore::kServerPublish, false));
  }
  EXPECT_EQ(Line("publish --remove --name lab -s"), "~");
  {
    ConfigStore store;
    EXPECT_EQ(store.Tree().get<std::string>(ConfigStore::kServerName, ""), "lab");
    EXPECT_FALSE(store.Tree().get<bool>(ConfigStore::kServerPublish, true));
  }
  EXPECT_EQ(server.calls, (std::vector<std::string>{"publish 1 lab bench 23", "publish 0 lab 23"}));
  unsetenv("ORVAN_PROGRAM_DATA");
  std::filesystem::remove_all(folder);
}

TEST_F(ShellTest, PublishWithSaveThatCannotBeWrittenAnswersTheSystemTextAndChangesNothing) {
  char folder[] = "/tmp/shell-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  setenv("ORVAN_PROGRAM_DATA", folder, 1);
  // A file where the server folder belongs: the settings can be neither read nor written.
  std::filesystem::create_directories(std::string(folder) + "/Orvan");
  { std::ofstream(std::string(folder) + "/Orvan/dravo") << "in the way"; }
  EXPECT_EQ(Line("publish --name lab --port 23 --save"), "\\");
  EXPECT_EQ(shell.LastError(), "Not a directory");
  EXPECT_TRUE(server.calls.empty());  // not applied either: the answer said it failed
  unsetenv("ORVAN_PROGRAM_DATA");
  std::filesystem::remove_all(folder);
}

TEST(ShellMdnsTest, MdnsCommandsRefuseWithoutMdns) {
  FakeShellOwner owner;
  FakeShellServer server;
  CommandShell shell(owner, server, false);
  for (const std::string line :
       {"serverinfo --name x", "serverstatus", "servers", "publish --remove", "connections"}) {
    const std::string bytes = line + "\r";
    shell.Consume(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(owner.Take(), "\\") << line;
    EXPECT_EQ(shell.LastError(), "mDNS not supported on this installation of DRAVO");
  }
  EXPECT_TRUE(server.calls.empty());
}

}  // namespace
