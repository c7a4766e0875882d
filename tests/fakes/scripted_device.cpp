// The scripted device's transport: everything happens at once, timeouts included.
#include "fakes/scripted_device.hpp"

#include <algorithm>
#include <cstring>

#include "core/orvan_error.hpp"
#include "identify/description.hpp"

namespace orvan::fakes {

ScriptedDevice& ScriptedDevice::Reply(std::string bytes) {
  script.push_back({std::move(bytes), 0});
  return *this;
}

ScriptedDevice& ScriptedDevice::Fail(int32_t code) {
  script.push_back({{}, code});
  return *this;
}

ScriptedDevice& ScriptedDevice::Nothing() {
  script.push_back({});
  return *this;
}

void ScriptedDevice::Open(const std::shared_ptr<OrvanOptions>& opened) {
  if (failOpen) throw OrvanError(failOpen, "scripted open failure");
  options = opened;
  description = std::make_shared<Description>();
  open = true;
}

void ScriptedDevice::Close() {
  ++closes;
  if (failClose) throw OrvanError(failClose, "scripted close failure");
  open = false;
  if (description) description->identified = false;
}

size_t ScriptedDevice::Read(char* buffer, uint64_t length, bool separateUnsolicited,
                            int32_t timeout) {
  ++reads;
  readTimeouts.push_back(timeout);
  if (length == 0) throw OrvanError(-1103, "user buffer has zero length");
  if (failRead == reads) throw OrvanError(failReadCode, "scripted read failure");
  if (script.empty()) {
    if (!trickle.empty()) {
      script.push_back({trickle, 0});
    } else {
      // Nothing will come: a read allowed to wait times out.
      if (EffectiveTimeout(timeout) == 0) return 0;
      throw OrvanError(-1100);
    }
  }
  Step& step = script.front();
  if (step.error) {
    const int32_t code = step.error;
    script.pop_front();
    throw OrvanError(code);
  }
  const size_t taken = std::min<size_t>({step.bytes.size(), length, maxRead});
  size_t placed = 0;
  for (size_t i = 0; i < taken; ++i) {
    const uint8_t byte = static_cast<uint8_t>(step.bytes[i]);
    if (separateUnsolicited && (byte & 0x80))
      QueueUnsolicited(byte);
    else
      buffer[placed++] = static_cast<char>(byte);
  }
  step.bytes.erase(0, taken);
  if (step.bytes.empty()) script.pop_front();
  return placed;
}

int32_t ScriptedDevice::BytesAvailable() {
  ++availableCalls;
  if (bytesAvailable) return *bytesAvailable;
  if (script.empty()) return trickle.empty() ? 0 : static_cast<int32_t>(trickle.size());
  return static_cast<int32_t>(std::min(script.front().bytes.size(), maxRead));
}

void ScriptedDevice::Write(const char* buffer, uint64_t length, int32_t, bool) {
  ++writeAttempts;
  if (failWrite == writeAttempts) throw OrvanError(failWriteCode, "scripted write failure");
  writes.emplace_back(buffer, length);
}

int32_t ScriptedDevice::Record(bool async, int32_t timeout) {
  if (!recordBuffer) throw OrvanError(-1107, "no user orvan::DataRecord available");
  if (records.empty()) {
    if (async && timeout == 0) return recordCounter;
    throw OrvanError(-1100);
  }
  const std::string record = records.front();
  records.pop_front();
  std::memset(recordBuffer.get(), 0, sizeof(OrvDataRecord));
  std::memcpy(recordBuffer.get(), record.data(), std::min(record.size(), sizeof(OrvDataRecord)));
  // As on UDP: a synchronous read fetches the record but leaves the counter alone.
  if (async) ++recordCounter;
  return recordCounter;
}

uint8_t ScriptedDevice::Interrupt(int32_t timeout) {
  if (interrupts.empty()) {
    if (timeout == 0) return 0;
    throw OrvanError(-1100);
  }
  const uint8_t status = interrupts.front();
  interrupts.pop_front();
  return status;
}

void ScriptedDevice::SetOption(int32_t option, int32_t value) {
  setOptions.emplace_back(option, value);
}

}  // namespace orvan::fakes
