// Arbitrary command texts and reply chunks through the scripted device, then a second command
// over what is left: every input ends in a reply or one of the engine's defined codes, and
// Message never overruns its buffer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/scripted_device.hpp"

namespace {

bool Defined(int32_t code) {
  switch (code) {
    case -1100:  // no prompt before the script ran out
    case -1103:  // a scripted read failure
    case -1105:
    case -1106:
    case -10000:
    case -10004:
      return true;
    default:
      return false;
  }
}

}  // namespace

// Input: flags byte, command length byte, command, then chunks of (length byte, bytes).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  size_t commandLength = data[1];
  size_t at = 2;
  if (commandLength > size - at) commandLength = size - at;
  std::string command(reinterpret_cast<const char*>(data + at), commandLength);
  at += commandLength;
  // Steer half the inputs into the modes with their own end rules.
  static const char* const kModes[] = {"QR", "MG ", "QU ", ""};
  if (flags & 0x10) command = kModes[(flags >> 5) & 3] + command;

  auto device = std::make_shared<orvan::fakes::ScriptedDevice>();
  auto options = std::make_shared<orvan::OrvanOptions>();
  options->timeout = (flags & 0x80) ? 0 : 100;
  device->Open(options);
  if (flags & 0x08) device->maxRead = 1 + (flags & 0x07);
  while (at < size) {
    size_t chunk = data[at++];
    if (chunk == 0xFF) {
      device->Fail(-1103);
      continue;
    }
    if (chunk > size - at) chunk = size - at;
    device->Reply(std::string(reinterpret_cast<const char*>(data + at), chunk));
    at += chunk;
  }

  // The second command reads what the first left: a reply the first still owes is settled
  // before it goes out.
  for (const std::string& text : {command, std::string("TP")}) {
    try {
      const std::string reply = device->Command(text, flags & 1, 0, flags & 2);
      if (reply.size() > orvan::kReplyLimit + orvan::kReadBlock) std::abort();
    } catch (const orvan::OrvanError& e) {
      if (!Defined(e.Code())) std::abort();
    }
  }

  char buffer[64];
  const size_t room = flags & 0x3F;
  try {
    if (device->Message(buffer, room, flags & 4 ? 0 : 5) > room) std::abort();
  } catch (const orvan::OrvanError& e) {
    if (!Defined(e.Code())) std::abort();
  }
  if (device->UnsolicitedCount() > orvan::kUnsolicitedLimit) std::abort();
  return 0;
}
