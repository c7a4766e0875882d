// mDNS hosts for tests: each a private D-Bus system bus and mDNS daemon with a host name of its
// own, on interfaces of the peer namespaces the test runner made (orvan_add_test PEERS), so
// no test reaches the machine's bus or daemon. The local host lives in the test's own network
// and mount namespaces and a UTS namespace the test process takes for itself; a peer host in
// its peer's network namespace with UTS and mount namespaces of its own. Everything a host
// starts ends by its pid when the host goes.
#pragma once

#include "support/peer_namespaces.hpp"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class MdnsHost {
public:
  // Gives this process a UTS namespace of its own with that host name, so that the servers it
  // builds take their default names from it. False (and the machine's name untouched) when it
  // cannot.
  static bool TakeHostName(const std::string& name);

  // `peer` null: the local host, on `interfaces` (one name, or several joined by commas) of the
  // test's namespace. `daemon` false: only
  // the bus, as on a machine whose mDNS daemon is not running.
  MdnsHost(std::string hostName, std::string interfaces, const PeerNamespace* peer = nullptr,
           bool daemon = true);
  ~MdnsHost();
  MdnsHost(const MdnsHost&) = delete;
  MdnsHost& operator=(const MdnsHost&) = delete;

  // Waits until the bus (and daemon) are up; false with Failure() telling why.
  bool WaitReady(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  std::string Failure() const;
  const std::string& BusAddress() const { return busAddress; }
  const std::string& Folder() const { return folder; }

  // Ends the host's mDNS daemon and starts a new one with the same configuration, as when the
  // daemon is restarted under a running server. False when the old one would not end.
  bool RestartDaemon();

  // Starts a program in this host's namespaces, with its bus and the given VAR=value entries;
  // it ends with the host (or by Stop).
  pid_t Start(const std::vector<std::string>& command,
              const std::vector<std::string>& environment = {});
  // Ends a program Start started: SIGTERM, then SIGKILL after a deadline; its exit status.
  int Stop(pid_t pid);
  // Runs a program to its end (killed at the deadline) and returns what it wrote.
  std::string Run(const std::vector<std::string>& command,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
  std::vector<std::string> Enter(const std::vector<std::string>& command,
                                 const std::vector<std::string>& environment) const;

  std::string hostName;
  std::string folder;
  std::string busAddress;
  bool inPeer;
  pid_t holder = -1;
  std::vector<pid_t> started;
};
