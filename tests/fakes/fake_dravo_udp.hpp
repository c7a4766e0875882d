// The fake server's UDP side, where sub-channels live: one socket, a shell session per sender
// (its replies sent back to that sender, a quit forgets it), and the unsolicited streams sent
// to the senders that subscribed. Runs on one event loop; every call but the constructor
// belongs on that loop.
#pragma once

#include "fakes/fake_dravo_shell.hpp"

#include <boost/asio/ip/udp.hpp>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace orvan::fakes {

class FakeDravoUdpSide {
public:
  using Reader = FakeDravoReader;
  // Binds at once; throws when it cannot.
  FakeDravoUdpSide(boost::asio::io_context& io, const boost::asio::ip::udp::endpoint& at,
                   Reader reader);

  void Start();
  // To every sender whose session subscribed to the stream.
  void Broadcast(FakeDravoSession::Stream stream, const std::string& bytes);
  void Close();

private:
  void DoReceive();
  std::shared_ptr<FakeDravoSession> SessionOf(const boost::asio::ip::udp::endpoint& peer);

  boost::asio::ip::udp::socket socket;
  const Reader reader;
  boost::asio::ip::udp::endpoint sender;
  std::array<char, 2048> datagram{};
  std::map<boost::asio::ip::udp::endpoint, std::shared_ptr<FakeDravoSession>> sessions;
};

}  // namespace orvan::fakes
