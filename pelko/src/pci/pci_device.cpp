// The card device: its set-up after opening, reads and writes bounded by the step's deadline,
// records and interrupts bounded by their timeout and a grace, the count of waiting bytes,
// and the listing of the cards present.
#include "pci/pci_device.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "core/socket_channel.hpp"
#include "identify/description.hpp"
#include "platform/card_driver.hpp"

namespace orvan {

using platform::CardClock;
using platform::CardRequest;
using platform::CardRequestKind;
using platform::CardResult;

namespace {

// The driver's answer buffer of the interrupt, count and start-up record requests.
constexpr size_t kAnswerBuffer = 366;
constexpr size_t kRecordSize = sizeof(OrvDataRecord::bytes);
// How much longer than its own timeout a record or interrupt request may take, and how long a
// count request may take, before it is cancelled: the driver should have answered by then.
constexpr int32_t kGraceMilliseconds = 1000;
// The start-up drain of the record queue gives up after this many records.
constexpr int kDrainLimit = 1000;
// The highest card number the library lists.
constexpr int kListedCards = 8;

CardClock::time_point Deadline(int32_t milliseconds) {
  return CardClock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
}

// A driver that completes with nothing is asked again only after a pause, never in a spin.
void Pause() { WaitMilliseconds(1); }

std::string ErrorNumber(int error) { return std::to_string(error); }

// The driver takes request timeouts as 16-bit milliseconds.
uint16_t DriverTimeout(int32_t timeout) {
  return static_cast<uint16_t>(std::clamp<int32_t>(timeout, 0, UINT16_MAX));
}

}  // namespace

PciDevice::~PciDevice() {
  if (card) card->Close();
}

void PciDevice::Open(const std::shared_ptr<OrvanOptions>& opened) {
  if (open) Close();
  ForgetOwedReply();
  int error = 0;
  auto handle = platform::OpenCard(opened->address, error);
  if (!handle) throw OrvanError(-1101, ErrorNumber(error));
  card = std::move(handle);
  open = true;
  options = opened;
  description = std::make_shared<Description>();
  Initialize();
}

void PciDevice::Close() {
  if (!open) return;
  card->Close();
  card.reset();
  open = false;
  received.Clear();
  keptRecord.reset();
  keptInterrupt.reset();
  if (description) description->identified = false;
}

void PciDevice::Initialize() {
  OrvanDevice::Initialize();
  // Whatever the controller still had to say before this connection.
  ReadChunk(BytesAvailable() < 0 ? 100 : 0, false);
  if (!promptState) Command("CW,,0", false, -1, false);

  // Empty the card's record queue: records of an earlier connection are stale.
  for (int drained = 0; drained < kDrainLimit; ++drained) {
    uint8_t input[4] = {};
    std::array<uint8_t, kAnswerBuffer> answer;
    CardRequest request{CardRequestKind::Record, input, sizeof input, answer.data(), answer.size()};
    bool ended = false;
    const CardResult result = Complete(request, Deadline(kGraceMilliseconds), ended);
    if (result.state != CardResult::Done || result.count == 0 || ended) break;
  }

  if (promptState) return;
  Command("CW,,1", false, -1, false);
  if (promptState) return;
  try {
    Command("DU1", false, -1, false);
  } catch (const OrvanError&) {
    // A controller without the card's record channel still serves commands.
  }
}

CardResult PciDevice::Complete(CardRequest& request, CardClock::time_point deadline, bool& ended) {
  ended = false;
  if (!card) return CardResult::Failure(EBADF);
  CardResult result = card->Start(request);
  if (result.state == CardResult::Pending)
    result = platform::FinishRequest(*card, request, deadline, ended);
  // A driver never hands over more than the request had room for.
  const size_t room =
      request.kind == CardRequestKind::Write ? request.inputLength : request.outputLength;
  result.count = std::min(result.count, room);
  return result;
}

CardResult PciDevice::Timed(CardRequestKind kind, int32_t timeout, uint8_t* output, size_t room,
                            bool& ended) {
  const uint16_t milliseconds = DriverTimeout(timeout);
  const uint8_t input[2] = {static_cast<uint8_t>(milliseconds & 0xFF),
                            static_cast<uint8_t>(milliseconds >> 8)};
  CardRequest request{kind, input, sizeof input, output, room};
  return Complete(request, Deadline(milliseconds + kGraceMilliseconds), ended);
}

size_t PciDevice::Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) {
  if (length == 0) throw OrvanError(-1103, "user buffer has zero length");
  if (received.Remaining() > 0) return received.CopyOut(*this, buffer, length, separateUnsolicited);
  const int32_t wait = EffectiveTimeout(timeout);
  if (wait == 0) return 0;
  const auto deadline = Deadline(wait);
  while (CardClock::now() < deadline) {
    // No more than the caller takes, so a completed read fits its buffer whole.
    const size_t asked = static_cast<size_t>(std::min<uint64_t>(length, received.Capacity()));
    CardRequest request{CardRequestKind::Read, nullptr, 0, received.Target(), asked};
    bool ended = false;
    const CardResult result = Complete(request, deadline, ended);
    if (result.state == CardResult::Failed) {
      if (ended) break;
      throw OrvanError(-1103, ErrorNumber(result.error));
    }
    received.Fill(result.count);
    if (ended) break;  // what came with the cancel is the next call's
    if (result.count > 0) return received.CopyOut(*this, buffer, length, separateUnsolicited);
    Pause();
  }
  if (timeout != 0) throw OrvanError(-1100);
  return 0;
}

