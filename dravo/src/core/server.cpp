// Running the server core: listeners, teardown, the client list, the resource table and TLS.
#include "core/server.hpp"

#include "clients/requestor.hpp"
#include "clients/tcp_requestor.hpp"
#include "clients/udp_socket_muxer.hpp"
#include "core/windows_version.hpp"
#include "platform/port_sharing.hpp"
#include "platform/whole_file.hpp"
#include "protocol/resource_kind.hpp"
#include "protocol/shell_wire.hpp"
#include "services/dhcp_server.hpp"
#include "services/resource_lister.hpp"
#include "settings/config_store.hpp"
#include "settings/publish_settings.hpp"
#include "shell/request.hpp"
#include "zeroconf/answer_text.hpp"
#include "zeroconf/zeroconf_manager.hpp"

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <openssl/ssl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

// Long enough for descriptors to come free, short enough not to keep clients waiting.
constexpr std::chrono::milliseconds kAcceptPause{100};
// The longest teardown waits for posted closes; everything is closed by then, so this is a guard.
constexpr std::chrono::seconds kTeardownLimit{5};

bool IsShortage(const boost::system::error_code& error) {
  const int code = error.value();
  return error.category() == boost::system::system_category() &&
         (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM);
}

std::string BindStep(const std::string& address) {
  return "bind " + address + " port " + std::to_string(orvan::protocol::kServerPort);
}

std::string FileStamp(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return "-";
  std::ostringstream stamp;
  stamp << status.st_dev << ':' << status.st_ino << ':' << status.st_size << ':'
        << status.st_mtim.tv_sec << '.' << status.st_mtim.tv_nsec;
  return stamp.str();
}

}  // namespace

Server::Server(ShellFactory shells, ResourceFactory resourceKinds)
    : ipAssigner(std::make_shared<DhcpServer>(io)),
      lister(std::make_shared<ResourceLister>(io)),
      makeShell(std::move(shells)),
      makeResource(std::move(resourceKinds)) {
  ipAssigner->Start();
}

Server::~Server() { TearDown(); }

int Server::Run(PublishSettings* settings) {
  try {
    listenAddresses = ListenAddressesFor(settings);
    if (IsWindows10OrLater() && settings) {
      publishSettings = settings;
      zeroconf = std::make_shared<ZeroconfManager>(io, *settings);
    }
    for (const auto& address : listenAddresses) Listen(address);
    // Announced once it listens: a failed bind announces nothing.
    if (zeroconf && publishSettings->publish)
      zeroconf->Publisher().Publish(publishSettings->name,
                                    static_cast<uint16_t>(publishSettings->port));
    if (onListening) onListening();
    while (runState.load() == kServing) {
      io.run();
      io.restart();
    }
  } catch (...) {
    TearDown();
    throw;
  }
  TearDown();
  return runState.load() == kRestart ? kRestart : kShutdown;
}

std::vector<std::string> Server::ListenAddressesFor(const PublishSettings* settings) {
  // Remote clients can reach the server only while it announces itself.
  if (IsWindows10OrLater() && settings && settings->publish) return {"0.0.0.0"};
  return {"127.0.0.1"};
}

void Server::CheckListeners(const PublishSettings& settings) {
  for (const auto& address : ListenAddressesFor(&settings)) {
    std::string step;
    const auto error = platform::ProbePort(address, orvan::protocol::kServerPort, step);
    if (error)
      throw std::runtime_error(BindStep(address) + (step == "udp" ? " (udp)" : "") + ": " +
                               error.message());
  }
}

