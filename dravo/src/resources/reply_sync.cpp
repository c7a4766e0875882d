// Following an abandoned reply to its end, or to the echo of a token of our own.
#include "resources/reply_sync.hpp"

#include <cstdio>

namespace {
constexpr std::uint8_t kPrompt = ':';
}  // namespace

ReplySync::ReplySync() : random(std::random_device{}()) {}

void ReplySync::Follow(const ReplyTracker& followed) {
  tracker = followed;
  state = State::Following;
  echo.clear();
  recent.clear();
  echoed = false;
}

std::string ReplySync::Ask() {
  // Random, so that no reply text the controller could send matches it by chance.
  char token[24];
  std::snprintf(token, sizeof token, "%016llX", static_cast<unsigned long long>(random()));
  state = State::Asking;
  echo = std::string(token) + "\r\n";
  recent.clear();
  echoed = false;
  return "MG \"" + std::string(token) + "\"\r";
}

std::size_t ReplySync::Take(const std::uint8_t* bytes, std::size_t length, bool complete,
                            bool binaryPart) {
  if (state == State::Asking) return TakeAsking(bytes, length);
  if (state == State::Idle) return 0;
  // The client's own rule for the end of its reply, as the shell would have applied it.
  if (complete) {
    state = State::Idle;
    return length;
  }
  if (binaryPart) return length;
  std::size_t used = length;
  if (tracker.Count(bytes, length, &used)) state = State::Idle;
  return used;
}

std::size_t ReplySync::TakeAsking(const std::uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (echoed) {
      if (bytes[i] == kPrompt) {
        state = State::Idle;
        return i + 1;
      }
      continue;
    }
    recent.push_back(static_cast<char>(bytes[i]));
    if (recent.size() > echo.size()) recent.erase(0, recent.size() - echo.size());
    echoed = recent == echo;
  }
  return length;
}
