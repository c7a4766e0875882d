// Gives a controller that waits for an address the one the caller chooses, without a server:
// one plain BOOTP reply for its MAC address, broadcast to port 68 from every interface.
#pragma once

#include "protocol/bootp_assignment.hpp"

#include <boost/asio/io_context.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace orvan {

class IpAssigner : public std::enable_shared_from_this<IpAssigner> {
public:
  explicit IpAssigner(boost::asio::io_context& io);
  IpAssigner(const IpAssigner&) = delete;
  IpAssigner& operator=(const IpAssigner&) = delete;

  // `mac` as six hexadecimal numbers joined by ':' or '-', `ip` as four numbers joined by '.'
  // or ','. Returns once every send has completed. Text that does not read so sends nothing
  // and raises OrvanError -10002; an interface address that does not parse, or a socket that
  // cannot be opened or allowed to broadcast, raises the system error. An interface whose
  // address cannot be bound is passed over.
  void Assign(const std::string& mac, const std::string& ip);

private:
  boost::asio::io_context& io;
  protocol::AssignmentPacket packet{};
  std::size_t inFlight = 0;
};

// Four numbers joined by '.' (or by ',' when the text holds no '.'), each read as "%i" reads
// it (decimal, 0 octal, 0x hexadecimal); the low 8 bits of each give one byte, first number
// first. None unless exactly four numbers make up the whole text.
std::optional<std::array<std::uint8_t, 4>> ParseAssignedAddress(const std::string& text);

}  // namespace orvan
