// Device kinds by address kind and the "direct" option.
#include "core/device_factory.hpp"

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "network/network_device.hpp"
#include "pci/pci_device.hpp"
#include "serial/serial_device.hpp"
#include "server_client/client_device.hpp"

namespace orvan {

std::shared_ptr<OrvanDevice> MakeDevice(const OrvanOptions& options, boost::asio::io_context& io) {
  // Without "direct" every kind of address is reached through the server.
  if (!options.direct) return std::make_shared<ClientDevice>(io);
  switch (options.AddressKind()) {
    case kAddressNetwork:
      return std::make_shared<NetworkDevice>(io);
    case kAddressSerial:
      return std::make_shared<SerialDevice>(io);
    case kAddressPci:
      return std::make_shared<PciDevice>();
    default:
      break;
  }
  throw OrvanError(-1101, "device failed to open");
}

}  // namespace orvan
