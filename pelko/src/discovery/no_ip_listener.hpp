// Hears, without a server, the controllers that have no IP address yet: listens on UDP port 67
// of every interface for a while and lists each controller that asked by BOOTP once, as
// "model, serial, MAC, interface name, interface address", in MAC order. It never answers.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orvan {

// One interface's socket on port 67.
struct BootpSocket {
  BootpSocket(boost::asio::io_context& io, std::string interfaceName, std::string interfaceAddress)
      : socket(io), name(std::move(interfaceName)), address(std::move(interfaceAddress)) {}

  boost::asio::ip::udp::socket socket;
  std::array<std::uint8_t, 512> buffer{};
  std::string name;
  std::string address;
  boost::asio::ip::udp::endpoint sender;
};

class NoIpListener : public std::enable_shared_from_this<NoIpListener> {
public:
  static constexpr std::chrono::milliseconds kListenTime{5000};
  // Controllers beyond this are not listed: the map stays bounded whatever the network sends.
  static constexpr std::size_t kMaxEntries = 1024;
  // The only lengths of a controller's request.
  static constexpr std::size_t kShortRequest = 300;
  static constexpr std::size_t kLongRequest = 316;

  explicit NoIpListener(boost::asio::io_context& io,
                        std::chrono::milliseconds listenTime = kListenTime);
  ~NoIpListener();
  NoIpListener(const NoIpListener&) = delete;
  NoIpListener& operator=(const NoIpListener&) = delete;

  // Listens for the listen time and returns the lines in increasing order of the MAC's last
  // three bytes. Empty when the host's interfaces cannot be listed. An interface whose socket
  // cannot be tied to it or bound is passed over; an address that does not parse, or a socket
  // that cannot be opened or set to share its port, raises the system error.
  std::vector<std::string> Listen();

private:
  void OpenSockets();
  void StartReceive(const std::shared_ptr<BootpSocket>& socket);
  void OnReceive(const boost::system::error_code& error, std::size_t count,
                 const std::shared_ptr<BootpSocket>& socket);
  void CloseSockets();

  boost::asio::io_context& io;
  std::chrono::milliseconds listenTime;
  std::vector<std::shared_ptr<BootpSocket>> sockets;
  std::vector<std::string> result;
  boost::asio::steady_timer listenTimer;
  // Keyed by the MAC's last three bytes, big-endian; the first request of a key is kept.
  std::map<std::uint32_t, std::string> entries;
  std::size_t pending = 0;
};

}  // namespace orvan
