// A controller card on the host's bus, reached through its driver: commands and replies by the
// card's reads and writes, data records and interrupt bytes by its own requests. Every request
// ends by a bound of its own, and what a cancelled request brought waits for the next call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/orvan_device.hpp"
#include "core/received_block.hpp"
#include "platform/card.hpp"

namespace orvan {

class PciDevice : public OrvanDevice {
public:
  PciDevice() = default;
  ~PciDevice() override;

  void Open(const std::shared_ptr<OrvanOptions>& opened) override;
  bool IsOpen() override { return open; }
  void Close() override;
  void Initialize() override;
  size_t Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) override;
  int32_t BytesAvailable() override;
  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override;
  int32_t Record(bool async, int32_t timeout) override;
  uint8_t Interrupt(int32_t timeout) override;
  int32_t BusType() override { return kBusPci; }

private:
  // Starts the request and waits for it until the deadline; cancelled then. `ended` tells that
  // the deadline ended it.
  platform::CardResult Complete(platform::CardRequest& request,
                                platform::CardClock::time_point deadline, bool& ended);
  // A record or interrupt request with its timeout, bounded by that timeout and a grace.
  platform::CardResult Timed(platform::CardRequestKind kind, int32_t timeout, uint8_t* output,
                             size_t room, bool& ended);

  std::shared_ptr<platform::CardHandle> card;
  bool open = false;
  bool countUsable = true;
  int32_t recordCounter = 0;
  // Bytes, a record or an interrupt that came with a cancel: the next call's.
  ReceivedBlock received;
  std::optional<std::string> keptRecord;
  std::optional<uint8_t> keptInterrupt;
};

// The cards present, as direct addresses: "RUREZIVUn -d" for n = 1 to 8, increasing.
void ListPciDevices(std::vector<std::string>& list);

}  // namespace orvan
