// The fake controller: one I/O thread serves a TCP acceptor and a UDP socket on each of the two
// ports; every handle (TCP connection or UDP sender) gets its replies in one write each.
#include "fakes/fake_controller.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <set>
#include <sstream>
#include <stdexcept>

namespace orvan::fakes {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

const std::set<std::string> kOrdinaryCommands = {
    "AB", "AC", "BG", "CB", "CF", "CW", "DC", "DR", "EI", "EO", "HX", "IH", "KD", "KI", "KP",
    "MO", "OB", "PA", "PR", "QQ", "RS", "SB", "SH", "SP", "ST", "TC", "TE", "TP", "WT", "XQ"};

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool IsAssignment(const std::string& command, std::string& name, std::string& value) {
  const auto equals = command.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  name = Trimmed(command.substr(0, equals));
  value = Trimmed(command.substr(equals + 1));
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

std::string Line(const std::string& text) { return text + "\r\n:"; }

uint16_t PeerPort(const tcp::socket& socket) {
  boost::system::error_code error;
  const auto peer = socket.remote_endpoint(error);
  return error ? 0 : peer.port();
}

}  // namespace

// Where replies and unsolicited bytes for one client go.
class FakeController::Handle {
public:
  Handle(FakeChannel where, uint16_t peer) : channel(where), peerPort(peer) {}
  virtual ~Handle() = default;
  virtual void Send(const std::string& bytes, bool close) = 0;
  const FakeChannel channel;
  const uint16_t peerPort;
  std::string partial;  // command bytes before their CR

  // A download in progress on this handle takes every byte up to its closing backslash.
  enum class Loading { None, Program, Array } download = Loading::None;
  bool acknowledging = false;
  std::string line;                // download bytes of the line not yet ended
  std::vector<std::string> lines;  // program lines received
  int insertAt = -1;               // -1 replaces the whole program
  std::string arrayName;
  size_t arrayNext = 0;
  size_t arrayLast = 0;
};

class FakeController::TcpSession : public Handle, public std::enable_shared_from_this<TcpSession> {
public:
  TcpSession(FakeController& owner, tcp::socket socket, uint16_t port)
      : Handle({false, port}, PeerPort(socket)), owner_(owner), socket_(std::move(socket)) {}

  void Start() { DoRead(); }

  void Send(const std::string& bytes, bool close) override {
    if (!socket_.is_open()) return;
    pending_.push_back({bytes, close});
    if (pending_.size() == 1) DoWrite();
  }

  void Close() {
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    pending_.clear();
  }

private:
  struct Outgoing {
    std::string bytes;
    bool close;
  };

  void DoRead() {
    socket_.async_read_some(
        asio::buffer(buffer_),
        [self = shared_from_this()](const boost::system::error_code& error, size_t count) {
          self->OnRead(error, count);
        });
  }

  void OnRead(const boost::system::error_code& error, size_t count) {
    if (error || !socket_.is_open()) return;
    owner_.Serve(shared_from_this(), std::string(buffer_.data(), count));
    DoRead();
  }

  void DoWrite() {
    asio::async_write(socket_, asio::buffer(pending_.front().bytes),
                      [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                        self->OnWrite(error);
                      });
  }

  void OnWrite(const boost::system::error_code& error) {
    if (error || pending_.empty()) return;
    const bool close = pending_.front().close;
    pending_.pop_front();
    if (close) return Close();
    if (!pending_.empty()) DoWrite();
  }

  FakeController& owner_;
  tcp::socket socket_;
  std::array<char, 2048> buffer_{};
  std::deque<Outgoing> pending_;
};

// One UDP sender of one port; sends are synchronous, a datagram never blocks on loopback.
class UdpHandle : public FakeController::Handle {
public:
  UdpHandle(udp::socket& socket, udp::endpoint peer, uint16_t port)
      : Handle({true, port}, peer.port()), socket_(socket), peer_(peer) {}
  void Send(const std::string& bytes, bool) override {
    boost::system::error_code ignored;
    if (!bytes.empty()) socket_.send_to(asio::buffer(bytes), peer_, 0, ignored);
  }

private:
  udp::socket& socket_;
  udp::endpoint peer_;
};

class FakeController::UdpPort {
public:
  UdpPort(FakeController& owner, udp::socket socket, uint16_t port)
      : owner_(owner), socket_(std::move(socket)), port_(port) {}

