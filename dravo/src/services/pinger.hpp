// One shell "ping": resolves the address, sends ICMP echo requests one second apart from a raw
// socket of its own, matches the replies and answers the client connection that asked, one
// line per echo. Lives on the server's event loop as long as it has work outstanding.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/icmp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Requestor;

class Pinger : public std::enable_shared_from_this<Pinger> {
public:
  // How long an echo waits for its reply, and so the pace of the echoes.
  static constexpr std::chrono::seconds kEchoInterval{1};
  static constexpr std::size_t kReceiveSize = 65536;

  // Opens the raw socket; throws its error ("open") when the process may not.
  explicit Pinger(boost::asio::io_context& io);
  ~Pinger();
  Pinger(const Pinger&) = delete;
  Pinger& operator=(const Pinger&) = delete;

  // Resolves the address and pings it `count` times (at least once); returns at once. The
  // pinger never keeps the requestor alive, and answers only while it is open.
  void Start(const std::string& address, int count, std::weak_ptr<Requestor> requestor);
  // Idempotent: no further echo or answer; pending operations end cancelled.
  void Close();
  bool Ended() const { return ended; }
  // Called once, on the event loop, when the pinger ends for any reason.
  std::function<void()> onEnded;

private:
  void OnResolve(const boost::system::error_code& error,
                 const boost::asio::ip::icmp::resolver::results_type& results);
  void SendEcho();
  void StartReceive();
  void OnReceive(const boost::system::error_code& error, std::size_t count);
  void OnTimer(const boost::system::error_code& error);
  // The asking connection, or null when it has gone or is closed.
  std::shared_ptr<Requestor> LiveRequestor() const;
  void Answer(const std::string& line);

  boost::asio::ip::icmp::resolver resolver;
  boost::asio::ip::icmp::socket socket;
  boost::asio::steady_timer timer;
  boost::asio::ip::icmp::endpoint destination;
  std::uint16_t sequenceNumber = 0;
  // A steady clock: a change of the wall clock must not show as an echo's time.
  std::chrono::steady_clock::time_point timeSent;
  std::vector<std::uint8_t> replyBuffer;
  boost::asio::ip::icmp::endpoint sender;
  std::weak_ptr<Requestor> requestor;
  int count = 0;
  bool replied = false;
  bool receiving = false;
  bool ended = false;
};