void Server::Listen(const std::string& address) {
  acceptors.push_back(std::make_unique<Listener>(io));
  auto& listener = *acceptors.back();
  const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address_v4(address),
                                                orvan::protocol::kServerPort);
  boost::system::error_code error;
  listener.acceptor.open(endpoint.protocol(), error);
  if (error) throw boost::system::system_error(error, "open");
  listener.acceptor.set_option(boost::asio::socket_base::reuse_address(true), error);
  if (error) throw boost::system::system_error(error, "set_option");
  listener.acceptor.bind(endpoint, error);
  if (error) throw boost::system::system_error(error, BindStep(address));
  // Bound alone, so another holder is refused; shared afterwards for CheckListeners' probe.
  if (const auto shared = platform::SharePort(listener.acceptor.native_handle()))
    throw boost::system::system_error(shared.value(), boost::system::system_category(),
                                      "set_option");
  listener.acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
  if (error) throw boost::system::system_error(error, "listen");
  StartAccept(listener);

  auto muxer = std::make_shared<UdpSocketMuxer>(io, address, *this);
  muxers.push_back(muxer);
  muxer->StartReceive();
}

void Server::TearDown() {
  if (tornDown) return;
  tornDown = true;
  ipAssigner->Close();
  boost::system::error_code ignored;
  for (auto& listener : acceptors) {
    listener->pause.cancel();
    listener->acceptor.close(ignored);
  }
  // Copies: closing posts removals, and the lists must not change under the loops.
  for (const auto& requestor : std::list<std::shared_ptr<Requestor>>(requestors))
    requestor->Close();
  for (const auto& muxer : muxers) muxer->Close();
  lister->Close();
  pingers.CloseAll();
  zeroconf.reset();  // stops its callbacks and withdraws the announcement
  for (const auto& [id, resource] : std::map<uint32_t, std::shared_ptr<Resource>>(resources))
    resource->Release();
  for (const auto& pending : std::list<PendingOpen>(std::move(openQueue)))
    pending.resource->Release();
  openQueue.clear();
  resources.clear();
  handshakeQueue.clear();  // every client is closed: nothing may start a handshake now
  queuedHandshakes.clear();
  // Let the cancelled operations and posted closes finish while the loop still exists.
  const auto deadline = std::chrono::steady_clock::now() + kTeardownLimit;
  int stops = 0;
  do {  // a Shutdown arriving now stops the loop early: finish the work then
    stops = stopCount.load();
    io.restart();
    io.run_until(deadline);
  } while (stops != stopCount.load() && std::chrono::steady_clock::now() < deadline);
  requestors.clear();
  muxers.clear();
  handshaking.clear();
  acceptorMap.clear();
  acceptors.clear();
}

void Server::Shutdown() {
  runState.store(kShutdown);
  ++stopCount;
  io.stop();
}

void Server::Restart() {
  // A shutdown already asked for wins over a restart.
  int serving = kServing;
  runState.compare_exchange_strong(serving, kRestart);
  ++stopCount;
  io.stop();
}

void Server::ApplyPublishSettings(const PublishSettings& settings) {
  if (publishSettings) {
    publishSettings->publish = settings.publish;
    publishSettings->name = settings.name;
    publishSettings->port = settings.port;
  }
  if (zeroconf) zeroconf->Publisher().Withdraw();
  Restart();  // the next core listens and announces by the new settings
}

void Server::StartAccept(Listener& listener) {
  if (tornDown || !listener.acceptor.is_open()) return;
  auto requestor = std::make_shared<TcpRequestor>(io, *this);
  acceptorMap[requestor.get()] = &listener;
  listener.acceptor.async_accept(
      requestor->Socket(),
      [requestor](const boost::system::error_code& error) { requestor->OnAccept(error); });
  requestors.push_back(std::move(requestor));
}

void Server::ContinueAccept(const TcpRequestor* requestor, const boost::system::error_code& error) {
  const auto entry = acceptorMap.find(requestor);
  if (entry == acceptorMap.end()) return;
  Listener& listener = *entry->second;
  acceptorMap.erase(entry);
  if (tornDown || error == boost::asio::error::operation_aborted || !listener.acceptor.is_open())
    return;
  if (!IsShortage(error)) {
    StartAccept(listener);
    return;
  }
  listener.pause.expires_after(kAcceptPause);
  listener.pause.async_wait([this, &listener](const boost::system::error_code& waited) {
    if (!waited && !tornDown) StartAccept(listener);
  });
}

