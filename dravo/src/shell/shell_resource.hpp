// What a Shell needs from the hardware resource that serves its request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "shell/reply_tracker.hpp"

class ResourceClient;

class ShellResource {
public:
  virtual ~ShellResource() = default;

  // Copies the bytes and writes them to the controller behind those queued before.
  virtual void QueueWrite(const std::uint8_t* data, std::size_t length) = 0;
  // The current owner is done; the resource serves its next queued request.
  virtual void RequestDone() = 0;
  // The current owner gave up on its reply before it ended (it closed, or withdrew): the rest
  // is still coming and must reach nobody. `tracker` has counted the reply so far.
  virtual void ReplyAbandoned(const ReplyTracker& tracker) = 0;
  // Whether `length` more bytes would take those waiting for the controller past their bound.
  virtual bool QueueFull(std::size_t length) const = 0;
  // The client's ResumeReading runs once the waiting bytes have drained to half the bound.
  virtual void WhenDrained(std::weak_ptr<ResourceClient> client) = 0;
};
