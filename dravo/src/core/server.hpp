// The server core: one event loop and everything on it — the TLS listener and the UDP muxer
// on port 23, the client connections, the table of open hardware connections, and the
// hardware search.
// Built, run and destroyed once per start or restart of the server.
#pragma once

#include "clients/requestor_server.hpp"
#include "resources/open_parameters.hpp"
#include "resources/resource.hpp"
#include "resources/resource_factory.hpp"
#include "resources/resource_table.hpp"
#include "services/running_pingers.hpp"
#include "shell/shell.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class DhcpServer;
class Request;
class Requestor;
class ResourceLister;
class TcpRequestor;
class UdpSocketMuxer;
class ZeroconfManager;
struct PublishSettings;

class Server;

// The shell each client connection gets, and the resource of each kind the table opens.
using ShellFactory =
    std::function<std::unique_ptr<Shell>(Requestor& owner, Server& server, bool mdnsSupported)>;
using ResourceFactory = std::function<std::shared_ptr<Resource>(
    uint32_t kind, boost::asio::io_context& io, Server& server, uint32_t id)>;

class Server : public RequestorServer, public ResourceTable {
public:
  static constexpr int kShutdown = 0;
  static constexpr int kRestart = 1;
  static constexpr int kServing = 2;
  // How long a TLS client may take to speak and get a place for its handshake, and then over
  // the handshake itself, before it is closed.
  static constexpr std::chrono::milliseconds kHandshakeTimeout{10000};
  // TLS handshakes in progress at once: each holds a TLS stream of tens of KiB, so a flood of
  // connections must not build one each. Clients beyond wait with their socket alone.
  static constexpr size_t kHandshakeLimit = 256;
  // Hardware connections held at once, opens under way included: each holds a descriptor.
  static constexpr size_t kResourceLimit = 1024;

  explicit Server(ShellFactory shells, ResourceFactory resources = MakeResource);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens the listeners and serves until shut down (returns 0) or restarted (returns 1).
  // A set-up failure ("open", "set_option", "bind", "listen") is raised after everything is closed.
  int Run(PublishSettings* settings);
  // Called on the server thread once every listener of this core is bound.
  std::function<void()> onListening;
  // Both may come from another thread.
  void Shutdown();
  void Restart();
  void ApplyPublishSettings(const PublishSettings& settings);
  // The addresses a core listens on under these settings: every address while published.
  static std::vector<std::string> ListenAddressesFor(const PublishSettings* settings);
  // Throws std::runtime_error ("bind 0.0.0.0 port 23: Address already in use") when a core
  // with these settings could not bind its listeners now; this core's own do not count.
  static void CheckListeners(const PublishSettings& settings);

  // The client list.
  void AddRequestor(std::shared_ptr<Requestor> requestor) override;
  void RemoveRequestor(const std::shared_ptr<Requestor>& requestor) override;
  const std::list<std::shared_ptr<Requestor>>& Requestors() const { return requestors; }
  // Called by every accept completion: posts the listener's next accept, after a pause
  // when the system ran short of descriptors or buffers, and never once closing.
  void ContinueAccept(const TcpRequestor* requestor,
                      const boost::system::error_code& error) override;

  // The resource table.
  int Submit(uint32_t linkId, std::shared_ptr<Request> request);
  // Throws, creating nothing, when a new resource would pass the bound; an open of an address
  // already open or being opened is served as ever.
  void OpenResource(std::unique_ptr<OpenParameters> parameters);
  void OnResourceOpened(std::shared_ptr<Resource> resource,
                        const boost::system::error_code& error) override;
  void CloseResource(uint32_t id) override;
  void CloseAllResources();
  std::string ListResources() const;
  // The lowest id with that address (and kind word, unless `protocol` is empty).
  std::optional<uint32_t> FindResource(const std::string& address,
                                       const std::string& protocol) const;
  std::string ListConnections() const;

  // The hardware search: starts one unless one runs; the last search's results.
  void SearchResources();
  std::string ListFound() const;