  void DoReceive() {
    socket_.async_receive_from(asio::buffer(buffer_), sender_,
                               [this](const boost::system::error_code& error, size_t count) {
                                 if (error) return;
                                 owner_.Serve(HandleOf(sender_),
                                              std::string(buffer_.data(), count));
                                 DoReceive();
                               });
  }

  std::shared_ptr<Handle> HandleOf(const udp::endpoint& peer) {
    last_ = peer;
    auto& handle = handles_[peer];
    if (!handle) handle = std::make_shared<UdpHandle>(socket_, peer, port_);
    return handle;
  }
  // The handle gave itself up ("IHS=>-1"); a later datagram from it starts a new one.
  void Release(const std::shared_ptr<Handle>& handle) {
    for (auto it = handles_.begin(); it != handles_.end(); ++it) {
      if (it->second == handle) {
        handles_.erase(it);
        return;
      }
    }
  }
  std::shared_ptr<Handle> Last() { return last_.port() == 0 ? nullptr : HandleOf(last_); }
  uint16_t Port() const { return port_; }
  void Close() {
    boost::system::error_code ignored;
    socket_.close(ignored);
  }

private:
  FakeController& owner_;
  udp::socket socket_;
  uint16_t port_;
  udp::endpoint sender_;
  udp::endpoint last_;
  std::array<char, 2048> buffer_{};
  std::map<udp::endpoint, std::shared_ptr<Handle>> handles_;
};

// Everything that lives on the I/O thread.
struct FakeController::Sockets {
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  std::vector<uint16_t> ports;
  std::vector<std::unique_ptr<UdpPort>> udp;
  std::vector<std::weak_ptr<TcpSession>> sessions;
  std::vector<std::weak_ptr<Handle>> messages, records, interrupts;
};

FakeController::FakeController(FakeControllerSettings settings)
    : settings_(std::move(settings)), record_(MakeRecord(64)) {}

FakeController::~FakeController() { Stop(); }

std::string FakeController::MakeRecord(size_t length) {
  std::string record(length, '\0');
  for (size_t i = 4; i < length; ++i) record[i] = static_cast<char>(i & 0x7F);
  record[0] = static_cast<char>(0x87);
  record[1] = 0x0F;
  record[2] = static_cast<char>(length & 0xFF);
  record[3] = static_cast<char>((length >> 8) & 0xFF);
  return record;
}

void FakeController::Start() {
  auto sockets = std::make_unique<Sockets>();
  const auto address = asio::ip::make_address(settings_.address);
  for (uint16_t* port : {&settings_.commandPort, &settings_.unsolicitedPort}) {
    // A free TCP port may be taken for UDP; try a few until one is free for both.
    for (int attempt = 0;; ++attempt) {
      auto acceptor = std::make_unique<tcp::acceptor>(io_);
      acceptor->open(tcp::v4());
      acceptor->set_option(tcp::acceptor::reuse_address(true));
      acceptor->bind({address, *port});
      acceptor->listen();
      const uint16_t bound = acceptor->local_endpoint().port();
      udp::socket datagrams(io_, udp::v4());
      boost::system::error_code error;
      datagrams.bind({address, bound}, error);
      if (error) {
        if (*port != 0 || attempt == 20) throw boost::system::system_error(error, "bind");
        continue;
      }
      *port = bound;
      sockets->acceptors.push_back(std::move(acceptor));
      sockets->ports.push_back(bound);
      sockets->udp.push_back(std::make_unique<UdpPort>(*this, std::move(datagrams), bound));
      break;
    }
  }
  sockets_ = std::move(sockets);
  for (size_t i = 0; i < 2; ++i) {
    Accept(i);
    sockets_->udp[i]->DoReceive();
  }
  thread_ = std::thread([this] { io_.run(); });
}

void FakeController::Stop() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    for (auto& acceptor : sockets_->acceptors) acceptor->close();
    for (auto& port : sockets_->udp) port->Close();
    for (auto& weak : sockets_->sessions) {
      if (auto session = weak.lock()) session->Close();
    }
    io_.stop();
  });
  thread_.join();
  // The sockets stay until destruction: handlers still queued on the context point at them.
}

