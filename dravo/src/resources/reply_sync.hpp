// Keeps a reply that its client gave up on (closed, or withdrew with ESC c) from reaching the
// next client. It follows the reply to its end; when it has not ended in time it asks the
// controller to echo a token of its own and drops everything up to that echo, since a quiet
// controller may still answer later (a motion can take minutes). The resource writes the
// questions and keeps the clock.
#pragma once

#include "shell/reply_tracker.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

class ReplySync {
public:
  struct Timing {
    // How long the abandoned reply may take to end before the controller is asked.
    std::chrono::milliseconds grace{500};
    // The wait between questions doubles up to this.
    std::chrono::milliseconds longestWait{30000};
    // A controller that sends nothing for this long while asked is taken as lost.
    std::chrono::milliseconds silence{600000};
  };

  ReplySync();

  // Starts following the rest of a reply that `tracker` has counted so far.
  void Follow(const ReplyTracker& tracker);
  // The reply has not ended in time: the controller command that asks for a fresh token. From
  // now on only the newest token's echo ends the sync; the echoes of earlier questions are
  // dropped with everything else before it.
  std::string Ask();
  // Forgets the reply, e.g. when the controller is lost.
  void Stop() { state = State::Idle; }

  bool Active() const { return state != State::Idle; }
  bool Asking() const { return state == State::Asking; }

  // Reply bytes from the controller while active (as the resource sorts them: `complete` ends a
  // binary reply, `binaryPart` begins one). Returns how many of them belong to the abandoned
  // reply or the sync and are dropped; the sync is over when that is fewer than `length` or
  // Active() turns false.
  std::size_t Take(const std::uint8_t* bytes, std::size_t length, bool complete, bool binaryPart);

private:
  enum class State { Idle, Following, Asking };

  std::size_t TakeAsking(const std::uint8_t* bytes, std::size_t length);

  State state = State::Idle;
  ReplyTracker tracker;
  std::string echo;     // the newest token and the line end the controller writes after it
  std::string recent;   // the last bytes seen, as long as `echo`
  bool echoed = false;  // the echo has come: the prompt after it ends the sync
  std::mt19937_64 random;
};
