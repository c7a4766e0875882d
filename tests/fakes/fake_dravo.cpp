// The fake server: one event loop thread serving a TLS listener and a UDP socket on the same
// port, each client with its own small shell state.
#include "fakes/fake_dravo.hpp"

#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>
#include <deque>
#include <future>
#include <sstream>
#include <stdexcept>

namespace orvan::fakes {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

constexpr char kEscape = 0x1B;
enum Stream { kMessages, kRecords, kInterrupts };

// A fresh self-signed certificate in memory; the client does not check it.
void UseSelfSignedCertificate(ssl::context& context) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  if (!key || !certificate) throw std::runtime_error("fake dravo: no key");
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("fake dravo"), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  X509_sign(certificate, key, EVP_sha256());
  SSL_CTX_use_certificate(context.native_handle(), certificate);
  SSL_CTX_use_PrivateKey(context.native_handle(), key);
  // As the real server: no tickets, so no record without data waits on the client's socket.
  SSL_CTX_set_num_tickets(context.native_handle(), 0);
  X509_free(certificate);
  EVP_PKEY_free(key);
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The value after an option word, or the fallback.
std::string ValueOf(const std::vector<std::string>& words, const std::string& shortName,
                    const std::string& longName, const std::string& fallback) {
  for (size_t i = 1; i + 1 < words.size(); ++i) {
    if (words[i] == shortName || words[i] == longName) return words[i + 1];
  }
  return fallback;
}

bool Has(const std::vector<std::string>& words, const std::string& word) {
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i] == word) return true;
  }
  return false;
}

}  // namespace

struct FakeDravo::Session {
  bool udp = false;
  std::function<void(const std::string&)> send;
  std::function<void()> close;
  int mode = 0;
  uint32_t pass = 0;
  bool escape = false;
  std::string line;
  std::array<bool, 3> subscribed{};
};

class FakeDravo::TlsSession : public std::enable_shared_from_this<TlsSession> {
public:
  TlsSession(FakeDravo& owner, tcp::socket socket, ssl::context& context)
      : state(std::make_shared<Session>()), owner_(owner), stream_(std::move(socket), context) {}

  void Start() {
    std::weak_ptr<TlsSession> weak = shared_from_this();
    state->send = [weak](const std::string& bytes) {
      if (auto self = weak.lock()) self->Write(bytes);
    };
    state->close = [weak] {
      if (auto self = weak.lock()) self->Close();
    };
    stream_.async_handshake(ssl::stream_base::server,
                            [self = shared_from_this()](const boost::system::error_code& error) {
                              if (!error) self->Read();
                            });
  }

  void Read() {
    stream_.async_read_some(
        asio::buffer(buffer_),
        [self = shared_from_this()](const boost::system::error_code& error, size_t count) {
          if (error) return self->Close();
          const std::string bytes(self->buffer_.data(), count);
          {
            std::lock_guard<std::mutex> guard(self->owner_.lock_);
            self->owner_.tlsBytes_ += bytes;
            self->owner_.tlsReads_.push_back(bytes);
          }
          self->owner_.changed_.notify_all();
          self->owner_.Consume(self->state, bytes);
          bool stalled = false;
          {
            std::lock_guard<std::mutex> guard(self->owner_.lock_);
            stalled = self->owner_.stopReading_;
          }
          if (!stalled && self->stream_.next_layer().is_open()) self->Read();
        });
  }

  void Write(const std::string& bytes) {
    if (!stream_.next_layer().is_open()) return;
    queue_.push_back(bytes);
    if (queue_.size() == 1) WriteNext();
  }

  void Close() {
    boost::system::error_code ignored;
    stream_.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.next_layer().close(ignored);
  }

  bool IsOpen() { return stream_.next_layer().is_open(); }

  std::shared_ptr<Session> state;

private:
  void WriteNext() {
    asio::async_write(stream_, asio::buffer(queue_.front()),
                      [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                        if (error || self->queue_.empty()) return;
                        self->queue_.pop_front();
                        if (!self->queue_.empty()) self->WriteNext();
                      });
  }

  FakeDravo& owner_;
  ssl::stream<tcp::socket> stream_;
  std::array<char, 449> buffer_{};
  std::deque<std::string> queue_;
};

struct FakeDravo::Sockets {
  explicit Sockets(asio::io_context& io) : acceptor(io), udpSocket(io) {}
  ssl::context context{ssl::context::tls_server};
  tcp::acceptor acceptor;
  udp::socket udpSocket;
  udp::endpoint sender;
  std::array<char, 2048> datagram{};
  std::map<udp::endpoint, std::shared_ptr<Session>> udpSessions;
  // Held here too, so a client that is no longer read from stays connected.
  std::vector<std::shared_ptr<TlsSession>> tlsSessions;
};

FakeDravo::FakeDravo(FakeDravoSettings settings)
    : settings_(std::move(settings)), linkFailures_(settings_.linkFailures) {}

FakeDravo::~FakeDravo() { Stop(); }

