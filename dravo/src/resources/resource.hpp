// One open connection from the server to a controller, shared by any number of clients: serves
// their command requests one client at a time, keeps one transport write in flight, sorts what
// the controller sends into replies and unsolicited data, and closes itself once unused.
// The transports (TCP, UDP, ...) derive from it and supply open, close, write and read.
#pragma once

#include "platform/resolve.hpp"
#include "protocol/controller_input.hpp"
#include "protocol/resource_kind.hpp"
#include "resources/open_parameters.hpp"
#include "resources/reply_sync.hpp"
#include "resources/resource_client.hpp"
#include "resources/resource_table.hpp"
#include "shell/shell_resource.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class Request;

class Resource : public std::enable_shared_from_this<Resource>, public ShellResource {
public:
  static constexpr size_t kBufferSize = orvan::protocol::kControllerBlock;
  static constexpr uint32_t kDefaultIdleTimeout = 600000;
  // Bytes waiting for the controller past which a raw client is held back (or refused).
  static constexpr size_t kDefaultWriteLimit = 1 << 20;

  // Ordered by the client's control block, so an expired entry can still be found and erased.
  using SubscriberSet =
      std::set<std::weak_ptr<ResourceClient>, std::owner_less<std::weak_ptr<ResourceClient>>>;

  Resource(boost::asio::io_context& io, ResourceTable& table, uint32_t id);
  virtual ~Resource() = default;
  Resource(const Resource&) = delete;
  Resource& operator=(const Resource&) = delete;

  // One of the resource kinds (kKindTcp, ...).
  virtual uint32_t Kind() const = 0;
  // Stores the address; a transport then opens and reports the end of it (ReportOpened).
  virtual void Open(const OpenParameters& parameters);
  // The server has forgotten the resource: cancels the idle timer and posts the transport's close.
  // Nothing is written, read or timed afterwards.
  virtual void Release();
  // Whether an open of these parameters is served by this resource: the address is equal.
  // A resource on its way out serves no new open.
  virtual bool Matches(const OpenParameters& parameters) const;
  virtual std::string Describe() const { return "none"; }
  // Applies the request's operation codes and queues its command bytes, on a turn of its own.
  virtual void Submit(std::shared_ptr<Request> request);

  // The owner's reply is complete: the next queued request is served.
  void RequestDone() override;
  // Copies the bytes behind those already queued for the controller.
  void QueueWrite(const uint8_t* bytes, size_t length) override;
  // Serves nobody until the abandoned reply has ended, or the controller has echoed a token of
  // ours; a controller that stays silent meanwhile is lost.
  void ReplyAbandoned(const ReplyTracker& tracker) override;
  bool QueueFull(size_t length) const override { return writeBacklog + length > writeLimit; }
  void WhenDrained(std::weak_ptr<ResourceClient> client) override;

  // "id, address, kind, description" for the resources listing, without a line end.
  std::string ListLine() const;
  uint32_t Id() const { return id; }
  const std::string& Address() const { return address; }
  // Released, or lost its transport and asked the server to close it.
  bool Closing() const { return released || failed; }

  // Milliseconds without a write after which an unused resource closes.
  void SetIdleTimeout(uint32_t milliseconds) { idleTimeout = milliseconds; }
  size_t WriteBacklog() const { return writeBacklog; }
  void SetWriteLimit(size_t bytes) { writeLimit = bytes; }
  void SetSyncTiming(const ReplySync::Timing& timing) { syncTiming = timing; }
  // An abandoned reply is still being followed or synchronised.
  bool Syncing() const { return sync.Active(); }
  bool RecordsSeen() const { return recordsSeen; }
  const SubscriberSet& Linked() const { return linked; }
  const SubscriberSet& Messages() const { return messages; }
  const SubscriberSet& Records() const { return records; }
  const SubscriberSet& Interrupts() const { return interrupts; }

protected:
  // Closes the transport; safe to run twice. Errors are ignored.
  virtual void Close(std::shared_ptr<Resource> self) = 0;
  // Starts one transport write of the bytes; its completion calls OnWrite.
  virtual void Write(const uint8_t* bytes, size_t length) = 0;
  // Starts one read into readBuffer; its completion calls OnRead.
  virtual void StartRead() = 0;
  virtual void SetOption(uint32_t parameter, uint32_t value);
  // A write failed; the failed buffer is already dropped. The stream transports cannot tell how
  // much of it the controller got, so by default the resource ends as on a read error.
  virtual void OnWriteFailed(const boost::system::error_code& error);

