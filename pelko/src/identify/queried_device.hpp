// What identification needs of the device it queries: the device's own command exchange, the
// options it was opened with, whether its last reply came from the monitor, and where the
// pacing it finds goes. Devices implement it; identification knows nothing else of them.
#pragma once

#include <cstdint>
#include <string>

namespace orvan {

struct OrvanOptions;

class QueriedDevice {
public:
  virtual ~QueriedDevice() = default;

  // One command and its reply up to the controller's prompt.
  virtual std::string Command(const std::string& command, bool trim, int32_t timeout,
                              bool throwOnError) = 0;
  virtual void SetOption(int32_t option, int32_t value) = 0;
  // The options of the last open; null before any.
  virtual const OrvanOptions* OpenedOptions() const = 0;
  // True when the last reply ended with the monitor's prompt.
  virtual bool InMonitor() const = 0;
};

}  // namespace orvan
