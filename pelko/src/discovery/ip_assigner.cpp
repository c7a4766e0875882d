#include "discovery/ip_assigner.hpp"

#include "core/orvan_error.hpp"
#include "platform/host_interfaces.hpp"
#include "protocol/bootp_text.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/udp.hpp>

#include <cstdlib>

namespace orvan {

namespace asio = boost::asio;
using asio::ip::udp;

std::optional<std::array<std::uint8_t, 4>> ParseAssignedAddress(const std::string& text) {
  const char separator = text.find('.') != std::string::npos ? '.' : ',';
  std::array<std::uint8_t, 4> address{};
  std::size_t at = 0;
  for (std::size_t i = 0; i < address.size(); ++i) {
    const std::size_t end = i + 1 < address.size() ? text.find(separator, at) : text.size();
    if (end == std::string::npos) return std::nullopt;
    const std::string number = text.substr(at, end - at);
    // strtol with base 0 reads as "%i" does; it also skips leading space, which "%i" allows.
    if (number.empty() || number.find('\0') != std::string::npos) return std::nullopt;
    char* stop = nullptr;
    const long value = std::strtol(number.c_str(), &stop, 0);
    if (stop == number.c_str() || *stop != '\0') return std::nullopt;
    address[i] = static_cast<std::uint8_t>(static_cast<unsigned long>(value) & 0xFFu);
    at = end + 1;
  }
  return address;
}

IpAssigner::IpAssigner(asio::io_context& context) : io(context) {}

void IpAssigner::Assign(const std::string& mac, const std::string& ip) {
  const auto hardware = protocol::ParseMacAddress(mac);
  if (!hardware) throw OrvanError(-10002, "not a MAC address: " + mac);
  const auto address = ParseAssignedAddress(ip);
  if (!address) throw OrvanError(-10002, "not an IP address: " + ip);
  packet = protocol::MakeAssignmentPacket(*hardware, *address);

  std::vector<platform::HostInterface> interfaces;
  if (!platform::ListHostInterfaces(interfaces)) return;
  const udp::endpoint broadcast(asio::ip::address_v4::broadcast(), protocol::kBootpClientPort);
  for (const auto& interface : interfaces) {
    const auto local = asio::ip::make_address_v4(interface.address);
    // Bound to the interface's address, the limited broadcast leaves through that interface.
    auto socket = std::make_shared<udp::socket>(io);
    socket->open(udp::v4());
    boost::system::error_code error;
    socket->bind(udp::endpoint(local, 0), error);
    if (error) continue;
    socket->set_option(asio::socket_base::broadcast(true));
    ++inFlight;
    socket->async_send_to(
        asio::buffer(packet), broadcast,
        [self = shared_from_this(), socket](const boost::system::error_code&, std::size_t) {
          boost::system::error_code ignored;
          socket->close(ignored);
          --self->inFlight;
        });
  }
  while (inFlight != 0) {
    if (io.stopped()) io.restart();
    io.run_one();
  }
}

}  // namespace orvan