  // The shell's pings.
  RunningPingers& Pingers() { return pingers; }
  // The IP assigner (AssignIp throws on a MAC or IP text that does not parse).
  void SetIpListenTimeout(int milliseconds);
  int IpListenTimeout() const;
  std::string ListIpRequests();
  void SetRememberAssignments(bool on);
  bool RememberAssignments() const;
  void AssignIp(const std::string& mac, const std::string& ip);
  // mDNS: one server's "host, port" (or "none"), the servers seen but this one, each followed
  // by LF, and this server's name with whether it is published. Names are answer-safe.
  std::string ServerInfo(const std::string& name) const;
  std::string ListServers() const;
  std::string ServerStatus() const;

  boost::asio::io_context& EventLoop() { return io; }
  int RunState() const { return runState.load(); }
  // The TLS context for the next client; rebuilt when the certificate or key file changed.
  std::shared_ptr<boost::asio::ssl::context> TlsContext() override;
  std::chrono::milliseconds HandshakeTimeout() const override { return handshakeTimeout; }
  void SetHandshakeTimeout(std::chrono::milliseconds timeout) { handshakeTimeout = timeout; }
  void AwaitHandshake(std::shared_ptr<TcpRequestor> requestor) override;
  void EndHandshake(const TcpRequestor* requestor) override;
  // At least one; a raised bound lets waiting clients start at once.
  void SetHandshakeLimit(size_t limit);
  size_t HandshakesInProgress() const { return handshaking.size(); }
  size_t HandshakesWaiting() const { return handshakeQueue.size(); }
  void SetResourceLimit(size_t limit) { resourceLimit = limit; }
  std::unique_ptr<Shell> MakeShellFor(Requestor& owner, bool mdnsSupported) override;

private:
  struct Listener {
    explicit Listener(boost::asio::io_context& io) : acceptor(io), pause(io) {}
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer pause;  // waits out a shortage of descriptors before accepting again
  };
  struct PendingOpen {
    std::unique_ptr<OpenParameters> parameters;
    std::shared_ptr<Resource> resource;  // kept so that teardown can stop an open under way
  };

  void Listen(const std::string& address);
  void StartAccept(Listener& listener);
  void TearDown();
  void StartWaitingHandshakes();

  // Declared first so that it goes last: nothing that runs on it outlives it.
  boost::asio::io_context io;
  std::list<std::shared_ptr<Requestor>> requestors;
  std::list<std::shared_ptr<UdpSocketMuxer>> muxers;
  std::map<uint32_t, std::shared_ptr<Resource>> resources;
  uint32_t nextId = 1;
  std::list<PendingOpen> openQueue;
  std::atomic<int> runState{kServing};
  std::atomic<int> stopCount{0};
  std::list<std::unique_ptr<Listener>> acceptors;
  std::map<const TcpRequestor*, Listener*> acceptorMap;
  // The services on the event loop; those not built into this server yet stay empty.
  std::shared_ptr<DhcpServer> ipAssigner;
  std::shared_ptr<ResourceLister> lister;
  std::shared_ptr<ZeroconfManager> zeroconf;
  RunningPingers pingers{io};
  std::vector<std::string> listenAddresses;
  PublishSettings* publishSettings = nullptr;

  ShellFactory makeShell;
  ResourceFactory makeResource;
  std::shared_ptr<boost::asio::ssl::context> tlsContext;
  std::string tlsStamp;  // identity of the certificate and key files the context was built from
  std::chrono::milliseconds handshakeTimeout = kHandshakeTimeout;
  size_t handshakeLimit = kHandshakeLimit;
  std::unordered_set<const TcpRequestor*> handshaking;
  // Clients whose first bytes arrived while the bound was reached, in order of arrival.
  std::list<std::shared_ptr<TcpRequestor>> handshakeQueue;
  std::unordered_map<const TcpRequestor*, std::list<std::shared_ptr<TcpRequestor>>::iterator>
      queuedHandshakes;
  size_t resourceLimit = kResourceLimit;
  bool tornDown = false;
};
