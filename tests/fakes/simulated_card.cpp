// The simulated cards: one lock per card over its stream, queues, scripts and pending
// requests; the controller is fed outside that lock, since its replies come back through it.
#include "fakes/simulated_card.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orvan::fakes {

using platform::CardRequest;
using platform::CardRequestKind;
using platform::CardResult;
using Clock = std::chrono::steady_clock;

namespace {

size_t IndexOf(CardRequestKind kind) { return static_cast<size_t>(kind); }

bool Timed(CardRequestKind kind) {
  return kind == CardRequestKind::Record || kind == CardRequestKind::Interrupt;
}

// A record or interrupt request's input begins with its timeout, 16-bit little-endian.
Clock::time_point ExpiryOf(const CardRequest& request) {
  if (!Timed(request.kind)) return Clock::time_point::max();
  const auto* input = static_cast<const uint8_t*>(request.input);
  const unsigned milliseconds = request.inputLength >= 2 ? input[0] | (input[1] << 8) : 0;
  return Clock::now() + std::chrono::milliseconds(milliseconds);
}

bool Waits(CardAnswer answer) {
  return answer == CardAnswer::Normal || answer == CardAnswer::Pending;
}

}  // namespace

// The card as the controller core's peer: what the controller sends lands in the read stream.
class SimulatedCard::Peer : public ControllerPeer {
public:
  explicit Peer(SimulatedCard& card) : ControllerPeer({false, 0}, 0, true), card(card) {}
  void Send(const std::string& bytes, bool) override { card.Deliver(bytes); }

private:
  SimulatedCard& card;
};

// One open of a card. Its calls in progress are counted under the card's lock, so Close can
// wait for the last of them.
class SimulatedCardHandle : public platform::CardHandle {
public:
  explicit SimulatedCardHandle(std::shared_ptr<SimulatedCard> opened) : card(std::move(opened)) {}
  ~SimulatedCardHandle() override { Close(); }

  CardResult Start(CardRequest& request) override {
    Call call(*this);
    return call ? card->Start(request) : CardResult::Failure(EBADF);
  }
  CardResult Wait(CardRequest& request, Clock::time_point deadline) override {
    Call call(*this);
    return call ? card->Wait(request, deadline) : CardResult::Failure(EBADF);
  }
  CardResult Cancel(CardRequest& request) override { return card->Cancel(request); }
  void CancelAll() override { card->CancelAll(); }

  void Close() override {
    std::unique_lock<std::mutex> guard(card->lock);
    if (closed) return;
    closed = true;
    for (auto& request : card->pending) request.second.cancelled = true;
    card->changed.notify_all();
    card->changed.wait(guard, [this] { return inside == 0; });
    card->pending.clear();
    card->held = false;
  }

private:
  class Call {
  public:
    explicit Call(SimulatedCardHandle& handle) : handle(handle) {
      std::lock_guard<std::mutex> guard(handle.card->lock);
      entered = !handle.closed;
      if (entered) ++handle.inside;
    }
    ~Call() {
      if (!entered) return;
      std::lock_guard<std::mutex> guard(handle.card->lock);
      --handle.inside;
      handle.card->changed.notify_all();
    }
    explicit operator bool() const { return entered; }

  private:
    SimulatedCardHandle& handle;
    bool entered = false;
  };

  std::shared_ptr<SimulatedCard> card;
  bool closed = false;  // under the card's lock, as is `inside`
  size_t inside = 0;
};

SimulatedCard::SimulatedCard(FakeIdentity identity)
    : core(std::move(identity)), peer(std::make_shared<Peer>(*this)) {
  core.Attach(peer);
}

void SimulatedCard::Answer(CardRequestKind kind, CardAnswer answer, int error) {
  std::lock_guard<std::mutex> guard(lock);
  answers[IndexOf(kind)] = answer;
  errors[IndexOf(kind)] = error;
}

void SimulatedCard::QueueRecord(const std::string& record) {
  std::lock_guard<std::mutex> guard(lock);
  records.push_back(record);
  changed.notify_all();
}

