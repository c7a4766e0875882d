// The server core as the shell reaches it: the resource table and the services behind it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "resources/open_parameters.hpp"
#include "settings/publish_settings.hpp"

class Request;
class ResourceClient;

class ShellServer {
public:
  virtual ~ShellServer() = default;

  // 0 when a resource has that id and the request is queued on it, else -2.
  virtual int Submit(std::uint32_t id, std::shared_ptr<Request> request) = 0;
  // Opens asynchronously; throws when the server holds as many resources as it may.
  virtual void OpenResource(std::unique_ptr<OpenParameters> parameters) = 0;
  // The lowest id with that address (and kind word, when given).
  virtual std::optional<std::uint32_t> FindResource(const std::string& address,
                                                    const std::string& protocol) = 0;
  virtual void CloseResource(std::uint32_t id) = 0;
  virtual void CloseAllResources() = 0;
  virtual std::string ListResources() = 0;
  virtual std::string ListFound() = 0;
  virtual std::string ListConnections() = 0;

  virtual void Shutdown() = 0;
  virtual void Restart() = 0;
  virtual void ApplyPublishSettings(const PublishSettings& settings) = 0;
  // Throws, with the bind failure as its text, when the server could not listen as these
  // settings ask; a server that cannot tell takes every setting.
  virtual void CheckListeners(const PublishSettings&) {}

  // The IP assigner.
  virtual void SetIpListenTimeout(int milliseconds) = 0;
  virtual int IpListenTimeout() = 0;
  virtual std::string ListIpRequests() = 0;
  virtual void SetRememberAssignments(bool on) = 0;
  virtual bool RememberAssignments() = 0;
  virtual void AssignIp(const std::string& mac, const std::string& ip) = 0;

  // The hardware search.
  virtual void SearchResources() = 0;

  // The mDNS manager.
  virtual std::string ServerInfo(const std::string& name) = 0;
  virtual std::string ListServers() = 0;
  virtual std::string ServerStatus() = 0;

  // Builds a pinger on the server's event loop and starts it; it answers through the
  // requestor's shell. Throws when the pinger cannot be made (no raw socket).
  virtual void StartPing(const std::string& address, int count,
                         std::shared_ptr<ResourceClient> requestor) = 0;
};