  void OnRead(const boost::system::error_code& error, size_t count);
  void OnWrite(const boost::system::error_code& error, size_t count);
  // Sorts `count` bytes of readBuffer to the owner and the message subscribers.
  void ProcessInput(size_t count);
  // Fan-out of a data record, or of interrupt status bytes, that a transport told apart itself.
  void BroadcastRecord(const uint8_t* bytes, size_t length) { Broadcast(records, bytes, length); }
  // The record subscribers, for a transport that fans records out itself.
  SubscriberSet& RecordSubscribers() { return records; }
  void BroadcastInterrupt(const uint8_t* bytes, size_t length) {
    Broadcast(interrupts, bytes, length);
  }
  // Counts the live subscribers; with `closeAll` closes them. Asks the server to close this
  // resource when none is left.
  size_t CloseIfUnused(bool closeAll);
  // Ends the resource after its transport failed: every subscriber is closed.
  void Fail();
  void ArmIdleTimer();
  // Waits `delay` on the idle timer, which has no idle check to serve while an open is under
  // way; a release cancels the wait (its handler then sees an error).
  void WaitOnIdleTimer(std::chrono::milliseconds delay,
                       std::function<void(const boost::system::error_code&)> handler);
  // Starts the front buffer of the write queue unless a write is in flight.
  void WriteNext();
  // Reports the end of an open to the server, on a turn of its own.
  void ReportOpened(const boost::system::error_code& error);
  // The first step of a network open: resolves the address (IPv4) on `port` and hands the first
  // endpoint to `resolved`. Every failure, a release meanwhile included, is a failed open,
  // never an error out of the event loop.
  template <class Resolver, class Resolved>
  void ResolveForOpen(Resolver& resolver, uint16_t port, Resolved resolved);

  boost::asio::io_context& io;
  ResourceTable& server;  // the server's table of open resources
  uint32_t id;
  std::string address;
  std::array<uint8_t, kBufferSize> readBuffer{};
  bool released = false;
  bool failed = false;
  bool recordsSeen = false;  // a UDP data record has arrived

private:
  void Execute(const std::shared_ptr<Request>& request);
  void RunQueue();
  void OnIdleTimer(const boost::system::error_code& error);
  void ArmSyncTimer();
  void OnSyncTimer(const boost::system::error_code& error);
  // Abandoned reply bytes while syncing: drops them, and passes on what follows the sync's
  // end as bytes of nobody's reply.
  void TakeAbandoned(const uint8_t* bytes, size_t length, bool complete, bool binaryPart);
  void EndSync();
  void ResumeDrainWaiters();
  void Broadcast(SubscriberSet& set, const uint8_t* bytes, size_t length);
  // Delivers reply bytes to the owner, when it is still open.
  void SendOwner(const std::shared_ptr<ResourceClient>& owner, const uint8_t* bytes, size_t length,
                 bool complete, bool binaryPart);
  static size_t PruneSubscribers(SubscriberSet& set, bool closeAll);
  SubscriberSet* SetOf(int code);

  SubscriberSet linked, messages, records, interrupts;
  boost::asio::steady_timer idleTimer;
  std::weak_ptr<ResourceClient> owner;
  std::deque<std::vector<uint8_t>> writeQueue;
  std::deque<std::shared_ptr<Request>> requestQueue;
  uint32_t idleTimeout = kDefaultIdleTimeout;
  size_t writeBacklog = 0;
  size_t writeLimit = kDefaultWriteLimit;
  // Clients held back until the write queue has drained to half its limit.
  std::vector<std::weak_ptr<ResourceClient>> drainWaiters;
  ReplySync sync;
  ReplySync::Timing syncTiming;
  boost::asio::steady_timer syncTimer;
  std::chrono::steady_clock::time_point lastHeard;  // the controller's last read
  std::chrono::steady_clock::time_point nextAsk;
  std::chrono::milliseconds askWait{0};  // before the question after the next
  bool writing = false;
  // Reply and message bytes of the current read, and a binary reply that spans reads.
  orvan::protocol::ControllerInput input;
};

template <class Resolver, class Resolved>
void Resource::ResolveForOpen(Resolver& resolver, uint16_t port, Resolved resolved) {
  using Results = typename Resolver::results_type;
  try {
    platform::AsyncResolve(resolver, address, port,
                           [self = shared_from_this(), this, resolved](
                               const boost::system::error_code& error, const Results& results) {
                             if (error || released) {
                               ReportOpened(error ? error : boost::asio::error::operation_aborted);
                             } else if (results.empty()) {
                               ReportOpened(boost::asio::error::host_not_found);
                             } else {
                               resolved(results.begin()->endpoint());
                             }
                           });
  } catch (const boost::system::system_error& failure) {
    ReportOpened(failure.code());
  } catch (const std::exception&) {
    ReportOpened(boost::asio::error::no_memory);
  }
}
