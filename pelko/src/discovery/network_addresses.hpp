// Finds the controllers on the host's Ethernet segments without a server: sends the discovery
// query from every interface, collects the answers for 100 ms, then pings every answering
// address at once within one 1000 ms window and lists each answer as an address-list line
// ("10.0.0.5 -d, text, eth0, 10.0.0.1", or "(10.0.0.5), ..." when the ping went unanswered).
#pragma once

#include "protocol/discovery.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orvan {

// One interface's query socket and where its answers arrive.
struct DiscoverySocket {
  DiscoverySocket(boost::asio::io_context& io, std::string interfaceAddress,
                  std::string interfaceName)
      : socket(io), address(std::move(interfaceAddress)), name(std::move(interfaceName)) {}

  boost::asio::ip::udp::socket socket;
  std::array<std::uint8_t, protocol::kDiscoveryAnswerSize> buffer{};
  std::string address;
  std::string name;
  boost::asio::ip::udp::endpoint sender;  // of the last answer
};

class NetworkAddresses : public std::enable_shared_from_this<NetworkAddresses> {
public:
  static constexpr std::chrono::milliseconds kCollectionTime{100};
  // Answers beyond this are dropped: each costs a line and its sender a ping.
  static constexpr std::size_t kMaxReplies = 256;

  explicit NetworkAddresses(boost::asio::io_context& io,
                            std::chrono::milliseconds collectionTime = kCollectionTime);
  ~NetworkAddresses();
  NetworkAddresses(const NetworkAddresses&) = delete;
  NetworkAddresses& operator=(const NetworkAddresses&) = delete;

  // Appends one line per answer, in arrival order, to `list`; returns after about 1.1 s
  // (the collection time and one ping window). Adds
  // nothing when the host's interfaces cannot be listed. An interface address that does not
  // parse or a socket that cannot be opened raises the system error ("open").
  void Discover(std::vector<std::string>& list);

private:
  void OpenSockets();
  void StartReceive(const std::shared_ptr<DiscoverySocket>& socket);
  void OnReceive(const boost::system::error_code& error, std::size_t count,
                 const std::shared_ptr<DiscoverySocket>& socket);
  void CloseSockets();
  // Pings each distinct sender once, all at the same time; the status of each in `statuses`.
  void PingSenders(std::vector<std::pair<std::string, int>>& statuses);
  // Runs handlers one at a time until `finished` holds.
  template <class Finished>
  void RunUntil(Finished finished);

  boost::asio::io_context& io;
  std::chrono::milliseconds collectionTime;
  std::vector<std::shared_ptr<DiscoverySocket>> sockets;
  boost::asio::steady_timer collectionTimer;
  // (sender address, ", " text ", " interface name ", " interface address), in arrival order.
  std::vector<std::pair<std::string, std::string>> replies;
  // Operations started and not yet completed: the run ends only when none is left, so no
  // handler of this run stays queued on the caller's context.
  std::size_t pending = 0;
};

}  // namespace orvan
