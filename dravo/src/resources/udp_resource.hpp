// A controller reached by datagrams: every command is one datagram to it, and what it sends
// back (replies, data records, interrupts) arrives on the same socket.
#pragma once

#include "resources/resource.hpp"

#include "platform/datagram_batch.hpp"

#include <boost/asio/ip/udp.hpp>

#include <array>

class UdpResource : public Resource {
public:
  UdpResource(boost::asio::io_context& io, ResourceTable& table, uint32_t id);
  uint32_t Kind() const override { return orvan::protocol::kKindUdp; }
  // Resolves the address (IPv4) and opens the socket; reading starts with the first write.
  void Open(const OpenParameters& parameters) override;
  // Tells the controller to stop its record stream and free this handle, then closes.
  void Release() override;
  bool Matches(const OpenParameters& parameters) const override;
  // "dst(controller:port)"
  std::string Describe() const override;

protected:
  void Close(std::shared_ptr<Resource> self) override;
  void Write(const uint8_t* bytes, size_t length) override;
  void StartRead() override;
  // A lost datagram is the client's timeout to notice; the resource goes on.
  void OnWriteFailed(const boost::system::error_code& error) override;

private:
  // Datagrams taken per receive call: a burst of records is drained in a few calls.
  static constexpr size_t kBatch = 32;

  // The socket has datagrams: takes every one waiting, then waits again.
  void OnReadable(const boost::system::error_code& error);
  // One received datagram; false when the resource reads no more.
  bool Take(const platform::DatagramSlot& slot);
  // A data record to every record subscriber, all of them sharing one copy of its bytes.
  void FanOutRecord(const uint8_t* bytes, size_t length);

  boost::asio::ip::udp::socket socket;
  boost::asio::ip::udp::resolver resolver;
  boost::asio::ip::udp::endpoint controller;
  bool reading = false;
  bool waitingToRead = false;
  // Inside a drain, the base's request for the next read is only noted.
  bool draining = false;
  bool readAgain = false;
  std::array<std::array<uint8_t, kBufferSize>, kBatch> batchBuffers{};
  std::array<platform::DatagramSlot, kBatch> batch{};
};
