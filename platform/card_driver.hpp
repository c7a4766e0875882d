// Where cards are opened and listed: the system's device nodes, unless a test has put a driver
// of its own (a simulated card) in their place. The library and the server both go through here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/card.hpp"

namespace platform {

class CardDriver {
public:
  virtual ~CardDriver() = default;
  // The card by name; null with the error number in `error` when it cannot be had (ENOENT when
  // there is no such card, EBUSY while another holds it).
  virtual std::shared_ptr<CardHandle> Open(const std::string& name, int& error) = 0;
  // The names of the cards present, "RUREZIVU1" to "RUREZIVU{highest}", in increasing order.
  virtual std::vector<std::string> List(int highest) = 0;
};

// Through the driver in place.
std::shared_ptr<CardHandle> OpenCard(const std::string& name, int& error);
std::vector<std::string> ListCards(int highest);
// Puts `driver` in place of the one in use (null puts the system's back); returns the one it
// replaced, null for the system's.
std::shared_ptr<CardDriver> ReplaceCardDriver(std::shared_ptr<CardDriver> driver);

}  // namespace platform
