#include "services/local_device_lists.hpp"

namespace {

// The platform's card listing plugs in here (16 cards for the server); until it is built, a
// search lists no card.
std::vector<std::string> ListCards() { return {}; }

// The platform's serial-port listing plugs in here; until it is built, a search lists no port.
std::vector<std::string> ListSerialPorts() { return {}; }

}  // namespace

LocalDeviceLists SystemDeviceLists() { return {ListCards, ListSerialPorts}; }
