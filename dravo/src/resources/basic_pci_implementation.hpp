// One open controller card as the PCI workers drive it: the blocking read (status wait, then
// the bytes, the record or the interrupt it names) and the chunked write, each bounded in time,
// and a close from the server thread that ends whatever a worker is waiting for.
#pragma once

#include "platform/card.hpp"

#include <boost/system/error_code.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class BasicPciImplementation {
public:
  using Clock = std::chrono::steady_clock;
  // One card's status wait holds the shared read worker this long at most, so the other cards
  // get their turn.
  static constexpr std::chrono::milliseconds kStatusWaitBound{20};
  // The bytes, record or count that a status answer promises arrive within this.
  static constexpr std::chrono::milliseconds kRequestBound{20};
  // A read that found nothing is followed by the next one no sooner than this, so a driver
  // that answers every request at once with nothing never makes the worker spin.
  static constexpr std::chrono::milliseconds kIdlePause{10};
  // A write (and the configure request) holds the shared write worker this long at most.
  static constexpr std::chrono::milliseconds kWriteBound{1000};
  static constexpr size_t kChunk = 512;
  static constexpr uint32_t kConfigureValue = 15;
  static constexpr uint32_t kWaitArgument = 2;

  BasicPciImplementation() = default;
  ~BasicPciImplementation();
  BasicPciImplementation(const BasicPciImplementation&) = delete;
  BasicPciImplementation& operator=(const BasicPciImplementation&) = delete;

  // Opens the card by name and configures it; on failure the card is let go again.
  boost::system::error_code Open(const std::string& address);
  // Ends every request pending on the card, from any thread, and lets the card go once no
  // worker is inside a call on it. Later reads and writes end with operation_aborted.
  void Close();
  bool IsOpen();

  // On the read worker. `status` is 0 unless a fresh status answer came; `count` bytes of the
  // buffer hold the controller's bytes (status 0x00, 0xBA, 0xBB) or a record (0xBC).
  boost::system::error_code Read(uint8_t* buffer, size_t length, uint8_t& status, size_t& count);
  // On the write worker: the bytes in chunks of at most kChunk; `written` says how many went.
  boost::system::error_code Write(const uint8_t* bytes, size_t length, size_t& written);
  // When the next read may start; after a read that found nothing, kIdlePause after its end.
  Clock::time_point NextReadAt() const { return nextReadAt; }

private:
  // A worker's stay inside calls on the card; false once closed.
  bool Enter();
  void Leave();
  // Starts the request unless closed, under the lock that Close takes, so no request starts
  // after the close has cancelled what pends.
  platform::CardResult Start(platform::CardRequest& request);
  // Starts it and, when it pends, waits until the deadline (then cancels it). `ended` tells
  // that the deadline ended it.
  platform::CardResult Run(platform::CardRequest& request, Clock::time_point deadline, bool& ended);
  boost::system::error_code Failure(const platform::CardResult& result);
  // The read's bytes by the status byte.
  boost::system::error_code Fetch(uint8_t* buffer, size_t length, uint8_t status, size_t& count);

  std::mutex lock;
  std::shared_ptr<platform::CardHandle> card;  // under the lock, as are the two below
  bool closed = false;
  int inside = 0;
  // The read worker's own.
  uint32_t waitArgument = kWaitArgument;
  Clock::time_point nextReadAt{};
};
