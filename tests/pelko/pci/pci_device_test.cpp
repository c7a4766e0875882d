// The card device against simulated cards: the start-up sequence, commands and messages,
// reads bounded by their deadline, chunked writes, records by the card and by "QR", interrupts,
// the count, two cards, missing and busy cards, the listing, and every request failing,
// bringing nothing or never completing.
#include "pci/pci_device.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/error_code.hpp"
#include "fakes/simulated_card.hpp"
#include "identify/description.hpp"

namespace {

using namespace orvan;
using fakes::CardAnswer;
using fakes::CodeOf;
using Kind = platform::CardRequestKind;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

const fakes::FakeChannel kCard{false, 0};

int64_t MillisecondsSince(steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

class PciDeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    options->address = "RUREZIVU1";
    options->timeout = 1000;
  }

  std::shared_ptr<PciDevice> OpenDevice() {
    auto device = std::make_shared<PciDevice>();
    device->Open(options);
    card.Controller().ClearLog();
    return device;
  }

  void AnswerAll(CardAnswer answer) {
    for (size_t kind = 0; kind < platform::kCardRequestKinds; ++kind)
      card.Answer(static_cast<Kind>(kind), answer);
  }

  fakes::SimulatedCards cards;
  fakes::SimulatedCard& card = cards.Insert(1);
  std::shared_ptr<OrvanOptions> options = std::make_shared<OrvanOptions>();
};

TEST_F(PciDeviceTest, OpeningIdentifiesEmptiesTheRecordQueueAndTurnsTheCardOn) {
  for (int i = 0; i < 3; ++i) card.QueueRecord(std::string(40, 'r'));
  auto device = std::make_shared<PciDevice>();
  device->Open(options);
  EXPECT_TRUE(device->IsOpen());
  EXPECT_EQ(device->BusType(), kBusPci);
  ASSERT_TRUE(device->description);
  EXPECT_TRUE(device->description->identified);
  EXPECT_EQ(device->description->identity, "VKT4140 Rev 1.0b");

  const auto commands = card.Controller().CommandsOn(kCard);
  ASSERT_GE(commands.size(), 5u);
  EXPECT_EQ(commands[0], "EO0");
  EXPECT_EQ(commands[1], "CW1");
  EXPECT_EQ(std::vector<std::string>(commands.end() - 3, commands.end()),
            (std::vector<std::string>{"CW,,0", "CW,,1", "DU1"}));
  // Three stale records, then the request that found the queue empty; 4 zero bytes each.
  EXPECT_EQ(card.Inputs(Kind::Record), std::vector<std::string>(4, std::string(4, '\0')));

  device->Close();
  EXPECT_FALSE(device->IsOpen());
  EXPECT_FALSE(device->description->identified);
  EXPECT_FALSE(card.Held());
}

TEST_F(PciDeviceTest, InTheMonitorOpeningSendsOnlyTheEchoCommand) {
  card.Controller().SetMonitor(true);
  auto device = std::make_shared<PciDevice>();
  device->Open(options);
  EXPECT_TRUE(device->promptState);
  EXPECT_EQ(card.Controller().CommandsOn(kCard), std::vector<std::string>{"EO0"});
}

TEST_F(PciDeviceTest, StartUpDrainStopsAtALimitAndAtARequestThatFails) {
  // A card whose queue never runs dry: the drain gives up after 1000 records.
  for (int i = 0; i < 1200; ++i) card.QueueRecord("r");
  auto device = OpenDevice();
  EXPECT_EQ(card.Requests(Kind::Record), 1000u);
  device->Close();

  fakes::SimulatedCard& failing = cards.Insert(2);
  failing.QueueRecord("r");
  failing.Answer(Kind::Record, CardAnswer::Fail, EIO);
  options->address = "RUREZIVU2";
  OpenDevice();
  EXPECT_EQ(failing.Requests(Kind::Record), 1u);
}

