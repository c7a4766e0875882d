// What a resource needs of a client connection it serves: the connection's shell takes the
// controller's bytes, and the resource hands the connection its request's turn or closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class Request;
class ShellResource;

class ResourceClient {
public:
  virtual ~ResourceClient() = default;

  // Controller bytes for the connection's shell: a broadcast (unsolicited), reply text, or the
  // end of a reply. `binaryPart` marks the first part of a binary reply split over reads.
  virtual void Deliver(const std::uint8_t* bytes, std::size_t length, bool unsolicited,
                       bool replyComplete, bool binaryPart) = 0;
  // The same broadcast held in one block shared by every subscriber, so that a client may
  // queue the block itself rather than a copy of its bytes.
  virtual void DeliverShared(const std::shared_ptr<const std::vector<std::uint8_t>>& block) {
    Deliver(block->data(), block->size(), true, false, false);
  }
  // Whether the shell is in raw mode, where every byte from the controller is the owner's.
  virtual bool RawMode() const = 0;
  virtual bool Closed() const = 0;
  // Posted when this connection's queued request becomes the resource's current one.
  virtual void OnRequestReady(std::shared_ptr<Request> request,
                              std::shared_ptr<ShellResource> resource) = 0;
  // Idempotent.
  virtual void Close() = 0;
  // Reads again after HoldReading, now that the controller's queue has drained.
  virtual void ResumeReading() {}
};
