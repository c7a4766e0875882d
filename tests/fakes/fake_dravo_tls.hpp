// The fake server's TLS side: a listener with a fresh self-signed certificate, each accepted
// client a shell session whose reads go to the reader and whose sends are queued writes. Runs
// on one event loop; every call but the constructor belongs on that loop.
#pragma once

#include "fakes/fake_dravo_shell.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvan::fakes {

class FakeDravoTlsSide {
public:
  using Reader = FakeDravoReader;
  // Binds and listens at once; throws when it cannot. `accepted` runs after each new client;
  // once `stopReading` is set, clients are not read from after their current read, so their
  // sends back up.
  FakeDravoTlsSide(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& at,
                   Reader reader, std::function<void()> accepted,
                   const std::atomic<bool>& stopReading);
  ~FakeDravoTlsSide();

  void Start();
  // Closes every client at once, as a server that goes away; keeps them held.
  void DropClients();
  void Close();
  size_t OpenClients() const;

private:
  class Client;
  void Accept();

  boost::asio::ssl::context context;
  boost::asio::ip::tcp::acceptor acceptor;
  const Reader reader;
  const std::function<void()> accepted;
  const std::atomic<bool>& stopReading;
  // Held here too, so a client that is no longer read from stays connected.
  std::vector<std::shared_ptr<Client>> clients;
};

}  // namespace orvan::fakes