TEST_F(PciDeviceTest, CommandsRepliesAndMessagesShareTheByteStream) {
  auto device = OpenDevice();
  EXPECT_EQ(device->Command("MG \"hello\"", true, -1, true), "hello");
  EXPECT_EQ(CodeOf([&] { device->Command("NOPE", true, -1, true); }), -10000);

  card.Controller().PushMessage("hi");
  std::array<char, 16> message{};
  ASSERT_EQ(device->Message(message.data(), message.size(), 1000), 2u);
  EXPECT_EQ(std::string(message.data(), 2), "hi");

  // Bytes with bit 7 set go to the message queue when a read separates them.
  card.Deliver(
      "a\xC2"
      "b");
  std::array<char, 16> buffer{};
  ASSERT_EQ(device->Read(buffer.data(), buffer.size(), true, 100), 2u);
  EXPECT_EQ(std::string(buffer.data(), 2), "ab");
  EXPECT_EQ(device->UnsolicitedCount(), 1u);
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), 0, true, 100); }), -1103);
}

TEST_F(PciDeviceTest, ReadWithoutWaitAsksTheCountOrPollsBriefly) {
  struct Case {
    CardAnswer count;
    int64_t leastMilliseconds;
  };
  const Case cases[] = {{CardAnswer::Normal, 0}, {CardAnswer::Fail, 10}};
  for (const auto& c : cases) {
    auto device = OpenDevice();
    card.Answer(Kind::Count, c.count, EIO);
    std::array<char, 16> buffer;
    const auto start = steady_clock::now();
    EXPECT_EQ(device->Read(buffer.data(), buffer.size(), true, 0), 0u);
    EXPECT_GE(MillisecondsSince(start), c.leastMilliseconds);
    EXPECT_LT(MillisecondsSince(start), 1000);
    device->Close();
  }
}

TEST_F(PciDeviceTest, ReadAsksForNoMoreThanTheCallerTakes) {
  auto device = OpenDevice();
  card.Deliver("abcdefghij");
  std::array<char, 8> small;
  small.fill('#');
  ASSERT_EQ(device->Read(small.data(), 4, false, 100), 4u);
  EXPECT_EQ(std::string(small.data(), small.size()), "abcd####");
  EXPECT_EQ(card.Waiting(), 6u);  // the rest stayed on the card
  std::array<char, 406> buffer;
  ASSERT_EQ(device->Read(buffer.data(), buffer.size(), false, 100), 6u);
  EXPECT_EQ(std::string(buffer.data(), 6), "efghij");
}

TEST_F(PciDeviceTest, BytesThatCameWithTheCancelAreTheNextReadsAndNoReadStaysPending) {
  auto device = OpenDevice();
  card.Answer(Kind::Read, CardAnswer::Late);
  card.Deliver("abcdef");
  std::array<char, 406> buffer;
  const auto start = steady_clock::now();
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), buffer.size(), false, 50); }), -1100);
  EXPECT_GE(MillisecondsSince(start), 50);
  EXPECT_EQ(card.PendingNow(Kind::Read), 0u);
  EXPECT_EQ(device->BytesAvailable(), 6);

  // Handed out by the caller's length, with no new request to the card.
  const size_t before = card.Requests(Kind::Read);
  std::array<char, 8> small;
  small.fill('#');
  ASSERT_EQ(device->Read(small.data(), 4, false, 0), 4u);
  EXPECT_EQ(std::string(small.data(), small.size()), "abcd####");
  ASSERT_EQ(device->Read(buffer.data(), buffer.size(), false, 0), 2u);
  EXPECT_EQ(std::string(buffer.data(), 2), "ef");
  EXPECT_EQ(card.Requests(Kind::Read), before);
}