void FakeController::Accept(size_t port) {
  sockets_->acceptors[port]->async_accept([this, port](const boost::system::error_code& error,
                                                       tcp::socket socket) {
    if (error) return;
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto session = std::make_shared<TcpSession>(*this, std::move(socket), sockets_->ports[port]);
    sockets_->sessions.push_back(session);
    {
      std::lock_guard<std::mutex> guard(lock_);
      ++tcpConnections_;
    }
    arrived_.notify_all();
    session->Start();
    Accept(port);
  });
}

void FakeController::Serve(const std::shared_ptr<Handle>& handle, const std::string& chunk) {
  Record(*handle, chunk);
  // Commands end at CR or ';'; an unfinished TCP command waits for the rest of its bytes.
  std::string& partial = handle->partial;
  for (char byte : chunk) {
    if (handle->download != Handle::Loading::None) {
      Download(handle, byte);
      continue;
    }
    if (byte == '\n') continue;
    if (byte != '\r' && byte != ';') {
      partial += byte;
      continue;
    }
    const std::string command = partial;
    partial.clear();
    {
      std::lock_guard<std::mutex> guard(lock_);
      commands_.push_back({handle->channel, command});
    }
    arrived_.notify_all();
    bool close = false;
    const std::string reply = Answer(handle, command, close);
    if (!reply.empty() || close) handle->Send(reply, close);
    if (close) break;
  }
}

std::string FakeController::Answer(const std::shared_ptr<Handle>& handle,
                                   const std::string& command, bool& close) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto scripted = scripts_.equal_range(command);
  for (auto it = scripted.first; it != scripted.second; ++it) {
    const FakeReply& reply = it->second;
    if (reply.udpOnly && !handle->channel.udp) continue;
    if (reply.port != 0 && reply.port != handle->channel.port) continue;
    const std::string bytes = reply.bytes;
    close = reply.close;
    if (reply.once) scripts_.erase(it);
    return bytes;
  }

  const FakeIdentity& id = settings_.identity;
  const std::string text = Trimmed(command);
  std::string name, value;
  if (monitor_) return text == "\x12" ? id.monitor + "\r\n>" : ">";
  if (text == "\x12") return Line(id.identity);
  const std::string verb = text.substr(0, 2);
  if (verb == "DL" || verb == "QD") return StartDownload(handle, text);
  if (verb == "QU") return UploadArray(text);
  if (text == "UL") {
    std::string listing;
    for (const auto& programLine : program_) listing += programLine + "\r\n";
    return listing + "\x1a:";
  }
  if (text == "LA") {
    std::string listing;
    for (const auto& array : arrays_)
      listing += " " + array.first + "[" + std::to_string(array.second.size()) + "]\r\n";
    return listing + ":";
  }
  if (verb == "DM") {
    std::istringstream declarations(text.substr(2));
    std::string declaration;
    while (std::getline(declarations, declaration, ',')) {
      const std::string trimmed = Trimmed(declaration);
      const auto open = trimmed.find('[');
      if (open == 0 || open == std::string::npos) return "?";
      arrays_[trimmed.substr(0, open)].assign(std::strtoul(trimmed.c_str() + open + 1, nullptr, 10),
                                              0.0);
    }
    return ":";
  }
  if (text.empty()) return ":";
  if (text == "\x12\x16") return Line(id.identity);
  if (text == "MG_BN{Z10.0}") return Line(id.serialNumber);
  if (text == "ID") return id.optionReport.empty() ? ":" : Line(id.optionReport);
  if (text == "QP") return id.capabilities.empty() ? ":" : Line(id.capabilities);
  if (text == "MG _CO") return Line(id.configuration);
  if (text == "MG _TM") return Line(id.samplePeriod);
  if (text == "QR") return record_ + ":";
  if (text == "TC1") return Line(lastError_);
  if (text.compare(0, 2, "MG") == 0) {
    std::string operand = Trimmed(text.substr(2));
    if (operand.size() >= 2 && operand.front() == '"' && operand.back() == '"') {
      operand = operand.substr(1, operand.size() - 2);
    } else if (variables_.count(operand)) {
      operand = variables_[operand];
    }
    return Line(operand);
  }
  auto subscribe = [&handle](std::vector<std::weak_ptr<Handle>>& list) {
    for (const auto& weak : list) {
      if (weak.lock() == handle) return ":";
    }
    list.push_back(handle);
    return ":";
  };
  if (text == "CFI") return subscribe(sockets_->messages);
  if (text == "DR,_WH") return subscribe(sockets_->records);
  if (text == "EI,,_WH") return subscribe(sockets_->interrupts);
  if (text == "IHS=>-1") {
    for (auto& port : sockets_->udp) port->Release(handle);
    return ":";
  }
  if (IsAssignment(text, name, value)) {
    variables_[name] = value;
    return ":";
  }
  if (kOrdinaryCommands.count(text.substr(0, 2))) return ":";
  lastError_ = "1 Unrecognized command";
  return "?";
}