void FakeDravo::Start() {
  sockets_ = std::make_unique<Sockets>(io_);
  UseSelfSignedCertificate(sockets_->context);
  const auto address = asio::ip::make_address_v4(settings_.address);
  tcp::endpoint listen(address, settings_.port);
  sockets_->acceptor.open(tcp::v4());
  sockets_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  sockets_->acceptor.bind(listen);
  sockets_->acceptor.listen();
  sockets_->udpSocket.open(udp::v4());
  sockets_->udpSocket.bind(udp::endpoint(address, settings_.port));
  Accept();
  ReceiveDatagram();
  thread_ = std::thread([this] { io_.run(); });
}

void FakeDravo::Stop() {
  if (!thread_.joinable()) return;
  OnLoop([this] {
    boost::system::error_code ignored;
    sockets_->acceptor.close(ignored);
    sockets_->udpSocket.close(ignored);
    for (auto& session : sockets_->tlsSessions) session->Close();
    sockets_->tlsSessions.clear();
  });
  io_.stop();
  thread_.join();
  sockets_.reset();
}

void FakeDravo::OnLoop(std::function<void()> work) {
  std::promise<void> done;
  asio::post(io_, [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

void FakeDravo::Accept() {
  sockets_->acceptor.async_accept(
      [this](const boost::system::error_code& error, tcp::socket socket) {
        if (error) return;
        auto session = std::make_shared<TlsSession>(*this, std::move(socket), sockets_->context);
        sockets_->tlsSessions.push_back(session);
        session->Start();
        changed_.notify_all();
        Accept();
      });
}

void FakeDravo::ReceiveDatagram() {
  sockets_->udpSocket.async_receive_from(
      asio::buffer(sockets_->datagram), sockets_->sender,
      [this](const boost::system::error_code& error, size_t count) {
        if (error) {
          if (sockets_->udpSocket.is_open()) ReceiveDatagram();
          return;
        }
        const std::string bytes(sockets_->datagram.data(), count);
        {
          std::lock_guard<std::mutex> guard(lock_);
          udpBytes_ += bytes;
        }
        changed_.notify_all();
        auto& session = sockets_->udpSessions[sockets_->sender];
        if (!session) {
          session = std::make_shared<Session>();
          session->udp = true;
          const udp::endpoint peer = sockets_->sender;
          session->send = [this, peer](const std::string& reply) {
            boost::system::error_code ignored;
            sockets_->udpSocket.send_to(asio::buffer(reply), peer, 0, ignored);
          };
          session->close = [this, peer] { sockets_->udpSessions.erase(peer); };
        }
        auto held = session;  // a quit erases the map entry while the shell still runs
        Consume(held, bytes);
        ReceiveDatagram();
      });
}

void FakeDravo::Consume(const std::shared_ptr<Session>& session, const std::string& bytes) {
  Session& s = *session;
  for (const char byte : bytes) {
    if (s.pass > 0) {
      --s.pass;
    } else if (byte == kEscape) {
      s.escape = true;
      continue;
    } else if (s.escape) {
      s.escape = false;
      switch (byte | 0x20) {
        case 'c':
          s.mode = 2;
          s.line.clear();
          break;
        case 'r':
          if (s.mode != 1) s.line.clear();
          s.mode = 1;
          break;
        case 's':
          if (s.mode != 0) s.line.clear();
          s.mode = 0;
          break;
        case 'm':
          s.subscribed[kMessages] = !s.subscribed[kMessages];
          break;
        case 'd':
          s.subscribed[kRecords] = !s.subscribed[kRecords];
          break;
        case 'i':
          s.subscribed[kInterrupts] = !s.subscribed[kInterrupts];
          break;
        default:
          break;
      }
      continue;
    }
    if (s.mode == 0) {
      if (byte == '\r') {
        const std::string line = s.line;
        s.line.clear();
        Execute(session, line);
      } else {
        s.line += byte;
      }
    } else if (s.mode == 2) {
      if (byte == '\r' || byte == ';') {
        const std::string command = s.line;
        s.line.clear();
        Answer(session, command);
      } else {
        s.line += byte;
      }
    }
  }
}

void FakeDravo::Execute(const std::shared_ptr<Session>& session, const std::string& raw) {
  const std::string line = boost::algorithm::trim_copy(raw);
  std::string scripted;
  bool hasScript = false;
  bool refuseLink = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    shellLines_.push_back((session->udp ? "udp " : "tcp ") + line);
    const auto found = shellScripts_.find(line);
    if (found != shellScripts_.end()) {
      scripted = found->second;
      hasScript = true;
    }
  }
  changed_.notify_all();
  if (hasScript) return session->send(scripted);
  const auto words = Words(line);
  if (words.empty()) return session->send("~");
  const std::string& word = words[0];
  if (word == "a" || word == "admin") {
    if (Has(words, "-c")) return session->send(settings_.compatibility + "\r\n~");
    if (Has(words, "-v")) return session->send("1.33.4\r\n~");
    return session->send("~");
  }
  if (word == "o" || word == "open") return session->send("~");
  if (word == "l" || word == "link") {
    const int mode = std::stoi(ValueOf(words, "-m", "--mode", "0"));
    session->pass = static_cast<uint32_t>(std::stoul(ValueOf(words, "--pass", "--pass", "0")));
    session->mode = mode == 1 ? 1 : mode == 2 ? 2 : 0;
    if (Has(words, "--address") || Has(words, "-a")) {
      std::lock_guard<std::mutex> guard(lock_);
      if (linkFailures_ > 0) {
        --linkFailures_;
        refuseLink = true;
      }
    }
    if (refuseLink) return session->send("\\");
    return session->send(session->mode == 0 ? "1\r\n~" : "~");
  }
  if (word == "q" || word == "quit" || word == "exit") {
    if (words.size() > 1) return session->send("Delete requestor in dravo, disconnects client.\n~");
    return session->close();
  }
  if (word == "r" || word == "resources") {
    return session->send(Has(words, "-s") ? "~" : "tcp 127.0.0.2\r\n~");
  }
  if (word == "noip") return session->send(words.size() == 1 ? "no requests\r\n~" : "~");
  if (word == "servers") return session->send("other server\n~");
  if (word == "connections") return session->send("127.0.0.1\n~");
  if (word == "te" || word == "ctrl" || word == "assign" || word == "publish") {
    return session->send("~");
  }
  session->send("\\");
}

void FakeDravo::Answer(const std::shared_ptr<Session>& session, const std::string& raw) {
  std::string command = raw;
  if (!command.empty() && command.front() == '\n') command.erase(0, 1);
  std::string reply;
  {
    std::lock_guard<std::mutex> guard(lock_);
    commands_.push_back(command);
    const auto found = commandScripts_.find(command);
    if (found != commandScripts_.end()) {
      reply = found->second;
    } else if (silent_) {
      reply.clear();
    } else if (command == "\x12\x16") {
      reply = "VKT4140 Rev 1.0b\r\n:";
    } else if (command == "MG_BN{Z10.0}") {
      reply = "1234\r\n:";
    } else if (command.size() > 4 && command.compare(0, 4, "MG \"") == 0 && command.back() == '"') {
      reply = command.substr(4, command.size() - 5) + "\r\n:";
    } else {
      reply = ":";
    }
  }
  changed_.notify_all();
  if (!reply.empty()) session->send(reply);
}

void FakeDravo::Broadcast(int stream, const std::string& bytes) {
  OnLoop([&] {
    for (auto& [peer, session] : sockets_->udpSessions) {
      if (session->subscribed[stream]) session->send(bytes);
    }
  });
}

void FakeDravo::SendMessage(const std::string& text) { Broadcast(kMessages, text); }
void FakeDravo::SendRecord(const std::string& record) { Broadcast(kRecords, record); }
void FakeDravo::SendInterrupt(const std::string& status) { Broadcast(kInterrupts, status); }

void FakeDravo::DropClients() {
  OnLoop([this] {
    for (auto& session : sockets_->tlsSessions) session->Close();
  });
}

void FakeDravo::ScriptShell(const std::string& line, const std::string& answer) {
  std::lock_guard<std::mutex> guard(lock_);
  shellScripts_[line] = answer;
}

void FakeDravo::ScriptCommand(const std::string& command, const std::string& answer) {
  std::lock_guard<std::mutex> guard(lock_);
  commandScripts_[command] = answer;
}

void FakeDravo::SetSilent(bool silent) {
  std::lock_guard<std::mutex> guard(lock_);
  silent_ = silent;
}

void FakeDravo::StopReading() {
  std::lock_guard<std::mutex> guard(lock_);
  stopReading_ = true;
}

std::string FakeDravo::TlsBytes() {
  std::lock_guard<std::mutex> guard(lock_);
  return tlsBytes_;
}

std::vector<std::string> FakeDravo::TlsReads() {
  std::lock_guard<std::mutex> guard(lock_);
  return tlsReads_;
}

std::string FakeDravo::UdpBytes() {
  std::lock_guard<std::mutex> guard(lock_);
  return udpBytes_;
}

std::vector<std::string> FakeDravo::ShellLines() {
  std::lock_guard<std::mutex> guard(lock_);
  return shellLines_;
}

std::vector<std::string> FakeDravo::Commands() {
  std::lock_guard<std::mutex> guard(lock_);
  return commands_;
}

bool FakeDravo::WaitUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(20));
  }
  return true;
}

size_t FakeDravo::TlsClients() {
  size_t count = 0;
  OnLoop([&] {
    for (auto& session : sockets_->tlsSessions) {
      if (session->IsOpen()) ++count;
    }
  });
  return count;
}

void FakeDravo::ClearLog() {
  std::lock_guard<std::mutex> guard(lock_);
  tlsBytes_.clear();
  tlsReads_.clear();
  udpBytes_.clear();
  shellLines_.clear();
  commands_.clear();
}

}  // namespace orvan::fakes
