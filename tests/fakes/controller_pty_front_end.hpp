// Carries the fake controller's bytes over a serial line: a pty pair whose master side is the
// controller and whose slave a link names, so a device opens the link as its port. Runs on
// one event loop; every call but the constructor belongs on that loop.
#pragma once

#include "fakes/controller_core.hpp"

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>

namespace orvan::fakes {

class ControllerPtyFrontEnd {
public:
  // Makes the pty (raw, so it neither echoes the replies nor turns CR into LF) and the link
  // `link` to its slave, making the link's folder as needed; throws when it cannot.
  ControllerPtyFrontEnd(ControllerCore& core, boost::asio::io_context& io, std::string link);
  ~ControllerPtyFrontEnd();
  ControllerPtyFrontEnd(const ControllerPtyFrontEnd&) = delete;
  ControllerPtyFrontEnd& operator=(const ControllerPtyFrontEnd&) = delete;

  void Start();
  // Raw bytes down the line, past the core.
  void Send(const std::string& bytes);
  // While paused no bytes are taken off the line (one read already waiting may still take
  // some), so the device's writes fill the pty and stall.
  void PauseReading(bool paused);
  // Closes the master: the line hangs up for the device, as a controller switched off.
  void Close();
  const std::string& Link() const { return link; }

private:
  class Line;
  const std::string link;
  std::shared_ptr<Line> line;
};

}  // namespace orvan::fakes
