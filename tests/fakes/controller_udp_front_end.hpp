// Carries the fake controller's bytes over UDP: one socket on one port, one core peer per
// sender, each datagram fed to the core whole and each reply sent as one datagram. Runs on one
// event loop; every call but the constructor belongs on that loop.
#pragma once

#include "fakes/controller_core.hpp"

#include <boost/asio/ip/udp.hpp>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace orvan::fakes {

class ControllerUdpFrontEnd {
public:
  ControllerUdpFrontEnd(ControllerCore& core, boost::asio::ip::udp::socket socket);

  void Start();
  // Raw bytes to the last sender, past the core; nothing before anyone has sent.
  void SendToLast(const std::string& bytes);
  void Close();
  uint16_t Port() const { return port; }

private:
  class Sender;
  void DoReceive();
  std::shared_ptr<Sender> SenderAt(const boost::asio::ip::udp::endpoint& peer);
  void Forget(const Sender& sender);

  ControllerCore& core;
  boost::asio::ip::udp::socket socket;
  const uint16_t port;
  boost::asio::ip::udp::endpoint from;
  boost::asio::ip::udp::endpoint last;
  std::array<char, 2048> buffer{};
  std::map<boost::asio::ip::udp::endpoint, std::shared_ptr<Sender>> senders;
};

}  // namespace orvan::fakes
