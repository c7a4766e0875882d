// What a Shell needs from the hardware resource that serves its request.
#pragma once

#include <cstddef>
#include <cstdint>

class ShellResource {
public:
  virtual ~ShellResource() = default;

  // Copies the bytes and writes them to the controller behind those queued before.
  virtual void QueueWrite(const std::uint8_t* data, std::size_t length) = 0;
  // The current owner is done; the resource serves its next queued request.
  virtual void RequestDone() = 0;
};
