// The working object behind the utility options that talk to a server: one I/O context and a
// server-client device made and connected on first use. A session lives for one call, so every
// such call opens its own connection and leaves the server's shell before it returns.
#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace orvan {

class ClientDevice;

// The server the utility's server-management options always ask, whatever is configured.
constexpr char kLocalServerAddress[] = "127.0.0.1";
constexpr uint16_t kLocalServerPort = 23;

class UtilitySession {
public:
  UtilitySession();
  // Leaves the shell ("exit") when connected, then drops the device before the context goes.
  ~UtilitySession();
  UtilitySession(const UtilitySession&) = delete;
  UtilitySession& operator=(const UtilitySession&) = delete;

  // Makes the device when there is none and connects it unless it already is: TLS, then the
  // compatibility check (-20000, -20003 or -1100 from the device).
  void Connect(const std::string& address, uint16_t port);
  // One shell command on the connected device under its request lock; the reply without its
  // line ends, -20001 when the server refuses.
  std::string Shell(const std::string& text);

  // "connections" on the local server, every carriage return removed.
  std::string Connections();
  // "noip" through the configured server, every carriage return removed.
  std::string NoIp();
  // The configured server's list, one line per entry, each ending in "\n"; a network address
  // that does not answer the server's ping is put in brackets. Each distinct address is pinged
  // once.
  std::string Resources();
  // "ping ADDRESS" from the configured server's address on the given port: whether the server
  // answered with success.
  bool Ping(uint16_t port, const std::string& address);
  // "serverinfo --name NAME" on the local server, the reply as the exchange gives it.
  std::string ServerInfo(const std::string& name);
  // "servers" on the local server, every carriage return removed.
  std::string Servers();
  // No server: the controllers heard asking for an address in one listen, one per line.
  std::string IpRequests();
  // No server: the discovery's lines, then the cards, then the serial ports, one per line.
  std::string DirectAddresses();

  boost::asio::io_context& IoContext() { return ioContext; }
  // The device, or null before the first Connect.
  const std::shared_ptr<ClientDevice>& Device() const { return device; }

private:
  ClientDevice& Connected();

  // Declared first so it outlives the device built on it.
  boost::asio::io_context ioContext;
  std::shared_ptr<ClientDevice> device;
};

// The text without any carriage return.
std::string WithoutCarriageReturns(std::string text);

}  // namespace orvan
