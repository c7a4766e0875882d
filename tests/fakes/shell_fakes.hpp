// Small stand-ins for what a Shell talks to: its connection, the server core and a resource.
// Each records what it was asked, so tests and the fuzz target can check effects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "shell/request.hpp"
#include "shell/shell_owner.hpp"
#include "shell/shell_resource.hpp"
#include "shell/shell_server.hpp"

class FakeShellOwner : public ShellOwner {
public:
  void Write(const std::uint8_t* data, std::size_t length) override {
    written.append(reinterpret_cast<const char*>(data), length);
  }
  // Requests only keep a weak reference; this token stands for the connection object.
  std::shared_ptr<ResourceClient> SharedFromThis() override {
    return std::shared_ptr<ResourceClient>(token, static_cast<ResourceClient*>(nullptr));
  }
  std::uint32_t IdleTimeout() const override { return idleTimeout; }
  bool Closed() const override { return closed; }
  void SetIdleTimeout(std::uint32_t milliseconds) override {
    idleTimeout = milliseconds;
    ++idleTimeoutChanges;
  }
  bool HoldReading() override {
    if (canHold) ++holds;
    return canHold;
  }
  // What was written since the last call.
  std::string Take() {
    std::string taken;
    taken.swap(written);
    return taken;
  }

  std::string written;
  std::uint32_t idleTimeout = 600000;
  int idleTimeoutChanges = 0;
  bool closed = false;
  bool canHold = false;  // a stream carrier; datagrams cannot be held back
  int holds = 0;
  std::shared_ptr<int> token = std::make_shared<int>(0);
};

class FakeShellResource : public ShellResource {
public:
  void QueueWrite(const std::uint8_t* data, std::size_t length) override {
    written.append(reinterpret_cast<const char*>(data), length);
  }
  void RequestDone() override { ++done; }
  void ReplyAbandoned(const ReplyTracker& tracker) override {
    ++abandoned;
    followed = tracker;
  }
  bool QueueFull(std::size_t length) const override { return written.size() + length > queueLimit; }
  void WhenDrained(std::weak_ptr<ResourceClient>) override { ++drainWaits; }

  std::string written;
  int done = 0;
  int abandoned = 0;                  // ReplyAbandoned calls
  ReplyTracker followed;              // the tracker the last of them handed over
  std::size_t queueLimit = SIZE_MAX;  // `written` past this is a full queue
  int drainWaits = 0;
};

class FakeShellServer : public ShellServer {
public:
  struct Submission {
    std::uint32_t id;
    std::shared_ptr<Request> request;
  };

  int Submit(std::uint32_t id, std::shared_ptr<Request> request) override {
    if (!resources.count(id)) return -2;
    submitted.push_back({id, std::move(request)});
    return 0;
  }
  void OpenResource(std::unique_ptr<OpenParameters> parameters) override {
    opened.push_back(*parameters);
  }
  std::optional<std::uint32_t> FindResource(const std::string& address,
                                            const std::string& protocol) override {
    const auto found = addresses.find(address + "/" + protocol);
    if (found == addresses.end()) return std::nullopt;
    return found->second;
  }
  void CloseResource(std::uint32_t id) override { Log("close " + std::to_string(id)); }
  void CloseAllResources() override { Log("close all"); }
  std::string ListResources() override { return "  1,        10.0.0.2, udp, none\r\n"; }
  std::string ListFound() override { return "found\r\n"; }
  std::string ListConnections() override { return "10.0.0.9\n"; }
  void Shutdown() override { Log("shutdown"); }
  void Restart() override { Log("restart"); }
  void ApplyPublishSettings(const PublishSettings& settings) override {
    Log("publish " + std::to_string(settings.publish) + " " + settings.name + " " +
        std::to_string(settings.port));
  }
  void SetIpListenTimeout(int milliseconds) override {
    listenTimeout = milliseconds;
    Log("listen " + std::to_string(milliseconds));
  }
  int IpListenTimeout() override { return listenTimeout; }
  std::string ListIpRequests() override { return "requests\r\n"; }
  void SetRememberAssignments(bool on) override {
    remember = on;
    Log("remember " + std::to_string(on));
  }
  bool RememberAssignments() override { return remember; }
  void AssignIp(const std::string& mac, const std::string& ip) override {
    Log("assign [" + mac + "] [" + ip + "]");
  }
  void SearchResources() override { Log("search"); }
  std::string ServerInfo(const std::string& name) override { return "info " + name; }
  std::string ListServers() override { return "other dravo\n"; }
  std::string ServerStatus() override { return "host dravo, false"; }
  void StartPing(const std::string& address, int count, std::shared_ptr<ResourceClient>) override {
    if (pingFails) throw std::runtime_error("socket: Operation not permitted");
    Log("ping " + address + " " + std::to_string(count));
  }

  void Log(const std::string& call) { calls.push_back(call); }
  // The command bytes of the n-th submission from the end (0 = last).
  std::string Bytes(std::size_t back = 0) const {
    const auto& request = submitted.at(submitted.size() - 1 - back).request;
    return std::string(reinterpret_cast<const char*>(request->commandBytes.data()),
                       request->length);
  }

  // Ids that have a resource; the shell may link to them.
  std::map<std::uint32_t, std::shared_ptr<FakeShellResource>> resources;
  // "address/protocol" -> id, for FindResource.
  std::map<std::string, std::uint32_t> addresses;
  std::vector<Submission> submitted;
  std::vector<OpenParameters> opened;
  std::vector<std::string> calls;
  int listenTimeout = -1;
  bool remember = true;
  bool pingFails = false;
};
