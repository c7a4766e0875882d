#include "discovery/ping.hpp"

#include "core/blocking_step.hpp"
#include "protocol/icmp_echo.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

namespace orvan {

namespace asio = boost::asio;
using asio::ip::icmp;

namespace {

// Every echo of the process gets its own sequence number, so echoes in flight at once (one
// raw identifier for all) are told apart.
std::uint16_t NextSequence() {
  static std::atomic<std::uint16_t> sequence{0};
  return static_cast<std::uint16_t>(++sequence);
}

const std::array<std::uint8_t, IcmpEcho::kPayloadSize>& Payload() {
  static const auto payload = [] {
    std::array<std::uint8_t, IcmpEcho::kPayloadSize> bytes{};
    std::memcpy(bytes.data(), protocol::kEchoBody, protocol::kEchoBodySize);
    return bytes;
  }();
  return payload;
}

}  // namespace

std::optional<asio::ip::address_v4> ClassicIpv4Address(const std::string& text) {
  in_addr address{};
  if (text.find('\0') != std::string::npos || inet_aton(text.c_str(), &address) == 0)
    return std::nullopt;
  if (address.s_addr == INADDR_NONE) return std::nullopt;
  return asio::ip::address_v4(ntohl(address.s_addr));
}

std::uint16_t RawEchoIdentifier() {
  return static_cast<std::uint16_t>((static_cast<unsigned>(getpid()) & 0xFFFFu) ^ 0x4F52u);
}

bool AnswersEcho(std::uint8_t type, std::uint16_t identifier, std::uint16_t sequence,
                 std::uint32_t source, std::uint16_t sentIdentifier, std::uint16_t sentSequence,
                 std::uint32_t destination) {
  return type == protocol::kIcmpEchoReply && identifier == sentIdentifier &&
         sequence == sentSequence && source == destination;
}

IcmpEcho::IcmpEcho(asio::io_context& io) : socket(io), timer(io) {}

IcmpEcho::~IcmpEcho() = default;

int IcmpEcho::Open() {
  // Unprivileged processes get the datagram socket where ping_group_range lets them; the
  // kernel then chooses the identifier and hands this socket only its own replies.
  const int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  boost::system::error_code error;
  if (handle >= 0) {
    socket.assign(icmp::v4(), handle, error);
    if (error) {
      ::close(handle);
      return kPingNoHandle;
    }
    socket.bind(icmp::endpoint(icmp::v4(), 0), error);
    if (!error) {
      const auto local = socket.local_endpoint(error);
      if (!error) identifier = local.port();
    }
    if (error) return kPingFailed;
    datagram = true;
    return kPingAnswered;
  }
  socket.open(icmp::v4(), error);
  if (error) return kPingNoHandle;
  identifier = RawEchoIdentifier();
  return kPingAnswered;
}

void IcmpEcho::Start(const std::string& address, std::chrono::steady_clock::time_point deadline,
                     Done handler) {
  done = std::move(handler);
  const auto parsed = ClassicIpv4Address(address);
  int status = parsed ? Open() : kPingInvalidAddress;
  if (status != kPingAnswered) {
    // Reported from the context like every other outcome, never from inside Start.
    asio::post(socket.get_executor(),
               [self = shared_from_this(), status] { self->Finish(status); });
    return;
  }
  destination = *parsed;
  sequence = NextSequence();
  timer.expires_at(deadline);
  timer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    if (!error) self->Finish(kPingTimedOut);
  });
  const auto request =
      protocol::EchoRequest(identifier, sequence, Payload().data(), Payload().size());
  boost::system::error_code error;
  socket.send_to(asio::buffer(request), icmp::endpoint(destination, 0), 0, error);
  if (error) {
    asio::post(socket.get_executor(), [self = shared_from_this()] { self->Finish(kPingFailed); });
    return;
  }
  StartReceive();
}

void IcmpEcho::StartReceive() {
  socket.async_receive_from(
      asio::buffer(reply), sender,
      [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
        self->OnReceive(error, count);
      });
}

void IcmpEcho::OnReceive(const boost::system::error_code& error, std::size_t count) {
  if (finished) return;
  if (error) {
    Finish(kPingFailed);
    return;
  }
  // A raw socket hears every ICMP message of the host with its IPv4 header; a datagram socket
  // hears its own replies without it.
  std::optional<protocol::IcmpMessage> message;
  std::uint32_t source = sender.address().is_v4() ? sender.address().to_v4().to_uint() : 0;
  if (datagram) {
    message = protocol::ParseIcmpMessage(reply.data(), count);
  } else if (const auto parsed = protocol::ParseIcmpDatagram(reply.data(), count)) {
    message = parsed->message;
    source = parsed->source;
  }
  if (message && AnswersEcho(message->type, message->identifier, message->sequence, source,
                             identifier, sequence, destination.to_uint())) {
    Finish(kPingAnswered);
    return;
  }
  StartReceive();
}

void IcmpEcho::Finish(int status) {
  if (finished) return;
  finished = true;
  timer.cancel();
  boost::system::error_code ignored;
  socket.close(ignored);
  if (done) {
    auto handler = std::move(done);
    handler(status);
  }
}

int Ping(asio::io_context& io, const std::string& address) {
  try {
    if (!ClassicIpv4Address(address)) return kPingInvalidAddress;
    auto echo = std::make_shared<IcmpEcho>(io);
    // Shared with the handler: an echo left pending by a failed wait must not write here.
    auto status = std::make_shared<int>(-1);
    echo->Start(address, std::chrono::steady_clock::now() + IcmpEcho::kTimeout,
                [status](int outcome) { *status = outcome; });
    // The echo's own timer ends it; the step's deadline only guards against a stopped clock.
    BlockingStep step(io);
    step.Run(static_cast<int32_t>(IcmpEcho::kTimeout.count()) * 5, [&] { return *status >= 0; });
    return *status;
  } catch (const std::bad_alloc&) {
    return kPingNoMemory;
  } catch (const OrvanError&) {
    return kPingFailed;
  }
}

}  // namespace orvan
