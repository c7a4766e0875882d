// What a client connection needs of its command shell: it feeds every received chunk in and
// tells the shell when the connection ends. Resources deliver controller bytes through Send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class Request;
class ShellResource;

class Shell {
public:
  virtual ~Shell() = default;
  // One received chunk (at most 449 bytes). Throws IError with code 0 to end the connection.
  virtual void Consume(const uint8_t* bytes, size_t length) = 0;
  // The resource made this connection's queued request its current one.
  virtual void OnRequestReady(std::shared_ptr<Request> request,
                              std::shared_ptr<ShellResource> resource) = 0;
  // Drops a pending request and tells its resource.
  virtual void FinishRequest() = 0;
  // Leaves the linked resource and its subscriptions.
  virtual void Unlink() = 0;
  // Controller bytes from a resource: a broadcast (unsolicited), reply text, or the end of a reply.
  // `binaryPart` marks the first part of a binary reply split over reads: it is no reply text,
  // so it must not end the request.
  virtual void Send(const uint8_t* bytes, size_t length, bool unsolicited, bool replyComplete,
                    bool binaryPart = false) = 0;
  // 0 shell, 1 raw, 2 cooked.
  virtual uint32_t Mode() const = 0;
  // An answer of the server itself: the text, then "~" when code is 0, else "\" (a pinger
  // answers its client this way).
  virtual void Reply(int code, const std::string& text) = 0;
  // The text the shell command "te" reports next.
  virtual void SetLastError(std::string text) = 0;
};