TEST_F(PciDeviceTest, WritesGoInChunksOf449WhetherTheCardTakesThemAtOnceOrLater) {
  int number = 1;
  for (const CardAnswer answer : {CardAnswer::Normal, CardAnswer::Pending}) {
    // A card each: the controller waits for the end of the bytes as one command.
    fakes::SimulatedCard& target = cards.Insert(++number);
    options->address = "RUREZIVU" + std::to_string(number);
    auto device = std::make_shared<PciDevice>();
    device->Open(options);
    target.Answer(Kind::Write, answer);
    const size_t before = target.Inputs(Kind::Write).size();
    std::vector<uint32_t> reports;
    device->SetCallback(
        [](uint32_t done, uint32_t total, void* user) {
          EXPECT_EQ(total, 1000u);
          static_cast<std::vector<uint32_t>*>(user)->push_back(done);
        },
        &reports);
    const std::string bytes(1000, 'x');
    device->Write(bytes.data(), bytes.size(), -1, true);

    const auto writes = target.Inputs(Kind::Write);
    std::vector<size_t> sizes;
    for (size_t i = before; i < writes.size(); ++i) sizes.push_back(writes[i].size());
    EXPECT_EQ(sizes, (std::vector<size_t>{449, 449, 102}));
    EXPECT_EQ(reports, (std::vector<uint32_t>{449, 898, 1000}));
    EXPECT_NE(target.Controller().ReceivedBytes(kCard).find(bytes), std::string::npos);
  }
}

// A request the card completes at once gives what one it completes later gives.
TEST_F(PciDeviceTest, RecordsInterruptsCountsAndBytesAlikeAtOnceOrLater) {
  const std::string record = fakes::ControllerCore::MakeRecord(300);
  for (const CardAnswer answer : {CardAnswer::Normal, CardAnswer::Pending}) {
    SCOPED_TRACE(static_cast<int>(answer));
    auto device = OpenDevice();
    auto buffer = std::make_shared<OrvDataRecord>();
    device->SetRecordBuffer(buffer);
    AnswerAll(answer);
    card.QueueRecord(record);
    card.QueueInterrupt(0xF0);
    card.SetCount(200);  // read unsigned: 200, not a negative byte

    EXPECT_EQ(device->BytesAvailable(), 200);
    EXPECT_EQ(device->Record(true, 50), 1);
    EXPECT_EQ(std::memcmp(buffer->bytes, record.data(), record.size()), 0);
    EXPECT_EQ(device->Interrupt(50), 0xF0);
    card.Deliver("xyz");
    std::array<char, 16> bytes;
    EXPECT_EQ(device->Read(bytes.data(), bytes.size(), false, 50), 3u);
    // The record and interrupt requests carry their timeout, 16-bit little-endian.
    EXPECT_EQ(card.Inputs(Kind::Interrupt).back(), std::string("\x32\x00", 2));
    EXPECT_EQ(card.Inputs(Kind::Record).back(), std::string("\x32\x00", 2));
    AnswerAll(CardAnswer::Normal);
    card.SetCount(-1);
    device->Close();
  }
}

TEST_F(PciDeviceTest, WithNothingQueuedZeroTimeoutReturnsAndAnyOtherTimesOut) {
  auto device = OpenDevice();
  EXPECT_EQ(CodeOf([&] { device->Record(true, 0); }), -1107);
  device->SetRecordBuffer(std::make_shared<OrvDataRecord>());
  EXPECT_EQ(device->Record(true, 0), 0);
  EXPECT_EQ(device->Interrupt(0), 0);
  EXPECT_EQ(CodeOf([&] { device->Record(true, 50); }), -1100);
  EXPECT_EQ(CodeOf([&] { device->Interrupt(50); }), -1100);
}

TEST_F(PciDeviceTest, RecordAndInterruptThatCameWithTheCancelAreTheNextCalls) {
  auto device = OpenDevice();
  device->SetRecordBuffer(std::make_shared<OrvDataRecord>());
  card.Answer(Kind::Record, CardAnswer::Late);
  card.Answer(Kind::Interrupt, CardAnswer::Late);
  card.QueueRecord("late record");
  card.QueueInterrupt(7);
  EXPECT_EQ(CodeOf([&] { device->Record(true, 0); }), 0);
  EXPECT_EQ(CodeOf([&] { device->Interrupt(0); }), 0);
  const size_t records = card.Requests(Kind::Record);
  EXPECT_EQ(device->Record(true, 0), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(device->recordBuffer->bytes), 11), "late record");
  EXPECT_EQ(device->Interrupt(0), 7);
  EXPECT_EQ(card.Requests(Kind::Record), records);
}

