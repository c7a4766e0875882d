// An in-memory controller for tests: reads hand out the chunks a test queued, writes are
// recorded, and any read, write, open or close can be made to fail on demand.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/orvan_device.hpp"

namespace orvan::fakes {

class ScriptedDevice : public OrvanDevice, public std::enable_shared_from_this<ScriptedDevice> {
public:
  // One step of the read script.
  struct Step {
    std::string bytes;  // handed out by as many reads as it takes
    int32_t error = 0;  // non-zero: this read throws OrvanError(error)
  };

  // Queues bytes for later reads; one call is one chunk, never merged with the next.
  ScriptedDevice& Reply(std::string bytes);
  // Queues a read that fails with the code (-1100 stands for a timeout).
  ScriptedDevice& Fail(int32_t code);
  // Queues a read that returns 0 bytes (as a UDP read that took a record does).
  ScriptedDevice& Nothing();

  void Open(const std::shared_ptr<OrvanOptions>& opened) override;
  bool IsOpen() override { return open; }
  void Close() override;
  size_t Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) override;
  int32_t BytesAvailable() override;
  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override;
  int32_t Record(bool async, int32_t timeout) override;
  uint8_t Interrupt(int32_t timeout) override;
  int32_t BusType() override { return kBusTcp; }
  void SetOption(int32_t option, int32_t value) override;

  std::deque<Step> script;
  // Once the script is empty every read returns this, if set (a controller that never stops).
  std::string trickle;
  // Each read hands out at most this many bytes (short reads).
  size_t maxRead = kReadBlock;
  // When set, BytesAvailable answers this instead of the bytes scripted.
  std::optional<int32_t> bytesAvailable;

  // The Nth read or write (1-based, 0 = never) fails with the code.
  uint32_t failRead = 0;
  int32_t failReadCode = -1103;
  uint32_t failWrite = 0;
  int32_t failWriteCode = -1104;
  int32_t failOpen = 0;   // non-zero: Open throws it
  int32_t failClose = 0;  // non-zero: Close throws it

  // Records: each Record call takes one, like a UDP channel; async calls count them.
  std::deque<std::string> records;
  int32_t recordCounter = 0;
  std::deque<uint8_t> interrupts;

  bool open = false;
  uint32_t reads = 0;  // read attempts
  uint32_t availableCalls = 0;
  uint32_t writeAttempts = 0;
  uint32_t closes = 0;
  std::vector<std::string> writes;                      // what the successful writes sent
  std::vector<std::pair<int32_t, int32_t>> setOptions;  // SetOption calls in order
  std::vector<int32_t> readTimeouts;                    // timeout argument of each read
};

}  // namespace orvan::fakes
