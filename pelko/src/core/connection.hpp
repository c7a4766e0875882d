// The part of a handle that owns its device: has the right device made for an address, opens
// it, and runs the operations made of several controller exchanges (command lists, the information
// line, array transfers and program downloads).
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
  // Makes a device for the options on the handle's I/O context, in place of MakeDevice.
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
  // One line about the device: "device not open", the monitor's answer, or address, revision
  // and serial number.
  std::string Info();
  std::shared_ptr<Description> GetDescription();
  // A negative first, last or delimiter is left out of the request.
  std::string ArrayUpload(const std::string& name, int32_t first, int32_t last, int32_t delimiter);
  void ArrayDownload(const std::string& name, int32_t first, int32_t last,
                     const std::string& values);
  // Preprocesses the program to the hardware's limits and downloads it with `command` ("DL").
  void ProgramDownload(const std::string& program, const std::string& preprocessorOptions,
                       const std::string& command);

  // Replaces how devices are made, for every connection of the process; returns the previous
  // maker. Internal: tests put scripted devices behind handles with it; an empty maker restores
  // MakeDevice.
  static DeviceMaker SetDeviceMaker(DeviceMaker maker);

  std::shared_ptr<OrvanDevice> device;
  boost::asio::io_context ioContext;
  std::shared_ptr<OrvanOptions> options;

private:
  std::shared_ptr<OrvanDevice> CreateDevice(const OrvanOptions& opened);
  OrvanDevice& Device();
  int32_t OptionsTimeout();
  // Acknowledged downloads: the hardware acknowledges lines and debug bit 0 does not forbid it.
  bool Acknowledged(const Description& description);
  void Progress(uint64_t done, uint64_t total);
  // Writes bytes of a download whose opening line is out; remembers whether they ended a line.
  void WriteDownload(const std::string& bytes, bool progress, bool& midLine);
  // Ends a failed download so the controller takes no later command as download data.
  void AbandonDownload(bool midLine);
  // The closing "\" of a download and the reply it brings.
  void FinishDownload();
};

}  // namespace orvan
