// The card and serial-port names a hardware search lists besides its Ethernet controllers,
// taken from the system when the search starts.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct LocalDeviceLists {
  std::function<std::vector<std::string>()> cards;
  std::function<std::vector<std::string>()> serialPorts;
};

// The system's listings: the PCI cards (the first 16) and the serial ports it has.
LocalDeviceLists SystemDeviceLists();
