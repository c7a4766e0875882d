#include "services/local_device_lists.hpp"

#include "platform/serial_port.hpp"

namespace {

// The platform's card listing plugs in here (16 cards for the server); until it is built, a
// search lists no card.
std::vector<std::string> ListCards() { return {}; }

// The host's serial ports by their device paths, as an open of one takes them.
std::vector<std::string> ListSerialPorts() { return platform::SerialPortPaths(); }

}  // namespace

LocalDeviceLists SystemDeviceLists() { return {ListCards, ListSerialPorts}; }
