// The IP assigner: answers the BOOTP/DHCP requests of the maker's controllers on every adapter
// with the addresses users assign through the shell, lists the controllers that ask, probes
// for other DHCP servers when it starts listening, and keeps its listen time and remembered
// assignments in the settings file. Runs on the server core's event loop.
#pragma once

#include "platform/host_interfaces.hpp"
#include "services/dhcp_request_table.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

struct DhcpSocket;

class DhcpServer : public std::enable_shared_from_this<DhcpServer> {
public:
  using InterfaceLister = std::function<bool(std::vector<platform::HostInterface>&)>;
  // How long other DHCP servers have to answer the probe.
  static constexpr std::chrono::seconds kProbeTime{5};

  explicit DhcpServer(boost::asio::io_context& io,
                      InterfaceLister interfaces = platform::ListHostInterfaces);
  ~DhcpServer();
  DhcpServer(const DhcpServer&) = delete;
  DhcpServer& operator=(const DhcpServer&) = delete;

  // As the server core starts: loads the remembered assignments and listens without end
  // unless the stored listen time is 0 or more.
  void Start();
  // Below 0 listen without end, 0 stop, above 0 listen that many milliseconds; saved.
  void Listen(int milliseconds);
  int ListenTimeout() const { return listenTimeout; }
  // The listed controllers; restarts listening when the host's adapters changed.
  std::string ListRequests();
  void SetRemember(bool on);
  bool Remember() const { return table.Remember(); }
  // Throws, changing nothing, on a MAC or IP text that does not parse.
  void Assign(const std::string& mac, const std::string& ip);
  void Save();
  void Load();
  // At teardown: every socket and timer ends, the probe too, and nothing starts again.
  void Close();

  std::size_t ListeningSockets() const { return listenSockets.size(); }
  std::size_t ProbeSockets() const { return probeSockets.size(); }
  const DhcpRequestTable& Table() const { return table; }

private:
  using SocketList = std::list<std::shared_ptr<DhcpSocket>>;

  void ProbeForeignServers();
  void SendProbe(const platform::HostInterface& adapter);
  void OpenSockets(std::uint16_t port, SocketList& list);
  void StartReceive(const std::shared_ptr<DhcpSocket>& socket);
  void OnReceive(const boost::system::error_code& error, std::size_t count,
                 const std::shared_ptr<DhcpSocket>& socket);
  void SendReply(const std::vector<DhcpReply>& candidates);
  void OnListenTimeout(const boost::system::error_code& error, unsigned generation);
  void OnProbeTimeout(const boost::system::error_code& error);
  static void CloseSockets(SocketList& list);

  boost::asio::io_context& io;
  InterfaceLister listInterfaces;
  DhcpRequestTable table;
  int listenTimeout = 0;
  SocketList listenSockets;  // port 67, one per adapter while listening
  SocketList probeSockets;   // port 68, one per adapter while a probe runs
  boost::asio::steady_timer listenTimer;
  boost::asio::steady_timer probeTimer;
  unsigned listenGeneration = 0;  // a re-armed listen timer's old expiry must not count
  bool closed = false;
};
