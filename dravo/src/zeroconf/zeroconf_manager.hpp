// Browsing and this server's announcement for the life of one server core: owns the watcher
// and the publisher. Made by the core when it runs; the core publishes through it.
#pragma once

#include "zeroconf/service_publisher.hpp"
#include "zeroconf/service_watcher.hpp"

#include <boost/asio/io_context.hpp>

#include <memory>

struct PublishSettings;

class ZeroconfManager : public std::enable_shared_from_this<ZeroconfManager> {
public:
  // Starts browsing at once; without a system bus or daemon the server serves all the same.
  ZeroconfManager(boost::asio::io_context& io, PublishSettings& settings);

  ServicePublisher& Publisher() { return publisher; }
  Zeroconf::ServiceWatcher& Watcher() { return watcher; }
  const PublishSettings& Settings() const { return settings; }

private:
  ServicePublisher publisher;
  Zeroconf::ServiceWatcher watcher;
  boost::asio::io_context& io;
  PublishSettings& settings;
};
