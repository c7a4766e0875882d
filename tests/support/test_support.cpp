// The shared test helpers.
#include "support/test_support.hpp"

#include "fakes/self_signed_certificate.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <openssl/pem.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

std::string UseFreshDataFolder() {
  // Made inside the folder the program was started with, which the network-namespace runner
  // removes when the program ends; /tmp when started without one.
  static const std::string parent = [] {
    const char* given = std::getenv("ORVAN_PROGRAM_DATA");
    return std::string(given && *given ? given : "/tmp");
  }();
  std::string pattern = parent + "/dravo-test-XXXXXX";
  const char* folder = mkdtemp(pattern.data());
  if (!folder) throw std::runtime_error("mkdtemp");
  setenv("ORVAN_PROGRAM_DATA", folder, 1);
  const std::string serverFolder = std::string(folder) + "/Orvan/dravo";
  std::filesystem::create_directories(serverFolder);
  return serverFolder;
}

void WriteCertificate(const std::string& serverFolder, const std::string& commonName) {
  const auto made = orvan::fakes::MakeSelfSignedCertificate(commonName, 3600);
  // Written to new files and renamed, as a replacement of the pair would be.
  FILE* keyFile = std::fopen((serverFolder + "/key.pem.new").c_str(), "w");
  PEM_write_PrivateKey(keyFile, made.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(keyFile);
  FILE* certificateFile = std::fopen((serverFolder + "/cert.pem.new").c_str(), "w");
  PEM_write_X509(certificateFile, made.certificate.get());
  std::fclose(certificateFile);
  std::filesystem::rename(serverFolder + "/key.pem.new", serverFolder + "/key.pem");
  std::filesystem::rename(serverFolder + "/cert.pem.new", serverFolder + "/cert.pem");
}

RunningServer::RunningServer(PublishSettings publish, ResourceFactory resources)
    : settings(std::move(publish)),
      server(std::make_unique<Server>(DefaultShellFactory(), std::move(resources))) {
  std::packaged_task<int()> run([this] {
    try {
      return server->Run(&settings);
    } catch (const std::exception& error) {
      failure = error.what();
      return -1;
    }
  });
  result = run.get_future();
  thread = std::thread(std::move(run));
  // Posted work runs only once Run has its listeners up; a failed start drops it unrun.
  auto listening = std::make_shared<std::promise<void>>();
  auto ready = listening->get_future();
  boost::asio::post(server->EventLoop(), [listening] { listening->set_value(); });
  listening.reset();
  while (ready.wait_for(10ms) != std::future_status::ready &&
         result.wait_for(0s) != std::future_status::ready) {
  }
}

RunningServer::~RunningServer() {
  if (thread.joinable()) {
    server->Shutdown();
    thread.join();
  }
}

int RunningServer::Finish() {
  const int state = result.get();
  thread.join();
  return state;
}

TlsClient::TlsClient() { context.set_verify_mode(boost::asio::ssl::verify_none); }

bool TlsClient::RunFor(std::chrono::milliseconds timeout, const bool& done) {
  io.restart();
  io.run_for(timeout);
  if (done) return true;
  boost::system::error_code ignored;
  Socket().close(ignored);  // ends the pending operation
  io.restart();
  io.run_for(1s);
  return false;
}

bool TlsClient::Connect(const std::string& address, std::chrono::milliseconds timeout) {
  bool done = false;
  boost::system::error_code result;
  Socket().async_connect({boost::asio::ip::make_address(address), 23},
                         [&](const boost::system::error_code& error) {
                           result = error;
                           done = true;
                         });
  return RunFor(timeout, done) && !result;
}

bool TlsClient::Handshake(std::chrono::milliseconds timeout) {
  bool done = false;
  boost::system::error_code result;
  stream.async_handshake(boost::asio::ssl::stream_base::client,
                         [&](const boost::system::error_code& error) {
                           result = error;
                           done = true;
                         });
  return RunFor(timeout, done) && !result;
}

bool TlsClient::Send(const std::string& text, std::chrono::milliseconds timeout) {
  bool done = false;
  boost::system::error_code result;
  boost::asio::async_write(stream, boost::asio::buffer(text),
                           [&](const boost::system::error_code& error, size_t) {
                             result = error;
                             done = true;
                           });
  return RunFor(timeout, done) && !result;
}

std::string TlsClient::ReadLine(std::chrono::milliseconds timeout) {
  bool done = false;
  boost::system::error_code result;
  size_t length = 0;
  boost::asio::async_read_until(stream, boost::asio::dynamic_buffer(received), '\n',
                                [&](const boost::system::error_code& error, size_t count) {
                                  result = error;
                                  length = count;
                                  done = true;
                                });
  if (!RunFor(timeout, done) || result) return "";
  std::string line = received.substr(0, length - 1);
  received.erase(0, length);
  return line;
}

std::string TlsClient::ReadWhile(const std::function<size_t(const std::string&)>& length,
                                 std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (length(received) == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    bool done = false;
    boost::system::error_code result;
    std::array<char, 1024> chunk{};
    stream.async_read_some(boost::asio::buffer(chunk),
                           [&](const boost::system::error_code& error, size_t count) {
                             result = error;
                             received.append(chunk.data(), count);
                             done = true;
                           });
    if (!RunFor(left, done) || result) return "";
  }
  const size_t taken = length(received);
  std::string bytes = received.substr(0, taken);
  received.erase(0, taken);
  return bytes;
}

std::string TlsClient::ReadThrough(const std::string& ends, std::chrono::milliseconds timeout) {
  return ReadWhile(
      [&ends](const std::string& bytes) {
        const size_t found = bytes.find_first_of(ends);
        return found == std::string::npos ? 0 : found + 1;
      },
      timeout);
}

std::string TlsClient::ReadCount(size_t count, std::chrono::milliseconds timeout) {
  return ReadWhile([count](const std::string& bytes) { return bytes.size() >= count ? count : 0; },
                   timeout);
}

bool TlsClient::WaitClosed(std::chrono::milliseconds timeout) {
  // Reads on the bare socket, so it also sees the close of a client that never shook hands.
  bool done = false;
  boost::system::error_code result;
  char byte;
  Socket().async_read_some(boost::asio::buffer(&byte, 1),
                           [&](const boost::system::error_code& error, size_t) {
                             result = error;
                             done = true;
                           });
  return RunFor(timeout, done) && result;
}

UdpClient::UdpClient(const std::string& from, uint16_t port) {
  socket.open(boost::asio::ip::udp::v4());
  socket.bind({boost::asio::ip::make_address(from), port});
}

void UdpClient::Send(const std::string& text, const std::string& to) {
  socket.send_to(boost::asio::buffer(text), {boost::asio::ip::make_address(to), 23});
}

std::string UdpClient::Receive(std::chrono::milliseconds timeout) {
  std::string datagram(2048, '\0');
  bool done = false;
  size_t length = 0;
  socket.async_receive(boost::asio::buffer(datagram),
                       [&](const boost::system::error_code& error, size_t count) {
                         if (!error) length = count;
                         done = true;
                       });
  io.restart();
  io.run_for(timeout);
  if (!done) {
    socket.cancel();
    io.restart();
    io.run();
  }
  datagram.resize(length);
  return datagram;
}
