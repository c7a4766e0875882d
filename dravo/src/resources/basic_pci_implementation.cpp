// The card's requests as the server sends them. Every wait has a bound: the two workers are
// shared by all cards, and one card that never answers must not stop the others.
#include "resources/basic_pci_implementation.hpp"

#include "platform/card_driver.hpp"

#include <boost/asio/error.hpp>

#include <algorithm>
#include <array>
#include <cerrno>

using platform::CardRequest;
using platform::CardRequestKind;
using platform::CardResult;

namespace {

boost::system::error_code SystemError(int number) {
  return {number, boost::system::system_category()};
}

void PutLittleEndian(uint32_t value, uint8_t* bytes) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool CarriesBytes(uint8_t status) { return status == 0x00 || status == 0xBA || status == 0xBB; }

}  // namespace

BasicPciImplementation::~BasicPciImplementation() { Close(); }

boost::system::error_code BasicPciImplementation::Open(const std::string& address) {
  int error = 0;
  auto opened = platform::OpenCard(address, error);
  if (!opened) return SystemError(error ? error : ENODEV);
  {
    std::lock_guard<std::mutex> guard(lock);
    card = opened;
    closed = false;
  }
  if (!Enter()) return boost::asio::error::operation_aborted;
  std::array<uint8_t, 4> value{};
  PutLittleEndian(kConfigureValue, value.data());
  CardRequest configure{CardRequestKind::Configure, value.data(), value.size(), nullptr, 0};
  bool ended = false;
  const CardResult result = Run(configure, Clock::now() + kWriteBound, ended);
  boost::system::error_code failure;
  if (result.state != CardResult::Done) failure = ended ? SystemError(ETIMEDOUT) : Failure(result);
  Leave();
  if (failure) Close();
  return failure;
}

void BasicPciImplementation::Close() {
  std::shared_ptr<platform::CardHandle> last;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (closed || !card) return;
    closed = true;
    // Under the lock: a worker starts no request between this and the close.
    card->CancelAll();
    if (inside == 0) last = std::move(card);
  }
  if (last) last->Close();
}

bool BasicPciImplementation::IsOpen() {
  std::lock_guard<std::mutex> guard(lock);
  return card && !closed;
}

bool BasicPciImplementation::Enter() {
  std::lock_guard<std::mutex> guard(lock);
  if (closed || !card) return false;
  ++inside;
  return true;
}

void BasicPciImplementation::Leave() {
  std::shared_ptr<platform::CardHandle> last;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (--inside == 0 && closed) last = std::move(card);
  }
  // The close waited for this worker: the card goes now, on this thread.
  if (last) last->Close();
}

CardResult BasicPciImplementation::Start(CardRequest& request) {
  std::lock_guard<std::mutex> guard(lock);
  if (closed) return CardResult::Failure(ECANCELED);
  return card->Start(request);
}

CardResult BasicPciImplementation::Run(CardRequest& request, Clock::time_point deadline,
                                       bool& ended) {
  ended = false;
  const CardResult result = Start(request);
  if (result.state != CardResult::Pending) return result;
  // Inside (Enter): the card stays while this waits.
  return platform::FinishRequest(*card, request, deadline, ended);
}

boost::system::error_code BasicPciImplementation::Failure(const CardResult& result) {
  std::lock_guard<std::mutex> guard(lock);
  if (closed) return boost::asio::error::operation_aborted;
  return SystemError(result.error ? result.error : EIO);
}

boost::system::error_code BasicPciImplementation::Read(uint8_t* buffer, size_t length,
                                                       uint8_t& status, size_t& count) {
  // Nothing of the read before reaches this one's completion.
  status = 0;
  count = 0;
  if (!Enter()) return boost::asio::error::operation_aborted;
  const auto started = Clock::now();
  bool fresh = false, ended = false;

  std::array<uint8_t, 4> argument{};
  PutLittleEndian(waitArgument, argument.data());
  std::array<uint8_t, 8> answer{};
  CardRequest wait{CardRequestKind::StatusWait, argument.data(), argument.size(), answer.data(),
                   answer.size()};
  CardResult result = Start(wait);
  boost::system::error_code error;
  if (result.state == CardResult::Failed) {
    error = Failure(result);  // the driver refused the wait outright
  } else {
    if (result.state == CardResult::Pending) {
      result = platform::FinishRequest(*card, wait, started + kStatusWaitBound, ended);
    }
    // An answer at once counts as much as one that came later.
    if (result.state == CardResult::Done && result.count > 0) {
      status = answer[0];
      fresh = true;
    } else if (!IsOpen()) {
      error = boost::asio::error::operation_aborted;
    }
  }

  if (!error && !fresh) {
    // No status: whether bytes wait anyway.
    std::array<uint8_t, 4> zero{};
    std::array<uint8_t, 8> waiting{};
    CardRequest ask{CardRequestKind::Count, zero.data(), zero.size(), waiting.data(),
                    waiting.size()};
    result = Run(ask, Clock::now() + kRequestBound, ended);
    if (result.state == CardResult::Done) {
      if (result.count > 0 && waiting[0] != 0) {
        status = 0;
        fresh = true;
      }
    } else if (!(ended && result.error == ECANCELED) || !IsOpen()) {
      error = Failure(result);
    }
  }
  if (fresh) waitArgument = kWaitArgument;

  if (!error && fresh) error = Fetch(buffer, length, status, count);
  Leave();
  const bool interrupt = fresh && !CarriesBytes(status) && status != 0xBC;
  nextReadAt = (!error && count == 0 && !interrupt) ? started + kIdlePause : Clock::time_point{};
  return error;
}

boost::system::error_code BasicPciImplementation::Fetch(uint8_t* buffer, size_t length,
                                                        uint8_t status, size_t& count) {
  std::array<uint8_t, 2> zero{};
  CardRequest request{CardRequestKind::Read, nullptr, 0, buffer, std::min(length, kChunk)};
  if (status == 0xBC) {
    request.kind = CardRequestKind::Record;
    request.input = zero.data();
    request.inputLength = zero.size();
  } else if (!CarriesBytes(status)) {
    return {};  // an interrupt: the status byte is all of it
  }
  bool ended = false;
  const CardResult result = Run(request, Clock::now() + kRequestBound, ended);
  if (result.state == CardResult::Done) {
    count = std::min(result.count, request.outputLength);
    return {};
  }
  // What was promised did not come in time: nothing this turn.
  if (ended && result.error == ECANCELED && IsOpen()) return {};
  return Failure(result);
}

boost::system::error_code BasicPciImplementation::Write(const uint8_t* bytes, size_t length,
                                                        size_t& written) {
  written = 0;
  if (!Enter()) return boost::asio::error::operation_aborted;
  const auto deadline = Clock::now() + kWriteBound;
  boost::system::error_code error;
  while (!error && written < length) {
    const size_t chunk = std::min(kChunk, length - written);
    CardRequest request{CardRequestKind::Write, bytes + written, chunk, nullptr, 0};
    bool ended = false;
    const CardResult result = Run(request, deadline, ended);
    if (result.state != CardResult::Done) {
      error = ended && IsOpen() ? SystemError(ETIMEDOUT) : Failure(result);
    } else if (result.count == 0) {
      error = SystemError(EIO);  // a card that takes nothing would be asked for ever
    } else {
      written += std::min(result.count, chunk);
      if (written < length && Clock::now() >= deadline) error = SystemError(ETIMEDOUT);
    }
  }
  Leave();
  return error;
}