int32_t PciDevice::BytesAvailable() {
  const int32_t held = static_cast<int32_t>(received.Remaining());
  const int32_t unknown = held > 0 ? held : -1;
  if (!countUsable) return unknown;
  const uint8_t input[2] = {};
  std::array<uint8_t, kAnswerBuffer> answer;
  CardRequest request{CardRequestKind::Count, input, sizeof input, answer.data(), answer.size()};
  bool ended = false;
  const CardResult result = Complete(request, Deadline(kGraceMilliseconds), ended);
  if (result.state == CardResult::Failed) {
    // A count that fails, or does not answer in time, is not asked for again.
    countUsable = false;
    return unknown;
  }
  if (result.count == 0) return unknown;
  return held + answer[0];
}

void PciDevice::Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) {
  if (timeout <= 0) timeout = options->timeout;
  auto deadline = Deadline(timeout);
  uint64_t position = 0;
  while (position < length) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length - position, kWriteChunk));
    CardRequest request{CardRequestKind::Write, buffer + position, chunk, nullptr, 0};
    bool ended = false;
    const CardResult result = Complete(request, deadline, ended);
    if (result.state == CardResult::Failed && !ended)
      throw OrvanError(-1104, ErrorNumber(result.error));
    const size_t written = result.state == CardResult::Done ? result.count : 0;
    if (written == 0) {
      if (CardClock::now() >= deadline) throw OrvanError(-1100);
      Pause();
      continue;
    }
    position += written;
    deadline = Deadline(timeout);  // the step's time starts again with every progress
    if (progress && progressCallback) {
      progressCallback(static_cast<uint32_t>(position), static_cast<uint32_t>(length),
                       callbackUser);
    }
  }
}

int32_t PciDevice::Record(bool async, int32_t timeout) {
  if (!recordBuffer) throw OrvanError(-1107, "no user orvan::DataRecord available");
  if (!async) {
    if (timeout <= 0) timeout = options->timeout;
    // The card's reply carries 4 bytes before the record.
    const std::string reply = Command("QR", true, timeout, true);
    if (reply.size() >= 4 && reply.size() - 4 <= kRecordSize)
      std::memcpy(recordBuffer->bytes, reply.data() + 4, reply.size() - 4);
    return recordCounter;
  }
  if (timeout < 0) timeout = options->timeout;
  if (keptRecord) {
    std::memcpy(recordBuffer->bytes, keptRecord->data(), keptRecord->size());
    keptRecord.reset();
    return ++recordCounter;
  }
  std::array<uint8_t, kRecordSize> record;
  bool ended = false;
  const CardResult result =
      Timed(CardRequestKind::Record, timeout, record.data(), record.size(), ended);
  if (result.state == CardResult::Failed && !ended)
    throw OrvanError(-1103, ErrorNumber(result.error));
  // A completion with 0 bytes is no record.
  if (result.state == CardResult::Done && result.count > 0) {
    if (!ended) {
      std::memcpy(recordBuffer->bytes, record.data(), result.count);
      return ++recordCounter;
    }
    keptRecord.emplace(reinterpret_cast<const char*>(record.data()), result.count);
  }
  if (timeout != 0) throw OrvanError(-1100);
  return recordCounter;
}

uint8_t PciDevice::Interrupt(int32_t timeout) {
  if (timeout < 0) timeout = options->timeout;
  if (keptInterrupt) {
    const uint8_t status = *keptInterrupt;
    keptInterrupt.reset();
    return status;
  }
  std::array<uint8_t, kAnswerBuffer> answer;
  bool ended = false;
  const CardResult result =
      Timed(CardRequestKind::Interrupt, timeout, answer.data(), answer.size(), ended);
  if (result.state == CardResult::Failed && !ended) throw OrvanError(-1103);
  // A completion with 0 bytes is no interrupt.
  if (result.state == CardResult::Done && result.count > 0) {
    if (!ended) return answer[0];
    keptInterrupt = answer[0];
  }
  if (timeout != 0) throw OrvanError(-1100);
  return 0;
}

void ListPciDevices(std::vector<std::string>& list) {
  for (const auto& name : platform::ListCards(kListedCards)) list.push_back(name + " -d");
}

}  // namespace orvan