TEST_F(PciDeviceTest, QueriedRecordDropsTheCardsFourBytesAndKeepsOnlyWhatFits) {
  struct Case {
    size_t reply;   // bytes of the "QR" reply before its prompt
    size_t copied;  // record bytes that land in the buffer; 0: untouched
  };
  const Case cases[] = {{4, 0}, {68, 64}, {516, 512}, {517, 0}};
  auto device = OpenDevice();
  auto buffer = std::make_shared<OrvDataRecord>();
  device->SetRecordBuffer(buffer);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    const std::string reply = fakes::ControllerCore::MakeRecord(c.reply);
    card.Controller().SetRecord(reply);
    std::memset(buffer->bytes, 0xEE, sizeof buffer->bytes);
    EXPECT_EQ(device->Record(false, 0), 0);
    std::string expected(sizeof buffer->bytes, '\xEE');
    expected.replace(0, c.copied, reply.substr(4, c.copied));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer->bytes), sizeof buffer->bytes), expected);
  }
}

// Each request that fails, brings nothing or never completes ends the call by its bound,
// after a bounded number of requests, with nothing left pending on the card.
TEST_F(PciDeviceTest, FailingEmptyAndNeverCompletingRequestsEndByTheirBound) {
  struct Case {
    Kind kind;
    CardAnswer answer;
    int32_t code;
    const char* message;
    size_t leastRequests;
    size_t mostRequests;
    int64_t leastMilliseconds;
  };
  const Case cases[] = {
      {Kind::Read, CardAnswer::Fail, -1103, "5", 1, 1, 0},
      {Kind::Read, CardAnswer::Empty, -1100, "", 2, 60, 50},
      {Kind::Read, CardAnswer::Never, -1100, "", 1, 1, 50},
      {Kind::Write, CardAnswer::Fail, -1104, "5", 1, 1, 0},
      {Kind::Write, CardAnswer::Empty, -1100, "", 2, 60, 50},
      {Kind::Write, CardAnswer::Never, -1100, "", 1, 1, 50},
      {Kind::Record, CardAnswer::Fail, -1103, "5", 1, 1, 0},
      {Kind::Record, CardAnswer::Empty, -1100, "", 1, 1, 0},
      {Kind::Record, CardAnswer::Never, -1100, "", 1, 1, 1050},
      {Kind::Interrupt, CardAnswer::Fail, -1103, "", 1, 1, 0},
      {Kind::Interrupt, CardAnswer::Empty, -1100, "", 1, 1, 0},
      {Kind::Interrupt, CardAnswer::Never, -1100, "", 1, 1, 1050},
  };
  auto device = OpenDevice();
  auto record = std::make_shared<OrvDataRecord>();
  device->SetRecordBuffer(record);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << static_cast<int>(c.kind) << "/" << static_cast<int>(c.answer));
    card.Answer(c.kind, c.answer, EIO);
    const size_t before = card.Requests(c.kind);
    std::array<char, 406> buffer;
    std::string message;
    const auto start = steady_clock::now();
    const int32_t code = CodeOf(
        [&] {
          switch (c.kind) {
            case Kind::Read:
              device->Read(buffer.data(), buffer.size(), true, 50);
              break;
            case Kind::Write:
              device->Write("MG 1\r", 5, 50, false);
              break;
            case Kind::Record:
              device->Record(true, 50);
              break;
            default:
              device->Interrupt(50);
          }
        },
        &message);
    const int64_t elapsed = MillisecondsSince(start);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(message, c.message);
    const size_t requests = card.Requests(c.kind) - before;
    EXPECT_GE(requests, c.leastRequests);
    EXPECT_LE(requests, c.mostRequests);
    EXPECT_GE(elapsed, c.leastMilliseconds);
    EXPECT_LT(elapsed, c.leastMilliseconds + 1500);
    EXPECT_EQ(card.PendingNow(c.kind), 0u);
    card.Answer(c.kind, CardAnswer::Normal);
  }
  EXPECT_EQ(device->recordBuffer->bytes[0], 0);
  EXPECT_TRUE(card.Controller().CommandsOn(kCard).empty());  // no write got through
}

