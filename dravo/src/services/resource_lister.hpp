// The server's hardware search: every Ethernet controller on every host interface is asked by
// multicast to answer within 500 ms, and the cards and serial ports the system has are listed
// at once. One search runs at a time on the server's event loop; its results stay until the
// next search starts.
#pragma once

#include "services/local_device_lists.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

struct SearchSocket;

class ResourceLister : public std::enable_shared_from_this<ResourceLister> {
public:
  // How long the Ethernet controllers have to answer.
  static constexpr std::chrono::milliseconds kSearchTime{500};
  // One search keeps no more answers than this: its list goes whole into one shell answer.
  static constexpr std::size_t kMaxReplies = 256;

  explicit ResourceLister(boost::asio::io_context& io,
                          LocalDeviceLists devices = SystemDeviceLists());
  ~ResourceLister();
  ResourceLister(const ResourceLister&) = delete;
  ResourceLister& operator=(const ResourceLister&) = delete;

  // Starts a search unless one runs; the cards and serial ports are listed when it returns.
  void Search();
  // The last search's results: Ethernet answers, card names, serial-port names, each ended by
  // CR LF. An answer reads "sender, text, interface address, interface name".
  std::string Found() const;
  // At teardown: the running search stops, none starts again, and nothing pending keeps the
  // lister once the event loop has run its cancelled operations.
  void Close();

private:
  void SearchEthernet();
  void OpenSockets();
  void StartReceive(SearchSocket& socket);
  void OnReceive(const boost::system::error_code& error, std::size_t count, SearchSocket& socket);
  void OnSearchTimeout();
  void CloseSockets();

  std::vector<std::string> ethernetReplies;
  std::vector<std::string> pciNames;
  std::vector<std::string> comNames;
  boost::asio::io_context& io;
  std::list<std::unique_ptr<SearchSocket>> searchSockets;
  boost::asio::steady_timer searchTimer;
  // Sends, receives and the timer not yet completed: a search starts only at 0.
  std::uint32_t pending = 0;
  bool closed = false;
  LocalDeviceLists devices;
};