namespace {

// The fields of "NAME[],a,b,c" after the name, blanks trimmed; empty when the name has no "[]".
std::vector<std::string> ArrayFields(const std::string& text, std::string& name) {
  std::vector<std::string> fields;
  const auto brackets = text.find("[]");
  if (brackets == std::string::npos) return fields;
  name = Trimmed(text.substr(2, brackets - 2));
  std::istringstream rest(text.substr(brackets + 2));
  std::string field;
  std::getline(rest, field, ',');  // the empty text between "[]" and the first ','
  while (std::getline(rest, field, ',')) fields.push_back(Trimmed(field));
  return fields;
}

// Field `index` as a number, or `otherwise` when it is missing or empty.
size_t FieldNumber(const std::vector<std::string>& fields, size_t index, size_t otherwise) {
  if (index >= fields.size() || fields[index].empty()) return otherwise;
  return std::strtoul(fields[index].c_str(), nullptr, 10);
}

}  // namespace

bool FakeController::LineAcknowledged() const {
  std::istringstream lines(settings_.identity.capabilities);
  std::string capability;
  while (std::getline(lines, capability)) {
    if (capability.compare(0, 3, "UC ") == 0)
      return (std::strtoul(capability.c_str() + 3, nullptr, 0) & 2) != 0;
  }
  return false;
}

std::string FakeController::StartDownload(const std::shared_ptr<Handle>& handle,
                                          const std::string& text) {
  handle->line.clear();
  handle->lines.clear();
  bool asked = false;
  if (text.compare(0, 2, "DL") == 0) {
    std::string insert = Trimmed(text.substr(2));
    const auto comma = insert.rfind(',');
    if (comma != std::string::npos && Trimmed(insert.substr(comma + 1)) == "1") {
      asked = true;
      insert = Trimmed(insert.substr(0, comma));
    }
    handle->insertAt = insert.empty() ? -1 : std::atoi(insert.c_str());
    handle->download = Handle::Loading::Program;
  } else {
    std::string name;
    const auto fields = ArrayFields(text, name);
    const auto array = arrays_.find(name);
    if (array == arrays_.end() || array->second.empty()) return "?";
    handle->arrayName = name;
    handle->arrayNext = FieldNumber(fields, 0, 0);
    handle->arrayLast =
        std::min(FieldNumber(fields, 1, array->second.size() - 1), array->second.size() - 1);
    asked = fields.size() > 2 && fields[2] == "1";
    handle->download = Handle::Loading::Array;
  }
  handle->acknowledging = asked && LineAcknowledged();
  return handle->acknowledging ? "\x06" : "";
}

