// The direct Ethernet connection: a command channel (TCP or UDP) and an optional unsolicited
// channel (UDP or TCP) to the same controller, routed behind one device.
#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>

#include "core/orvan_device.hpp"

namespace orvan {

class NetworkDevice : public OrvanDevice, public std::enable_shared_from_this<NetworkDevice> {
public:
  explicit NetworkDevice(boost::asio::io_context& io);
  ~NetworkDevice() override;

  void Open(const std::shared_ptr<OrvanOptions>& opened) override;
  bool IsOpen() override;
  void Close() override;
  void Initialize() override;
  size_t Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) override;
  int32_t BytesAvailable() override;
  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override;
  size_t Message(char* buffer, uint64_t length, int32_t timeout) override;
  void SetRecordBuffer(const std::shared_ptr<OrvDataRecord>& record) override;
  int32_t Record(bool async, int32_t timeout) override;
  uint8_t Interrupt(int32_t timeout) override;
  void FirmwareDownload(const std::string& path, Connection& connection) override;
  int32_t BusType() override { return busType; }
  void SetCallback(OrvProgressCallback callback, void* user) override;
  // The command channel, which owns the description: identification queries through it.
  OrvanDevice& DescribedDevice() override;

  const std::shared_ptr<OrvanDevice>& CommandChannel() const { return commandChannel; }
  const std::shared_ptr<OrvanDevice>& UnsolicitedChannel() const { return unsolicitedChannel; }

private:
  std::shared_ptr<OrvanDevice> MakeChannel(int32_t type);

  boost::asio::io_context* ioContext;
  std::shared_ptr<OrvanDevice> commandChannel;
  std::shared_ptr<OrvanDevice> unsolicitedChannel;
  int32_t busType = kBusTcp;
  // The controller has sent a reply byte since the open: it is there, whatever it refuses.
  bool answered = false;
};

}  // namespace orvan