void SimulatedCard::QueueInterrupt(uint8_t status) {
  std::lock_guard<std::mutex> guard(lock);
  interrupts.push_back(status);
  changed.notify_all();
}

void SimulatedCard::SetCount(int reported) {
  std::lock_guard<std::mutex> guard(lock);
  count = reported;
}

void SimulatedCard::Deliver(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(lock);
  stream += bytes;
  changed.notify_all();
}

size_t SimulatedCard::Requests(CardRequestKind kind) {
  std::lock_guard<std::mutex> guard(lock);
  return requests[IndexOf(kind)];
}

size_t SimulatedCard::PendingNow(CardRequestKind kind) {
  std::lock_guard<std::mutex> guard(lock);
  return std::count_if(pending.begin(), pending.end(),
                       [kind](const auto& request) { return request.first->kind == kind; });
}

std::vector<std::string> SimulatedCard::Inputs(CardRequestKind kind) {
  std::lock_guard<std::mutex> guard(lock);
  return inputs[IndexOf(kind)];
}

size_t SimulatedCard::Waiting() {
  std::lock_guard<std::mutex> guard(lock);
  return stream.size();
}

bool SimulatedCard::Held() {
  std::lock_guard<std::mutex> guard(lock);
  return held;
}

bool SimulatedCard::TryComplete(CardRequest& request, const Pending& state, CardResult& result,
                                std::string& toController) {
  auto* output = static_cast<uint8_t*>(request.output);
  const auto take = [&](const std::string& bytes) {
    const size_t taken = std::min(bytes.size(), request.outputLength);
    if (taken > 0) std::memcpy(output, bytes.data(), taken);
    result = CardResult::Completed(taken);
  };
  const bool expired = Clock::now() >= state.expiry;
  switch (request.kind) {
    case CardRequestKind::Read:
      if (stream.empty()) return false;
      take(stream);
      stream.erase(0, result.count);
      return true;
    case CardRequestKind::Write:
      if (request.inputLength > 0)
        toController.assign(static_cast<const char*>(request.input), request.inputLength);
      result = CardResult::Completed(request.inputLength);
      return true;
    case CardRequestKind::Record:
      if (records.empty()) {
        result = CardResult::Completed(0);
        return expired;
      }
      take(records.front());
      records.pop_front();
      return true;
    case CardRequestKind::Interrupt:
      if (interrupts.empty() || request.outputLength == 0) {
        result = CardResult::Completed(0);
        return expired;
      }
      take(std::string(1, static_cast<char>(interrupts.front())));
      interrupts.pop_front();
      return true;
    case CardRequestKind::Count: {
      const size_t waiting = count < 0 ? std::min<size_t>(stream.size(), 255) : count;
      take(std::string(1, static_cast<char>(waiting)));
      return true;
    }
    case CardRequestKind::StatusWait: {
      std::string status(8, '\0');
      if (!records.empty()) {
        status[0] = static_cast<char>(0xBC);
      } else if (!interrupts.empty()) {
        status[0] = static_cast<char>(interrupts.front());
        interrupts.pop_front();
      } else if (stream.empty()) {
        return false;
      }
      take(status);
      return true;
    }
    case CardRequestKind::Configure:
      result = CardResult::Completed(0);
      return true;
  }
  return false;
}

void SimulatedCard::Feed(const std::string& bytes) {
  if (!bytes.empty()) core.Input(peer, bytes);
}

CardResult SimulatedCard::Start(CardRequest& request) {
  CardResult result;
  std::string toController;
  {
    std::lock_guard<std::mutex> guard(lock);
    const size_t kind = IndexOf(request.kind);
    ++requests[kind];
    inputs[kind].push_back(
        request.input ? std::string(static_cast<const char*>(request.input), request.inputLength)
                      : std::string());
    const Pending state{answers[kind], ExpiryOf(request)};
    switch (state.answer) {
      case CardAnswer::Fail:
        return CardResult::Failure(errors[kind]);
      case CardAnswer::Empty:
        return CardResult::Completed(0);
      case CardAnswer::Normal:
        if (TryComplete(request, state, result, toController)) break;
        [[fallthrough]];
      default:
        pending[&request] = state;
        return CardResult::Waiting();
    }
  }
  Feed(toController);
  return result;
}

