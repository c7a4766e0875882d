// What every card driver shares: a request's end by its deadline, and card names as numbers.
#include "platform/card.hpp"

#include <cctype>
#include <cstring>

namespace platform {

CardResult FinishRequest(CardHandle& card, CardRequest& request, CardClock::time_point deadline,
                         bool& ended) {
  ended = false;
  CardResult result = card.Wait(request, deadline);
  if (result.state != CardResult::Pending) return result;
  ended = true;
  return card.Cancel(request);
}

int CardNumber(const std::string& name) {
  constexpr size_t kPrefix = sizeof kCardPrefix - 1;
  // Nine digits at most, so the number fits; no leading zero, so each card has one name.
  if (name.size() <= kPrefix || name.size() > kPrefix + 9) return 0;
  if (name.compare(0, kPrefix, kCardPrefix) != 0 || name[kPrefix] == '0') return 0;
  int number = 0;
  for (size_t i = kPrefix; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    number = number * 10 + (name[i] - '0');
  }
  return number;
}

}  // namespace platform
