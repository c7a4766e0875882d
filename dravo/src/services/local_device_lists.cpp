#include "services/local_device_lists.hpp"

#include "platform/card_driver.hpp"

namespace {

// The server's search looks at the first 16 cards.
constexpr int kListedCards = 16;

std::vector<std::string> ListCards() { return platform::ListCards(kListedCards); }

// The platform's serial-port listing plugs in here; until it is built, a search lists no port.
std::vector<std::string> ListSerialPorts() { return {}; }

}  // namespace

LocalDeviceLists SystemDeviceLists() { return {ListCards, ListSerialPorts}; }
