// The controller card's driver as the library and the server see it: a card opened by name and
// held by one opener at a time, whose reads, writes and control requests each complete now,
// stay pending or fail with an error number (errno). A pending request is waited for until a
// deadline and then cancelled; a cancel from any thread wakes a wait in progress, and a card
// is closed only once no thread is inside a call on it. The system's cards are the device
// nodes of card_node.hpp; card_driver.hpp opens and lists them, or a test's stand-in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Cards are named "RUREZIVU1", "RUREZIVU2", ...; the node of "RUREZIVUn" is "/dev/rurezivu{n}".
constexpr char kCardPrefix[] = "RUREZIVU";
constexpr char kCardNodePrefix[] = "/dev/rurezivu";

enum class CardRequestKind : uint8_t {
  Read,        // controller bytes into the output
  Write,       // the input's bytes to the controller
  Record,      // one data record from the card's record queue
  Interrupt,   // the next interrupt status byte (output byte 0)
  Count,       // bytes waiting to be read (output byte 0)
  StatusWait,  // what waits next: bytes, a record or an interrupt (output byte 0)
  Configure,   // the card's set-up after opening
};
constexpr size_t kCardRequestKinds = 7;

// One request and its buffers. They stay where they are, untouched by the caller, until the
// request is done, failed or cancelled.
struct CardRequest {
  CardRequestKind kind = CardRequestKind::Read;
  const void* input = nullptr;  // Write: the bytes; a control request: its input
  size_t inputLength = 0;
  void* output = nullptr;  // Read: the target; a control request: its output
  size_t outputLength = 0;
};

struct CardResult {
  enum State { Done, Pending, Failed };
  State state = Failed;
  size_t count = 0;  // Done: bytes read, written or placed in the output
  int error = 0;     // Failed: the error number; ECANCELED for a cancelled request

  static CardResult Completed(size_t count) { return {Done, count, 0}; }
  static CardResult Waiting() { return {Pending, 0, 0}; }
  static CardResult Failure(int error) { return {Failed, 0, error}; }
};

using CardClock = std::chrono::steady_clock;

// An open card. Every call may come from any thread; calls on one request come from one thread.
class CardHandle {
public:
  virtual ~CardHandle() = default;

  // Starts the request: Done, Pending or Failed.
  virtual CardResult Start(CardRequest& request) = 0;
  // Waits for a pending request until it ends or the deadline passes (CardClock::time_point::max()
  // waits without one); Pending when the deadline came first, and the request still pends.
  virtual CardResult Wait(CardRequest& request, CardClock::time_point deadline) = 0;
  // Ends a pending request of the caller's own: Done when it completed before the cancel took
  // hold (its bytes are in its buffers), else Failed with ECANCELED.
  virtual CardResult Cancel(CardRequest& request) = 0;
  // Ends every request pending on the card, from any thread: a wait in progress returns
  // at once with ECANCELED.
  virtual void CancelAll() = 0;
  // Cancels everything, waits until no thread is inside a call, then lets the card go; later
  // requests fail with EBADF. Idempotent; the destructor closes too.
  virtual void Close() = 0;
};

// Waits for a request that Start left pending until the deadline, then cancels it: the
// request's last word. `ended` tells whether the deadline ended it (whatever arrived with the
// cancel is in the result).
CardResult FinishRequest(CardHandle& card, CardRequest& request, CardClock::time_point deadline,
                         bool& ended);

// "RUREZIVUn" as a number (0 for any other text).
int CardNumber(const std::string& name);

}  // namespace platform