CardResult SimulatedCard::Wait(CardRequest& request, Clock::time_point deadline) {
  CardResult result;
  std::string toController;
  {
    std::unique_lock<std::mutex> guard(lock);
    const auto found = pending.find(&request);
    if (found == pending.end()) return CardResult::Failure(EINVAL);
    const Pending& state = found->second;
    for (;;) {
      if (state.cancelled) {
        pending.erase(found);
        return CardResult::Failure(ECANCELED);
      }
      if (Waits(state.answer) && TryComplete(request, state, result, toController)) {
        pending.erase(found);
        break;
      }
      if (Clock::now() >= deadline) return CardResult::Waiting();
      const auto until = Waits(state.answer) ? std::min(deadline, state.expiry) : deadline;
      if (until == Clock::time_point::max()) {
        changed.wait(guard);
      } else {
        changed.wait_until(guard, until);
      }
    }
  }
  Feed(toController);
  return result;
}

CardResult SimulatedCard::Cancel(CardRequest& request) {
  CardResult result = CardResult::Failure(ECANCELED);
  std::string toController;
  {
    std::lock_guard<std::mutex> guard(lock);
    const auto found = pending.find(&request);
    if (found == pending.end()) return result;
    // What is there as the cancel takes hold completes the request instead.
    if (found->second.answer != CardAnswer::Never &&
        !TryComplete(request, found->second, result, toController)) {
      result = CardResult::Failure(ECANCELED);
    }
    pending.erase(found);
  }
  Feed(toController);
  return result;
}

void SimulatedCard::CancelAll() {
  std::lock_guard<std::mutex> guard(lock);
  for (auto& request : pending) request.second.cancelled = true;
  changed.notify_all();
}

class SimulatedCards::Driver : public platform::CardDriver {
public:
  std::shared_ptr<platform::CardHandle> Open(const std::string& name, int& error) override {
    std::shared_ptr<SimulatedCard> card;
    {
      std::lock_guard<std::mutex> guard(lock);
      const auto found = cards.find(platform::CardNumber(name));
      if (found != cards.end()) card = found->second;
    }
    if (!card) {
      error = ENOENT;
      return nullptr;
    }
    {
      std::lock_guard<std::mutex> guard(card->lock);
      if (card->inUse || card->held) {
        error = EBUSY;
        return nullptr;
      }
      card->held = true;
    }
    return std::make_shared<SimulatedCardHandle>(card);
  }

  std::vector<std::string> List(int highest) override {
    std::vector<std::string> names;
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& card : cards) {
      if (card.first >= 1 && card.first <= highest)
        names.push_back(platform::kCardPrefix + std::to_string(card.first));
    }
    return names;
  }

  std::mutex lock;
  std::map<int, std::shared_ptr<SimulatedCard>> cards;
};

SimulatedCards::SimulatedCards()
    : driver(std::make_shared<Driver>()), previous(platform::ReplaceCardDriver(driver)) {}

SimulatedCards::~SimulatedCards() { platform::ReplaceCardDriver(previous); }

SimulatedCard& SimulatedCards::Insert(int number, FakeIdentity identity) {
  auto card = std::make_shared<SimulatedCard>(std::move(identity));
  std::lock_guard<std::mutex> guard(driver->lock);
  driver->cards[number] = card;
  return *card;
}

void SimulatedCards::SetInUse(int number, bool inUse) {
  std::lock_guard<std::mutex> guard(driver->lock);
  const auto found = driver->cards.find(number);
  if (found == driver->cards.end()) return;
  std::lock_guard<std::mutex> cardGuard(found->second->lock);
  found->second->inUse = inUse;
}

}  // namespace orvan::fakes
