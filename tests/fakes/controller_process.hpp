// The fake controller as a separate process: started with the given arguments, its address
// and ports taken from its "ready" line, commands sent to its standard input, and its end
// (with its exit status) when that input closes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvan::fakes {

class ControllerProcess {
public:
  explicit ControllerProcess(const std::string& program,
                             const std::vector<std::string>& arguments = {});
  ~ControllerProcess();
  ControllerProcess(const ControllerProcess&) = delete;
  ControllerProcess& operator=(const ControllerProcess&) = delete;

  // Writes one line ("message hi", "record", ...) to the program's standard input.
  void Send(const std::string& line);
  // Closes its input and waits: the exit status, or -1 when it did not exit normally.
  int Finish();

  std::string address;
  uint16_t commandPort = 0;
  uint16_t unsolicitedPort = 0;

private:
  pid_t pid = 0;
  int input = -1;
};

}  // namespace orvan::fakes
