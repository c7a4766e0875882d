// One UDP socket to one controller port: a channel of the Ethernet connection. Besides command
// text it receives the controller's data-record and interrupt datagrams and sorts them out.
#pragma once

#include <boost/asio/ip/udp.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "core/orvan_device.hpp"
#include "core/socket_channel.hpp"
#include "protocol/controller_datagram.hpp"

namespace orvan {

// Takes what a datagram carries: a record's bytes into the record (when there is one, at most
// its 512 bytes), an interrupt's status bytes onto the queue (at most 64 held). Text is left
// to the caller. Returns the kind.
protocol::DatagramKind SortDatagram(const char* bytes, size_t length, OrvDataRecord* record,
                                    std::deque<uint8_t>& interrupts);

class UdpDevice : public OrvanDevice, public std::enable_shared_from_this<UdpDevice> {
public:
  explicit UdpDevice(boost::asio::io_context& io);
  ~UdpDevice() override;

  void Open(const std::shared_ptr<OrvanOptions>& opened) override;
  bool IsOpen() override { return open; }
  void Close() override;
  size_t Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) override;
  int32_t BytesAvailable() override;
  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override;
  int32_t Record(bool async, int32_t timeout) override;
  uint8_t Interrupt(int32_t timeout) override;
  int32_t BusType() override { return kBusUdp; }
  void SetOption(int32_t option, int32_t value) override;

  // Data-record datagrams received so far.
  int32_t RecordCounter() const { return recordCounter; }
  size_t QueuedInterrupts() const { return interrupts.size(); }

private:
  // One non-blocking attempt; false when nothing from the controller is there.
  bool TryReceive();
  bool TrySend(const char* bytes, size_t size, size_t& sent);
  // Takes a record or interrupt datagram out of the receive buffer; false for text.
  bool TakeDatagram();

  SocketChannel<boost::asio::ip::udp::socket> channel;
  // Where sends go; follows the port of the controller's datagrams.
  boost::asio::ip::udp::endpoint remoteEndpoint;
  boost::asio::ip::udp::endpoint sender;
  bool open = false;
  int32_t recordCounter = 0;
  int32_t reportedCounter = 0;
  std::deque<uint8_t> interrupts;
  bool unsolicitedPort = false;
  bool pacing = true;
};

}  // namespace orvan
