#include "services/local_device_lists.hpp"

#include "platform/card_driver.hpp"
#include "platform/serial_port.hpp"

namespace {

// The server's search looks at the first 16 cards.
constexpr int kListedCards = 16;

std::vector<std::string> ListCards() { return platform::ListCards(kListedCards); }

// The host's serial ports by their device paths, as an open of one takes them.
std::vector<std::string> ListSerialPorts() { return platform::SerialPortPaths(); }

}  // namespace

LocalDeviceLists SystemDeviceLists() { return {ListCards, ListSerialPorts}; }
