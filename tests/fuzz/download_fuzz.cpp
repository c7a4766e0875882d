// Array and program downloads against arbitrary controller answers: every input ends in success
// or an OrvanError, and whenever the opening "QD"/"DL" line went out, the last byte written is
// the closing backslash, so the controller is never left taking commands as download data.
// Byte 0: bit 0 acknowledged, bit 1 program (else array), bit 2 blind program too (slow: it
// waits its pacing). Then the values or program text up to a NUL; the rest are the answers,
// handed out in reads of up to (byte 0 >> 3) + 1 bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/connection.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/scripted_device.hpp"
#include "identify/description.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool acknowledged = data[0] & 1;
  const bool program = data[0] & 2;
  if (program && !acknowledged && !(data[0] & 4)) return 0;

  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = std::min(rest.find('\0'), rest.size());
  std::string text = rest.substr(0, split);
  // Include directives would read files of this machine.
  for (auto& c : text) c = c == '#' ? ' ' : c;
  const std::string answers = split < rest.size() ? rest.substr(split + 1) : std::string();

  auto device = std::make_shared<orvan::fakes::ScriptedDevice>();
  const auto previous = orvan::Connection::SetDeviceMaker(
      [&](const orvan::OrvanOptions&, boost::asio::io_context&) { return device; });
  {
    orvan::Connection connection;
    auto options = std::make_shared<orvan::OrvanOptions>();
    options->address = "10.0.0.2";
    options->timeout = 1;
    connection.Open(options);
    device->description->identified = true;  // the answers are the download's alone
    device->description->lineAcknowledged = acknowledged;
    device->description->pacing = false;
    device->maxRead = (data[0] >> 3) + 1u;
    device->Reply(program ? ":" : "DATA[5]\r\n:");
    for (size_t at = 0; at < answers.size(); at += 64) device->Reply(answers.substr(at, 64));

    try {
      if (program)
        connection.ProgramDownload(text, "", "DL");
      else
        connection.ArrayDownload("DATA", 0, 4, text);
    } catch (const orvan::OrvanError&) {
    }
    bool opened = false;
    for (const auto& write : device->writes)
      opened |= write.rfind("QD", 0) == 0 || write.rfind("DL", 0) == 0;
    if (opened && device->writes.back() != "\\") std::abort();
  }
  orvan::Connection::SetDeviceMaker(previous);
  return 0;
}
