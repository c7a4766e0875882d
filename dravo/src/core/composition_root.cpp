// Every client connection gets a CommandShell, joined to its connection and to the server
// core through two small adapters; the server core gets those shells and every resource kind.
#include "core/composition_root.hpp"

#include "clients/requestor.hpp"
#include "resources/resource_factory.hpp"
#include "shell/command_shell.hpp"
#include "shell/shell_owner.hpp"
#include "shell/shell_server.hpp"

#include <mutex>
#include <stdexcept>

namespace {

std::mutex factoryLock;
ShellFactory defaultFactory;

class RequestorShellOwner final : public ShellOwner {
public:
  explicit RequestorShellOwner(Requestor& connection) : requestor(connection) {}
  void Write(const std::uint8_t* data, std::size_t length) override {
    requestor.Write(data, length);
  }
  std::shared_ptr<ResourceClient> SharedFromThis() override { return requestor.SharedFromThis(); }
  std::uint32_t IdleTimeout() const override { return requestor.IdleTimeout(); }
  void SetIdleTimeout(std::uint32_t milliseconds) override {
    requestor.SetIdleTimeout(milliseconds);
  }
  bool Closed() const override { return requestor.Closed(); }
  bool HoldReading() override { return requestor.HoldReading(); }

private:
  Requestor& requestor;
};

class ServerShellServer final : public ShellServer {
public:
  explicit ServerShellServer(Server& core) : server(core) {}

  int Submit(std::uint32_t id, std::shared_ptr<Request> request) override {
    return server.Submit(id, std::move(request));
  }
  void OpenResource(std::unique_ptr<OpenParameters> parameters) override {
    server.OpenResource(std::move(parameters));
  }
  std::optional<std::uint32_t> FindResource(const std::string& address,
                                            const std::string& protocol) override {
    return server.FindResource(address, protocol);
  }
  void CloseResource(std::uint32_t id) override { server.CloseResource(id); }
  void CloseAllResources() override { server.CloseAllResources(); }
  std::string ListResources() override { return server.ListResources(); }
  std::string ListFound() override { return server.ListFound(); }
  std::string ListConnections() override { return server.ListConnections(); }
  void Shutdown() override { server.Shutdown(); }
  void Restart() override { server.Restart(); }
  void ApplyPublishSettings(const PublishSettings& settings) override {
    server.ApplyPublishSettings(settings);
  }
  void CheckListeners(const PublishSettings& settings) override {
    Server::CheckListeners(settings);
  }

  void SetIpListenTimeout(int milliseconds) override { server.SetIpListenTimeout(milliseconds); }
  int IpListenTimeout() override { return server.IpListenTimeout(); }
  std::string ListIpRequests() override { return server.ListIpRequests(); }
  void SetRememberAssignments(bool on) override { server.SetRememberAssignments(on); }
  bool RememberAssignments() override { return server.RememberAssignments(); }
  void AssignIp(const std::string& mac, const std::string& ip) override {
    server.AssignIp(mac, ip);
  }
  void SearchResources() override { server.SearchResources(); }
  std::string ServerInfo(const std::string& name) override { return server.ServerInfo(name); }
  std::string ListServers() override { return server.ListServers(); }
  std::string ServerStatus() override { return server.ServerStatus(); }
  void StartPing(const std::string& address, int count,
                 std::shared_ptr<ResourceClient> requestor) override {
    server.Pingers().Start(address, count, std::dynamic_pointer_cast<Requestor>(requestor));
  }

private:
  Server& server;
};

// The adapters are bases so that they are made before, and go after, the shell using them.
struct ShellLinks {
  ShellLinks(Requestor& requestor, Server& server) : ownerLink(requestor), serverLink(server) {}
  RequestorShellOwner ownerLink;
  ServerShellServer serverLink;
};

class ConnectionShell final : private ShellLinks, public CommandShell {
public:
  ConnectionShell(Requestor& requestor, Server& server, bool mdnsSupported)
      : ShellLinks(requestor, server), CommandShell(ownerLink, serverLink, mdnsSupported) {}
};

}  // namespace

std::unique_ptr<Shell> MakeShell(Requestor& owner, Server& server, bool mdnsSupported) {
  return std::make_unique<ConnectionShell>(owner, server, mdnsSupported);
}

ShellFactory DefaultShellFactory() {
  std::lock_guard<std::mutex> lock(factoryLock);
  return defaultFactory ? defaultFactory : ShellFactory(MakeShell);
}

void SetDefaultShellFactory(ShellFactory factory) {
  std::lock_guard<std::mutex> lock(factoryLock);
  defaultFactory = std::move(factory);
}

std::unique_ptr<Server> MakeServerCore() {
  return std::make_unique<Server>(DefaultShellFactory(), MakeResource);
}
