// Registers this server's own "_dravo._tcp" instance under the mDNS daemon's host name. Used
// from the server thread only; a registration blocks it for a bounded time.
#pragma once

#include <boost/signals2/signal.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {
class MdnsPublisher;
}

class ServicePublisher {
public:
  // The longest a registration holds the server thread.
  static constexpr std::chrono::milliseconds kRegisterWait{5000};

  ServicePublisher(std::string instanceName, std::string label, std::string protocol);
  ~ServicePublisher();
  ServicePublisher(const ServicePublisher&) = delete;
  ServicePublisher& operator=(const ServicePublisher&) = delete;

  void SetInstanceName(const std::string& name);
  void SetPort(std::uint16_t port) { port_ = port; }
  // Stores both and registers.
  void Publish(const std::string& instanceName, std::uint16_t port);
  // Withdraws any registration first. A failure is reported and leaves the server unpublished.
  void Register();
  // Ends the announcement; published is false afterwards.
  void Withdraw();
  void ReportError(int code, const std::string& message);

  const std::string& InstanceName() const { return instanceName; }
  const std::string& FullName() const { return fullName; }
  std::uint16_t Port() const { return port_; }
  bool Published() const { return published; }

  boost::signals2::signal<void(int code, const std::string& message)> error;

private:
  std::string instanceName;
  std::string label;
  std::string protocol;
  std::uint16_t port_ = 0;
  std::string fullName;  // "lab._dravo._tcp.local"
  bool published = false;
  std::unique_ptr<platform::MdnsPublisher> registration;
};