void Server::AwaitHandshake(std::shared_ptr<TcpRequestor> requestor) {
  const TcpRequestor* key = requestor.get();
  if (tornDown || requestor->Closed() || handshaking.count(key) || queuedHandshakes.count(key))
    return;
  queuedHandshakes[key] = handshakeQueue.insert(handshakeQueue.end(), std::move(requestor));
  StartWaitingHandshakes();
}

void Server::EndHandshake(const TcpRequestor* requestor) {
  if (handshaking.erase(requestor)) {
    StartWaitingHandshakes();
    return;
  }
  const auto queued = queuedHandshakes.find(requestor);
  if (queued == queuedHandshakes.end()) return;
  handshakeQueue.erase(queued->second);
  queuedHandshakes.erase(queued);
}

void Server::SetHandshakeLimit(size_t limit) {
  handshakeLimit = std::max<size_t>(limit, 1);
  StartWaitingHandshakes();
}

void Server::StartWaitingHandshakes() {
  while (!tornDown && handshaking.size() < handshakeLimit && !handshakeQueue.empty()) {
    auto next = std::move(handshakeQueue.front());
    handshakeQueue.pop_front();
    queuedHandshakes.erase(next.get());
    handshaking.insert(next.get());
    // Posted: a handshake that fails at once ends its place, which must not happen in this loop.
    boost::asio::post(io, [next] { next->StartHandshake(); });
  }
}

void Server::AddRequestor(std::shared_ptr<Requestor> requestor) {
  requestors.push_back(std::move(requestor));
}

void Server::RemoveRequestor(const std::shared_ptr<Requestor>& requestor) {
  requestors.remove(requestor);
}

std::unique_ptr<Shell> Server::MakeShellFor(Requestor& owner, bool mdnsSupported) {
  return makeShell(owner, *this, mdnsSupported);
}

int Server::Submit(uint32_t linkId, std::shared_ptr<Request> request) {
  const auto entry = resources.find(linkId);
  if (entry == resources.end()) return -2;
  entry->second->Submit(std::move(request));
  return 0;
}

void Server::OpenResource(std::unique_ptr<OpenParameters> parameters) {
  if (tornDown) return;
  for (const auto& [id, resource] : resources) {
    if (!resource->Matches(*parameters)) continue;
    // An open serial port serves again, at the baud rate asked for now.
    if (parameters->kind == orvan::protocol::kKindSerial)
      resource->Submit(Request::RequestWithControl(Request::kControlBaud, parameters->baud, {}));
    return;
  }
  for (const auto& pending : openQueue) {
    if (pending.parameters->kind == parameters->kind &&
        pending.parameters->address == parameters->address)
      return;
  }
  if (parameters->kind > orvan::protocol::kKindPci) return;
  if (resources.size() + openQueue.size() >= resourceLimit)
    throw std::runtime_error("the server holds too many hardware connections (" +
                             std::to_string(resourceLimit) + " at most)");
  auto resource = makeResource(parameters->kind, io, *this, nextId);
  if (!resource) return;
  parameters->id = nextId++;
  openQueue.push_back({std::move(parameters), resource});
  resource->Open(*openQueue.back().parameters);
}

void Server::OnResourceOpened(std::shared_ptr<Resource> resource,
                              const boost::system::error_code& error) {
  const auto pending =
      std::find_if(openQueue.begin(), openQueue.end(),
                   [&](const PendingOpen& open) { return open.parameters->id == resource->Id(); });
  // An open that teardown already gave up on is not entered.
  if (pending == openQueue.end()) return;
  openQueue.erase(pending);
  if (!error) resources[resource->Id()] = std::move(resource);
}

void Server::CloseResource(uint32_t id) {
  const auto entry = resources.find(id);
  if (entry == resources.end()) return;
  const auto resource = entry->second;
  resources.erase(entry);
  resource->Release();
}