TEST_F(PciDeviceTest, CountThatFailsIsAskedNoMoreWhileOneThatBringsNothingIs) {
  struct Case {
    CardAnswer answer;
    bool askedAgain;
    int64_t leastMilliseconds;
  };
  const Case cases[] = {
      {CardAnswer::Fail, false, 0}, {CardAnswer::Empty, true, 0}, {CardAnswer::Never, false, 1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    auto device = std::make_shared<PciDevice>();
    device->Open(options);
    card.Answer(Kind::Count, c.answer, EIO);
    const size_t before = card.Requests(Kind::Count);
    const auto start = steady_clock::now();
    EXPECT_EQ(device->BytesAvailable(), -1);
    EXPECT_GE(MillisecondsSince(start), c.leastMilliseconds);
    EXPECT_EQ(device->BytesAvailable(), -1);
    EXPECT_EQ(card.Requests(Kind::Count) - before, c.askedAgain ? 2u : 1u);
    card.Answer(Kind::Count, CardAnswer::Normal);
    device->Close();
  }
}

TEST_F(PciDeviceTest, TwoCardsServeTwoDevices) {
  fakes::FakeIdentity other;
  other.identity = "VKTA240 Rev 1.0b";
  fakes::SimulatedCard& second = cards.Insert(2, other);
  auto first = OpenDevice();
  options = std::make_shared<OrvanOptions>(*options);
  options->address = "RUREZIVU2";
  auto device = std::make_shared<PciDevice>();
  device->Open(options);
  EXPECT_EQ(first->Command("\x12\x16", true, -1, true), "VKT4140 Rev 1.0b");
  EXPECT_EQ(device->Command("\x12\x16", true, -1, true), "VKTA240 Rev 1.0b");
  EXPECT_EQ(card.Controller().CommandsOn(kCard), std::vector<std::string>{"\x12\x16"});
  EXPECT_EQ(second.Controller().CommandsOn(kCard).back(), "\x12\x16");
}

TEST_F(PciDeviceTest, MissingOrHeldCardIsMinus1101WithTheErrorNumber) {
  auto holder = OpenDevice();
  struct Case {
    const char* address;
    const char* message;
  };
  cards.Insert(3);
  cards.SetInUse(3, true);
  const Case cases[] = {{"RUREZIVU9", "2"}, {"RUREZIVU1", "16"}, {"RUREZIVU3", "16"}};
  for (const auto& c : cases) {
    auto opened = std::make_shared<OrvanOptions>(*options);
    opened->address = c.address;
    auto device = std::make_shared<PciDevice>();
    std::string message;
    EXPECT_EQ(CodeOf([&] { device->Open(opened); }, &message), -1101) << c.address;
    EXPECT_EQ(message, c.message) << c.address;
    EXPECT_FALSE(device->IsOpen());
  }
  holder->Close();
  OpenDevice();  // free again once closed
}

TEST_F(PciDeviceTest, ListingNamesTheCardsUpToEightAsDirectAddresses) {
  for (int number : {3, 8, 9, 12}) cards.Insert(number);
  std::vector<std::string> list{"10.0.0.2 -d"};
  ListPciDevices(list);
  EXPECT_EQ(list, (std::vector<std::string>{"10.0.0.2 -d", "RUREZIVU1 -d", "RUREZIVU3 -d",
                                            "RUREZIVU8 -d"}));
}

}  // namespace
