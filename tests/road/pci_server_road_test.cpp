// Card addresses through the C interface and the real server in this process: the server opens
// the simulated cards, shares them, and passes commands, records and interrupts to the library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fakes/simulated_card.hpp"
#include "pelko.h"
#include "support/test_support.hpp"

namespace {

using namespace orvan;

TEST(PciServerRoad, TwoCardsThroughTheServer) {
  WriteCertificate(UseFreshDataFolder(), "card road");
  fakes::SimulatedCards cards;
  fakes::SimulatedCard& one = cards.Insert(1);
  fakes::SimulatedCard& two = cards.Insert(2);
  RunningServer running;

  OrvCon* first = nullptr;
  OrvCon* second = nullptr;
  ASSERT_EQ(OrvOpen("RUREZIVU1 -t 2000 --subscribe DR --subscribe EI", &first), 0);
  ASSERT_EQ(OrvOpen("RUREZIVU2 -t 2000", &second), 0);
  EXPECT_TRUE(one.Held());
  EXPECT_TRUE(two.Held());

  char reply[64];
  uint32_t length = 0;
  ASSERT_EQ(OrvCommand(first, "MG \"one\"", reply, sizeof reply, &length), 0);
  EXPECT_STREQ(reply, "one\r\n:");
  ASSERT_EQ(OrvCommand(second, "MG \"two\"", reply, sizeof reply, &length), 0);
  EXPECT_STREQ(reply, "two\r\n:");

  const std::string queued = fakes::ControllerCore::MakeRecord(200);
  one.QueueRecord(queued);
  OrvDataRecord record{};
  ASSERT_EQ(OrvRecord(first, &record, 1), 0);
  EXPECT_EQ(std::memcmp(record.bytes, queued.data(), queued.size()), 0);

  one.QueueInterrupt(0x22);
  uint8_t status = 0;
  ASSERT_EQ(OrvInterrupt(first, &status), 0);
  EXPECT_EQ(status, 0x22);

  EXPECT_EQ(OrvClose(first), 0);
  EXPECT_EQ(OrvClose(second), 0);
}

}  // namespace
