// One ICMP echo to a dotted IPv4 address, for callers without a connection: `Ping` blocks on
// the caller's I/O context; `IcmpEcho` is the same echo as an asynchronous object, so discovery
// can check many hosts inside one shared window. An ICMP datagram socket is used where the
// system allows it, else a raw socket whose identifier is never the server pinger's (the low
// 16 bits of the process id), so the two never take each other's replies.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/icmp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace orvan {

// What a ping reports.
enum PingStatus : int {
  kPingTimedOut = 0,
  kPingAnswered = 1,
  kPingInvalidAddress = 3,
  kPingNoHandle = 4,
  kPingNoMemory = 5,
  kPingFailed = 6,
};

class IcmpEcho : public std::enable_shared_from_this<IcmpEcho> {
public:
  static constexpr std::chrono::milliseconds kTimeout{1000};
  // The echo's payload: the text and 12 zero bytes.
  static constexpr std::size_t kPayloadSize = 32;
  static constexpr std::size_t kReplyBufferSize = 512;
  using Done = std::function<void(int status)>;

  explicit IcmpEcho(boost::asio::io_context& io);
  ~IcmpEcho();
  IcmpEcho(const IcmpEcho&) = delete;
  IcmpEcho& operator=(const IcmpEcho&) = delete;

  // Sends one echo to `address` and calls `done` once, from the context, with a PingStatus:
  // answered, or timed out at `deadline`, or the failure.
  void Start(const std::string& address, std::chrono::steady_clock::time_point deadline, Done done);
  bool UsesDatagramSocket() const { return datagram; }

private:
  int Open();
  void StartReceive();
  void OnReceive(const boost::system::error_code& error, std::size_t count);
  void Finish(int status);

  boost::asio::ip::icmp::socket socket;
  boost::asio::steady_timer timer;
  boost::asio::ip::address_v4 destination;
  std::uint16_t identifier = 0;
  std::uint16_t sequence = 0;
  bool datagram = false;
  bool finished = false;
  std::array<std::uint8_t, kReplyBufferSize> reply{};
  boost::asio::ip::icmp::endpoint sender;
  Done done;
};

// The dotted address as the classic conversion reads it ("10.1", "0x0A.0.0.1" too); none for
// text it refuses and for 255.255.255.255, which it cannot tell from a refusal.
std::optional<boost::asio::ip::address_v4> ClassicIpv4Address(const std::string& text);

// The identifier of echoes from a raw socket: the process id's low 16 bits changed, so it is
// never the server pinger's.
std::uint16_t RawEchoIdentifier();

// Whether an arriving ICMP message answers the echo: an echo reply with its identifier and
// sequence number, from the pinged address.
bool AnswersEcho(std::uint8_t type, std::uint16_t identifier, std::uint16_t sequence,
                 std::uint32_t source, std::uint16_t sentIdentifier, std::uint16_t sentSequence,
                 std::uint32_t destination);

// One echo, waited for on the caller's context for at most 1000 ms: a PingStatus.
int Ping(boost::asio::io_context& io, const std::string& address);

}  // namespace orvan
