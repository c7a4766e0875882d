// What a Shell needs from the client connection that carries it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class ResourceClient;

class ShellOwner {
public:
  virtual ~ShellOwner() = default;

  // Sends bytes to the client. Takes them before it returns; writes leave in call order.
  virtual void Write(const std::uint8_t* data, std::size_t length) = 0;
  // The connection as requests refer to it.
  virtual std::shared_ptr<ResourceClient> SharedFromThis() = 0;
  // Milliseconds without received bytes before the connection closes; 0 = no limit.
  virtual std::uint32_t IdleTimeout() const = 0;
  // Takes effect at once: the idle wait is restarted with the new limit.
  virtual void SetIdleTimeout(std::uint32_t milliseconds) = 0;
  // The connection has ended (for instance because its client stopped reading).
  virtual bool Closed() const = 0;
  // Stops reading the client until its ResumeReading; false when the carrier cannot hold its
  // client back (datagrams keep coming).
  virtual bool HoldReading() = 0;
};