void FakeController::Download(const std::shared_ptr<Handle>& handle, char byte) {
  const bool array = handle->download == Handle::Loading::Array;
  const auto storeValue = [&] {
    if (!handle->line.empty()) {
      std::lock_guard<std::mutex> guard(lock_);
      auto& values = arrays_[handle->arrayName];
      if (handle->arrayNext <= handle->arrayLast && handle->arrayNext < values.size())
        values[handle->arrayNext] = std::strtod(handle->line.c_str(), nullptr);
      ++handle->arrayNext;
    }
    handle->line.clear();
  };
  if (byte == '\n') return;
  if (byte == '\\') {
    if (array) {
      storeValue();
    } else {
      if (!handle->line.empty()) handle->lines.push_back(handle->line);
      std::lock_guard<std::mutex> guard(lock_);
      if (handle->insertAt < 0) {
        program_ = handle->lines;
      } else {
        const size_t at = std::min(program_.size(), static_cast<size_t>(handle->insertAt));
        program_.insert(program_.begin() + static_cast<std::ptrdiff_t>(at), handle->lines.begin(),
                        handle->lines.end());
      }
    }
    handle->line.clear();
    handle->lines.clear();
    handle->download = Handle::Loading::None;
    handle->Send(":", false);
    return;
  }
  if (array && byte == ',') return storeValue();
  if (byte != '\r') {
    handle->line += byte;
    return;
  }
  if (array) {
    storeValue();
  } else {
    handle->lines.push_back(handle->line);
    handle->line.clear();
  }
  if (handle->acknowledging) handle->Send("\x06", false);
}

std::string FakeController::UploadArray(const std::string& text) {
  std::string name;
  const auto fields = ArrayFields(text, name);
  const auto array = arrays_.find(name);
  if (array == arrays_.end() || array->second.empty()) return "?";
  const auto& values = array->second;
  const size_t first = FieldNumber(fields, 0, 0);
  const size_t last = std::min(FieldNumber(fields, 1, values.size() - 1), values.size() - 1);
  if (first > last) return "?";
  const char delimiter = fields.size() > 2 && fields[2] == "1" ? '\r' : ',';
  std::string reply;
  char number[64];
  for (size_t i = first; i <= last; ++i) {
    std::snprintf(number, sizeof number, "%.4f", values[i]);
    if (i != first) reply += delimiter;
    reply += number;
  }
  return reply + "\r:";
}

std::string FakeController::Program() {
  std::lock_guard<std::mutex> guard(lock_);
  std::string lines;
  for (const auto& programLine : program_) lines += programLine + "\r";
  return lines;
}

void FakeController::DefineArray(const std::string& name, size_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  arrays_[name].assign(size, 0.0);
}

std::vector<double> FakeController::Array(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto array = arrays_.find(name);
  return array == arrays_.end() ? std::vector<double>() : array->second;
}

void FakeController::SetMonitor(bool on) {
  std::lock_guard<std::mutex> guard(lock_);
  monitor_ = on;
}

void FakeController::Record(const Handle& handle, const std::string& bytes) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    received_.push_back({handle.channel, handle.peerPort, bytes});
  }
  arrived_.notify_all();
}