void Server::CloseAllResources() {
  auto closing = std::move(resources);
  resources.clear();
  for (const auto& [id, resource] : closing) resource->Release();
}

std::string Server::ListResources() const {
  std::string listing;
  for (const auto& [id, resource] : resources) listing += resource->ListLine() + "\r\n";
  return listing;
}

std::optional<uint32_t> Server::FindResource(const std::string& address,
                                             const std::string& protocol) const {
  for (const auto& [id, resource] : resources) {
    if (resource->Closing()) continue;  // lost its controller: nobody new may link to it
    if (resource->Address() == address &&
        (protocol.empty() || protocol == orvan::protocol::KindWord(resource->Kind())))
      return id;
  }
  return std::nullopt;
}

std::string Server::ListConnections() const {
  std::string listing;
  std::set<std::string> listed;
  for (const auto& requestor : requestors) {
    const auto address = requestor->Address();
    // Whole addresses are compared, so 10.0.0.1 is listed after 110.0.0.1 too.
    if (address.empty() || address == "127.0.0.1" || !listed.insert(address).second) continue;
    listing += address + "\n";
  }
  return listing;
}

void Server::SearchResources() { lister->Search(); }

std::string Server::ListFound() const { return lister->Found(); }

void Server::SetIpListenTimeout(int milliseconds) { ipAssigner->Listen(milliseconds); }

int Server::IpListenTimeout() const { return ipAssigner->ListenTimeout(); }

std::string Server::ListIpRequests() { return ipAssigner->ListRequests(); }

void Server::SetRememberAssignments(bool on) { ipAssigner->SetRemember(on); }

bool Server::RememberAssignments() const { return ipAssigner->Remember(); }

void Server::AssignIp(const std::string& mac, const std::string& ip) {
  ipAssigner->Assign(mac, ip);
}

std::string Server::ServerInfo(const std::string& name) const {
  return zeroconf ? zeroconf->Watcher().Lookup(name) : "none";
}

std::string Server::ListServers() const {
  if (!zeroconf) return "";
  std::string listing;
  for (const auto& service : zeroconf->Watcher().Services()) {
    if (service.instanceName == zeroconf->Publisher().InstanceName()) continue;
    listing += AnswerSafeText(service.instanceName) + "\n";
  }
  return listing;
}

std::string Server::ServerStatus() const {
  const std::string name = zeroconf          ? zeroconf->Publisher().InstanceName()
                           : publishSettings ? publishSettings->name
                                             : "";
  const bool published = zeroconf && zeroconf->Publisher().Published();
  return AnswerSafeText(name) + ", " + (published ? "true" : "false");
}

std::shared_ptr<boost::asio::ssl::context> Server::TlsContext() {
  const std::string folder = ServerDataDirectory().string();
  const std::string certificate = folder + "/cert.pem", key = folder + "/key.pem";
  const std::string stamp = FileStamp(certificate) + "|" + FileStamp(key);
  if (tlsContext && stamp == tlsStamp) return tlsContext;

  auto context = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
  context->set_options(boost::asio::ssl::context::no_compression |
                       boost::asio::ssl::context::default_workarounds);
  // No session tickets: a client's count of bytes waiting must only ever mean data.
  SSL_CTX_set_options(context->native_handle(), SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(context->native_handle(), 0);
  // Read by the bounded read and loaded from memory: a FIFO or device in their place must
  // not block or flood the server thread. Unreadable files make the handshake fail, client by
  // client.
  boost::system::error_code ignored;
  std::string bytes;
  if (!platform::ReadWholeFile(certificate, kLargestDataFile, bytes))
    context->use_certificate_chain(boost::asio::buffer(bytes), ignored);
  if (!platform::ReadWholeFile(key, kLargestDataFile, bytes))
    context->use_private_key(boost::asio::buffer(bytes), boost::asio::ssl::context::pem, ignored);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  tlsContext = std::move(context);
  tlsStamp = stamp;
  return tlsContext;
}
