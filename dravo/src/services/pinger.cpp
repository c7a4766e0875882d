#include "services/pinger.hpp"

#include "clients/requestor.hpp"
#include "platform/resolve.hpp"
#include "protocol/icmp_echo.hpp"
#include "shell/shell.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>

#include <unistd.h>

#include <algorithm>
#include <array>

namespace asio = boost::asio;
using asio::ip::icmp;

namespace {

// Every pinger of the process sends with this identifier.
std::uint16_t EchoIdentifier() { return static_cast<std::uint16_t>(::getpid() & 0xFFFF); }

// The code of a failed answer: the client sees the error terminator alone.
constexpr int kFailure = 2;

}  // namespace

Pinger::Pinger(asio::io_context& context)
    : resolver(context), socket(context, icmp::v4()), timer(context) {}

Pinger::~Pinger() = default;

void Pinger::Start(const std::string& address, int echoes, std::weak_ptr<Requestor> asker) {
  // A count of 0 or less means one echo, the last; held so, the countdown never wraps.
  count = std::max(echoes, 1);
  requestor = std::move(asker);
  platform::AsyncResolve(resolver, address,
                         [self = shared_from_this()](const boost::system::error_code& error,
                                                     const icmp::resolver::results_type& results) {
                           self->OnResolve(error, results);
                         });
}

void Pinger::Close() {
  if (ended) return;
  ended = true;
  resolver.cancel();
  timer.cancel();
  boost::system::error_code ignored;
  socket.close(ignored);
  if (onEnded) {
    const auto callback = std::move(onEnded);
    onEnded = nullptr;
    callback();
  }
}

std::shared_ptr<Requestor> Pinger::LiveRequestor() const {
  auto asker = requestor.lock();
  if (!asker || asker->Closed()) return nullptr;
  return asker;
}

void Pinger::Answer(const std::string& line) {
  if (const auto asker = LiveRequestor())
    asker->GetShell().Send(reinterpret_cast<const std::uint8_t*>(line.data()), line.size(), false,
                           false);
}

void Pinger::OnResolve(const boost::system::error_code& error,
                       const icmp::resolver::results_type& results) {
  if (ended) return;
  if (error || results.empty()) {
    if (const auto asker = LiveRequestor()) {
      asker->GetShell().SetLastError("Ping Resolve failed");
      asker->GetShell().Reply(kFailure, "");
    }
    Close();
    return;
  }
  destination = *results.begin();
  SendEcho();
  StartReceive();
}

void Pinger::SendEcho() {
  ++sequenceNumber;
  const auto request = std::make_shared<std::array<std::uint8_t, orvan::protocol::kServerEchoSize>>(
      orvan::protocol::ServerEchoRequest(EchoIdentifier(), sequenceNumber));
  timeSent = std::chrono::steady_clock::now();
  // An echo that fails to leave simply goes unanswered.
  socket.async_send_to(asio::buffer(*request), destination,
                       [request](const boost::system::error_code&, std::size_t) {});
  replied = false;
  timer.expires_at(timeSent + kEchoInterval);
  timer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    self->OnTimer(error);
  });
}

void Pinger::StartReceive() {
  // One receive at a time: one still pending from an unanswered echo serves the next one too.
  if (receiving || ended) return;
  receiving = true;
  replyBuffer.resize(kReceiveSize);
  socket.async_receive_from(
      asio::buffer(replyBuffer), sender,
      [self = shared_from_this()](const boost::system::error_code& error, std::size_t received) {
        self->OnReceive(error, received);
      });
}

void Pinger::OnReceive(const boost::system::error_code& error, std::size_t received) {
  receiving = false;
  if (error || ended) return;
  const auto datagram = orvan::protocol::ParseIcmpDatagram(replyBuffer.data(), received);
  // The socket hears every ICMP message to this host, the replies to other pingers among them:
  // they carry the same identifier and sequence numbers, but come from another address.
  const bool ours = datagram && datagram->message.type == orvan::protocol::kIcmpEchoReply &&
                    datagram->message.identifier == EchoIdentifier() &&
                    datagram->message.sequence == sequenceNumber &&
                    datagram->source == destination.address().to_v4().to_uint() && !replied;
  if (!ours) {
    StartReceive();
    return;
  }
  replied = true;
  const auto asker = LiveRequestor();
  if (!asker) return;
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - timeSent);
  const std::string line = std::to_string(received - datagram->headerLength) + " bytes from " +
                           asio::ip::address_v4(datagram->source).to_string() +
                           ": icmp_seq=" + std::to_string(datagram->message.sequence) +
                           ", ttl=" + std::to_string(datagram->timeToLive) +
                           ", time=" + std::to_string(elapsed.count() / 1000) + " ms\r\n";
  if (--count > 0) {
    Answer(line);  // the next echo leaves when the timer expires
    return;
  }
  asker->GetShell().Reply(0, line);
  Close();
}

void Pinger::OnTimer(const boost::system::error_code& error) {
  if (error || ended) return;
  const auto asker = LiveRequestor();
  if (!asker) {
    Close();
    return;
  }
  if (!replied) {
    if (--count > 0) {
      Answer("Request timed out\r\n");
    } else {
      asker->GetShell().SetLastError("Request timed out");
      asker->GetShell().Reply(kFailure, "");
    }
  }
  if (count <= 0) {
    Close();
    return;
  }
  SendEcho();
  StartReceive();
}
