// The C interface over a simulated card in this process: a card address opens the card device,
// whose commands, records and interrupts come from the card; closing lets the card go.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fakes/simulated_card.hpp"
#include "pelko.h"

namespace {

using namespace orvan;

TEST(PciRoad, CardAddressReachesTheCardAndClosingLetsItGo) {
  fakes::SimulatedCards cards;
  fakes::SimulatedCard& card = cards.Insert(1);
  OrvCon* handle = nullptr;
  EXPECT_EQ(OrvOpen("RUREZIVU2 -d", &handle), -1101);
  ASSERT_EQ(OrvOpen("RUREZIVU1 -d -t 500", &handle), 0);
  EXPECT_TRUE(card.Held());

  char reply[64];
  uint32_t length = 0;
  ASSERT_EQ(OrvCommand(handle, "MG \"card\"", reply, sizeof reply, &length), 0);
  EXPECT_STREQ(reply, "card\r\n:");

  const std::string queued = fakes::ControllerCore::MakeRecord(100);
  card.QueueRecord(queued);
  OrvDataRecord record{};
  ASSERT_EQ(OrvRecord(handle, &record, 1), 0);
  EXPECT_EQ(std::memcmp(record.bytes, queued.data(), queued.size()), 0);

  card.QueueInterrupt(0x22);
  uint8_t status = 0;
  ASSERT_EQ(OrvInterrupt(handle, &status), 0);
  EXPECT_EQ(status, 0x22);

  EXPECT_EQ(OrvClose(handle), 0);
  EXPECT_FALSE(card.Held());
}

}  // namespace
