// One client of the server, over TLS or UDP: owns the client's receive buffer, idle timer,
// write queue and shell. Derived classes know how to read from and write to their carrier.
#pragma once

#include "protocol/shell_wire.hpp"
#include "resources/resource_client.hpp"
#include "shell/shell.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class Request;
class RequestorServer;
class ShellResource;

class Requestor : public std::enable_shared_from_this<Requestor>, public ResourceClient {
public:
  static constexpr size_t kReceiveSize = orvan::protocol::kRequestSize;
  static constexpr uint32_t kDefaultIdleTimeout = 600000;
  // A client that lets this much output pile up unread is closed rather than held in memory.
  static constexpr size_t kMaxWriteBacklog = 1 << 20;

  Requestor(boost::asio::io_context& io, RequestorServer& server);
  virtual ~Requestor();
  Requestor(const Requestor&) = delete;
  Requestor& operator=(const Requestor&) = delete;

  // Idempotent: ends the request in progress, unlinks, and has the server forget this client.
  void Close() override;
  virtual std::string Protocol() const = 0;
  virtual uint16_t Port() const = 0;
  virtual std::string Address() const = 0;
  std::shared_ptr<Requestor> SharedFromThis() { return shared_from_this(); }
  virtual void StartRead() = 0;
  // Queues a copy of the bytes; blocks go out in order, one write at a time.
  void Write(const uint8_t* data, size_t length);

  // Completion of every read of the carrier into the receive buffer.
  void OnRead(const boost::system::error_code& error, size_t count);
  // Posted by a resource when this client's queued request becomes its current one.
  void OnRequestReady(std::shared_ptr<Request> request,
                      std::shared_ptr<ShellResource> resource) override;
  // Controller bytes from a resource, for the shell.
  void Deliver(const uint8_t* bytes, size_t length, bool unsolicited, bool replyComplete,
               bool binaryPart) override;
  // A broadcast through the shell as any other; when the shell writes those very bytes on,
  // the shared block is queued rather than a copy of it.
  void DeliverShared(const std::shared_ptr<const std::vector<uint8_t>>& block) override;
  bool RawMode() const override;
  // Stops reading until ResumeReading, when the carrier can hold its client back; false when
  // it cannot.
  bool HoldReading();
  void ResumeReading() override;

  bool Closed() const override { return closed; }
  Shell& GetShell() { return *shell; }
  // Milliseconds without received bytes before the client is closed; 0 means no limit.
  uint32_t IdleTimeout() const { return idleTimeout; }
  // Takes effect at once: the idle wait starts again with the new limit (0: none).
  void SetIdleTimeout(uint32_t milliseconds);
  std::array<uint8_t, kReceiveSize>& ReceiveBuffer() { return receiveBuffer; }

protected:
  // Hands received bytes to the shell; false when the client is closed by then.
  bool Consume(const uint8_t* bytes, size_t count);
  // Arms the idle timer to close the client after `timeout`; 0 disarms it.
  void ArmIdleTimer(std::chrono::milliseconds timeout);
  // Sends the front block of the write queue: true when it went at once, else its completion
  // calls OnWritten.
  virtual bool WriteFront() = 0;
  // Sends bytes at once when nothing is queued, saving their copy: true when they are dealt
  // with (sent, or the carrier failed and closes), false to queue them as usual.
  virtual bool WriteNow(const uint8_t*, size_t) { return false; }
  // Whether the carrier can take writes yet (a TLS client only after its handshake).
  virtual bool CanWrite() const { return true; }
  // Whether not reading holds the client back (a stream does; datagrams keep coming).
  virtual bool CanHold() const { return false; }
  void OnWritten();
  // The first `blocks` blocks of the queue went at once.
  void OnWritten(size_t blocks);
  void WriteNext();

  boost::asio::io_context& io;
  RequestorServer& server;
  std::deque<std::shared_ptr<const std::vector<uint8_t>>> writeQueue;

private:
  void OnIdleTimer(const boost::system::error_code& error, uint64_t wait);
  void WaitUntil(std::chrono::steady_clock::time_point when);
  void DropFront();

  uint32_t idleTimeout = kDefaultIdleTimeout;
  std::array<uint8_t, kReceiveSize> receiveBuffer{};
  boost::asio::steady_timer idleTimer;
  // When the client is closed for idleness. Received bytes only move it: the timer's one wait
  // wakes at its old expiry and waits again for the rest, instead of being re-armed per read.
  std::chrono::steady_clock::time_point idleDeadline;
  // Numbers the timer's waits; only the current one's completion counts.
  uint64_t idleWait = 0;
  bool idleWaiting = false;
  bool closed = false;
  bool held = false;  // reading waits for the controller's queue to drain
  size_t writeBacklog = 0;
  bool writing = false;
  std::unique_ptr<Shell> shell;
  // The block of the broadcast being delivered, while the shell has it.
  const std::shared_ptr<const std::vector<uint8_t>>* sharedBlock = nullptr;
};
