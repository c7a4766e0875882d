// What the server tests share: a private data folder with a certificate, a server core on a
// thread of its own, and TLS and UDP clients whose every step has a deadline.
#pragma once

#include "core/composition_root.hpp"
#include "core/server.hpp"
#include "settings/publish_settings.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

using namespace std::chrono_literals;

// Points the program-data folder at a fresh temporary folder; returns the server folder.
std::string UseFreshDataFolder();
// Writes a self-signed certificate and key into the server folder, named by `commonName`.
void WriteCertificate(const std::string& serverFolder, const std::string& commonName);

// A server core served on its own thread, as the server thread does.
class RunningServer {
public:
  explicit RunningServer(PublishSettings settings = {}, ResourceFactory resources = MakeResource);
  ~RunningServer();
  // Runs `work` on the server's event loop and waits for its result.
  template <typename Work>
  auto OnLoop(Work work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    boost::asio::post(server->EventLoop(), [&task] { task(); });
    return result.get();
  }
  size_t Clients() {
    return OnLoop([this] { return server->Requestors().size(); });
  }
  // The run state Run returned, or -1 when it raised; waits for the thread.
  int Finish();
  // The text of the error Run raised, after Finish.
  std::string failure;

  PublishSettings settings;
  std::unique_ptr<Server> server;

private:
  std::thread thread;
  std::future<int> result;
};

class TlsClient {
public:
  TlsClient();
  bool Connect(const std::string& address = "127.0.0.1", std::chrono::milliseconds timeout = 5s);
  bool Handshake(std::chrono::milliseconds timeout = 5s);
  bool Send(const std::string& text, std::chrono::milliseconds timeout = 5s);
  // One line without its '\n'; empty on timeout or end of stream.
  std::string ReadLine(std::chrono::milliseconds timeout = 5s);
  // Received bytes up to and with the first of `ends`; empty on timeout or end of stream.
  std::string ReadThrough(const std::string& ends, std::chrono::milliseconds timeout = 5s);
  // Exactly `count` received bytes; empty on timeout or end of stream.
  std::string ReadCount(size_t count, std::chrono::milliseconds timeout = 5s);
  // True when the server closed the connection within the timeout.
  bool WaitClosed(std::chrono::milliseconds timeout);
  boost::asio::ip::tcp::socket& Socket() { return stream.next_layer(); }
  SSL* Native() { return stream.native_handle(); }

private:
  bool RunFor(std::chrono::milliseconds timeout, const bool& done);
  // Reads until `length` (given the bytes so far) is non-zero, then takes that many bytes.
  std::string ReadWhile(const std::function<size_t(const std::string&)>& length,
                        std::chrono::milliseconds timeout);
  boost::asio::io_context io;
  boost::asio::ssl::context context{boost::asio::ssl::context::tls_client};
  boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream{io, context};
  std::string received;
};

class UdpClient {
public:
  explicit UdpClient(const std::string& from = "127.0.0.1", uint16_t port = 0);
  void Send(const std::string& text, const std::string& to = "127.0.0.1");
  // One datagram; empty on timeout.
  std::string Receive(std::chrono::milliseconds timeout = 5s);
  uint16_t Port() const { return socket.local_endpoint().port(); }

private:
  boost::asio::io_context io;
  boost::asio::ip::udp::socket socket{io};
};