void FakeController::OnLoop(std::function<void()> work) {
  if (!thread_.joinable()) throw std::logic_error("fake controller not started");
  std::promise<void> done;
  asio::post(io_, [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

void FakeController::Script(const std::string& command, FakeReply reply) {
  std::lock_guard<std::mutex> guard(lock_);
  scripts_.emplace(command, std::move(reply));
}

void FakeController::SetIdentity(const FakeIdentity& identity) {
  std::lock_guard<std::mutex> guard(lock_);
  settings_.identity = identity;
}

void FakeController::SetRecord(const std::string& record) {
  std::lock_guard<std::mutex> guard(lock_);
  record_ = record;
}

void FakeController::SendMessage(const std::string& text) {
  std::string bytes;
  for (char c : text) bytes += static_cast<char>(c | 0x80);
  OnLoop([&] {
    bool sent = false;
    for (auto& weak : sockets_->messages) {
      if (auto handle = weak.lock()) {
        handle->Send(bytes, false);
        sent = true;
      }
    }
    if (sent) return;
    for (auto& weak : sockets_->sessions) {
      auto session = weak.lock();
      if (session && session->channel.port == settings_.commandPort) session->Send(bytes, false);
    }
  });
}

void FakeController::SendRecord() {
  std::string record;
  {
    std::lock_guard<std::mutex> guard(lock_);
    record = record_;
  }
  OnLoop([&] {
    for (auto& weak : sockets_->records) {
      if (auto handle = weak.lock()) handle->Send(record, false);
    }
  });
}

void FakeController::SendInterrupt(const std::string& status) {
  const std::string datagram = "\x01" + status + std::string(1, '\0');
  OnLoop([&] {
    for (auto& weak : sockets_->interrupts) {
      if (auto handle = weak.lock()) handle->Send(datagram, false);
    }
  });
}

void FakeController::SendDatagram(uint16_t port, const std::string& bytes) {
  OnLoop([&] {
    for (auto& udpPort : sockets_->udp) {
      auto last = udpPort->Port() == port ? udpPort->Last() : nullptr;
      if (last) last->Send(bytes, false);
    }
  });
}

void FakeController::SendTcp(uint16_t port, const std::string& bytes) {
  OnLoop([&] {
    for (auto& weak : sockets_->sessions) {
      auto session = weak.lock();
      if (session && session->channel.port == port) session->Send(bytes, false);
    }
  });
}

void FakeController::CloseConnections() {
  OnLoop([&] {
    for (auto& weak : sockets_->sessions) {
      if (auto session = weak.lock()) session->Close();
    }
  });
}

std::vector<FakeReceived> FakeController::Received() {
  std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

std::vector<FakeCommand> FakeController::Commands() {
  std::lock_guard<std::mutex> guard(lock_);
  return commands_;
}

std::vector<std::string> FakeController::CommandsOn(FakeChannel channel) {
  std::vector<std::string> texts;
  for (const auto& command : Commands()) {
    if (command.channel == channel) texts.push_back(command.text);
  }
  return texts;
}

std::string FakeController::ReceivedBytes(FakeChannel channel) {
  std::string joined;
  for (const auto& received : Received()) {
    if (received.channel == channel) joined += received.bytes;
  }
  return joined;
}

bool FakeController::WaitForBytes(FakeChannel channel, const std::string& text,
                                  std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return arrived_.wait_for(guard, timeout, [&] {
    std::string joined;
    for (const auto& received : received_) {
      if (received.channel == channel) joined += received.bytes;
    }
    return joined.find(text) != std::string::npos;
  });
}

bool FakeController::WaitForCommand(const std::string& text, size_t count,
                                    std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return arrived_.wait_for(guard, timeout, [&] {
    size_t seen = 0;
    for (const auto& command : commands_) seen += command.text == text;
    return seen >= count;
  });
}

size_t FakeController::TcpConnections() {
  std::lock_guard<std::mutex> guard(lock_);
  return tcpConnections_;
}

bool FakeController::WaitForConnections(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return arrived_.wait_for(guard, timeout, [&] { return tcpConnections_ >= count; });
}

void FakeController::ClearLog() {
  std::lock_guard<std::mutex> guard(lock_);
  received_.clear();
  commands_.clear();
}

}  // namespace orvan::fakes
