// Controller cards in memory, put in place of the system's card nodes for a test's lifetime.
// A card's byte stream goes to a fake controller core; its record queue, interrupt bytes and
// count are the test's, and each kind of request can be told to complete at once, pend, bring
// nothing, fail, never complete, or complete only as it is cancelled. It counts every request.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/controller_core.hpp"
#include "platform/card_driver.hpp"

namespace orvan::fakes {

// How a card answers one kind of request.
enum class CardAnswer {
  Normal,   // at once when it can, else it pends until it can; a record or interrupt request
            // that finds nothing ends after its own timeout with 0 bytes
  Pending,  // always pends first, then as Normal
  Empty,    // completes at once with 0 bytes
  Fail,     // fails at once with the given error number
  Never,    // pends and never completes
  Late,     // pends, and completes with what there is only as it is cancelled
};

class SimulatedCard {
public:
  explicit SimulatedCard(FakeIdentity identity = {});
  SimulatedCard(const SimulatedCard&) = delete;
  SimulatedCard& operator=(const SimulatedCard&) = delete;

  // The controller behind the card: scripts, identity and the log of commands.
  ControllerCore& Controller() { return core; }

  void Answer(platform::CardRequestKind kind, CardAnswer answer, int error = 0);
  void QueueRecord(const std::string& record);
  void QueueInterrupt(uint8_t status);
  // What the count request reports from now on; negative: the bytes waiting, at most 255.
  void SetCount(int count);
  // Bytes into the card's read stream, past the controller.
  void Deliver(const std::string& bytes);

  size_t Requests(platform::CardRequestKind kind);
  size_t PendingNow(platform::CardRequestKind kind);
  // The input of every request of a kind, in order (write requests: the bytes).
  std::vector<std::string> Inputs(platform::CardRequestKind kind);
  size_t Waiting();  // bytes in the read stream
  bool Held();       // opened and not closed yet

private:
  friend class SimulatedCardHandle;
  friend class SimulatedCards;
  class Peer;
  struct Pending {
    CardAnswer answer;
    std::chrono::steady_clock::time_point expiry;  // a record or interrupt request's own timeout
    bool cancelled = false;
  };

  // Under the lock: completes the request when it can, a write's bytes left in `toController`.
  bool TryComplete(platform::CardRequest& request, const Pending& pending,
                   platform::CardResult& result, std::string& toController);
  // Outside the lock: the written bytes to the controller, whose replies come back in.
  void Feed(const std::string& bytes);

  platform::CardResult Start(platform::CardRequest& request);
  platform::CardResult Wait(platform::CardRequest& request,
                            std::chrono::steady_clock::time_point deadline);
  platform::CardResult Cancel(platform::CardRequest& request);
  void CancelAll();

  ControllerCore core;
  std::shared_ptr<Peer> peer;
  std::mutex lock;
  std::condition_variable changed;
  std::string stream;
  std::deque<std::string> records;
  std::deque<uint8_t> interrupts;
  int count = -1;
  std::array<CardAnswer, platform::kCardRequestKinds> answers{};
  std::array<int, platform::kCardRequestKinds> errors{};
  std::array<size_t, platform::kCardRequestKinds> requests{};
  std::array<std::vector<std::string>, platform::kCardRequestKinds> inputs;
  std::map<const platform::CardRequest*, Pending> pending;
  bool held = false;
  bool inUse = false;  // held by someone outside the test
};

// The cards in the slots; while it lives, every card open and listing comes here.
class SimulatedCards {
public:
  SimulatedCards();
  ~SimulatedCards();
  SimulatedCards(const SimulatedCards&) = delete;
  SimulatedCards& operator=(const SimulatedCards&) = delete;

  // The card "RUREZIVU{number}".
  SimulatedCard& Insert(int number, FakeIdentity identity = {});
  // Another program holds the card: opening it fails with EBUSY.
  void SetInUse(int number, bool inUse);

private:
  class Driver;
  std::shared_ptr<Driver> driver;
  std::shared_ptr<platform::CardDriver> previous;
};

}  // namespace orvan::fakes
