// The part of a handle that owns its device: builds the right device for an address, opens it,
// and runs the operations made of several controller exchanges.
#pragma once

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orvan {

class Description;
class OrvanDevice;
struct OrvanOptions;

class Connection {
public:
  // Builds a device for the options on the handle's I/O context.
  using DeviceMaker = std::function<std::shared_ptr<OrvanDevice>(const OrvanOptions& options,
                                                                 boost::asio::io_context& io)>;

  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Closes and drops any earlier device, creates the device for the address and opens it.
  void Open(const std::shared_ptr<OrvanOptions>& opened);
  // Sends each part of a list split at ';' and CR, joining the replies.
  std::string Command(const std::string& list, bool trim, int32_t timeout);
  std::shared_ptr<Description> GetDescription();

  // Replaces how devices are made, for every connection of the process; returns the previous
  // maker. Internal: tests put scripted devices behind handles with it; an empty maker restores
  // the built-in kinds.
  static DeviceMaker SetDeviceMaker(DeviceMaker maker);

  std::shared_ptr<OrvanDevice> device;
  boost::asio::io_context ioContext;
  std::shared_ptr<OrvanOptions> options;

private:
  std::shared_ptr<OrvanDevice> CreateDevice(const OrvanOptions& opened);
};

}  // namespace orvan
