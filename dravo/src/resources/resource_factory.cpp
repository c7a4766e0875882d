// Making a resource of each kind.
#include "resources/resource_factory.hpp"

#include "protocol/resource_kind.hpp"
#include "resources/pci_resource.hpp"
#include "resources/serial_resource.hpp"
#include "resources/tcp_resource.hpp"
#include "resources/udp_resource.hpp"

std::shared_ptr<Resource> MakeResource(std::uint32_t kind, boost::asio::io_context& io,
                                       ResourceTable& table, std::uint32_t id) {
  switch (kind) {
    case orvan::protocol::kKindTcp:
      return std::make_shared<TcpResource>(io, table, id);
    case orvan::protocol::kKindUdp:
      return std::make_shared<UdpResource>(io, table, id);
    case orvan::protocol::kKindSerial:
      return std::make_shared<SerialResource>(io, table, id);
    case orvan::protocol::kKindPci:
      return std::make_shared<PciResource>(io, table, id);
    default:
      return nullptr;
  }
}
