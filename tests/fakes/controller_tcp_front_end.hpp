// Carries the fake controller's bytes over TCP: accepts on one port, feeds each connection's
// reads to the core and writes what the core sends back, in order, one write at a time. Runs
// on one event loop; every call but the constructor belongs on that loop.
#pragma once

#include "fakes/controller_core.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvan::fakes {

class ControllerTcpFrontEnd {
public:
  // `commandPort`: its connections take the messages that no peer asked for.
  ControllerTcpFrontEnd(ControllerCore& core, boost::asio::ip::tcp::acceptor acceptor,
                        bool commandPort);

  void Start();
  // Raw bytes to every connection, past the core.
  void Send(const std::string& bytes);
  // Stops (and starts again) reading every connection, those accepted later too.
  void PauseReading(bool paused);
  // Drops every connection, as a controller that is switched off; keeps accepting.
  void CloseConnections();
  // Stops accepting and drops every connection.
  void Close();
  uint16_t Port() const { return port; }

private:
  class Session;
  void Accept();

  ControllerCore& core;
  boost::asio::ip::tcp::acceptor acceptor;
  const uint16_t port;
  const bool commandPort;
  bool paused = false;
  std::vector<std::weak_ptr<Session>> sessions;
  // While reading is paused no read holds a session, so the connection would close with it.
  std::vector<std::shared_ptr<Session>> parked;
};

}  // namespace orvan::fakes
