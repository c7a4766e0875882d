// Arbitrary controller replies to identification: every input gives a record or OrvanError
// -1300, nothing else. Byte 0 picks the address kind (bits 0-1) and the monitor prompt (bit 2);
// the rest, split at NUL bytes, answers identity, "ID", "QP", "MG _CO" and "MG _TM" in turn.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/answering_device.hpp"
#include "identify/description.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kAddresses[] = {"10.0.0.2", "/dev/ttyS0", "RUREZIVU1",
                                           "plc.example.com"};
  static const char* const kQueries[] = {"\x12\x16", "ID", "QP", "MG _CO", "MG _TM"};

  auto device = std::make_shared<orvan::fakes::AnsweringDevice>();
  auto options = std::make_shared<orvan::OrvanOptions>();
  options->address = kAddresses[data[0] & 3];
  device->Open(options);
  device->prompt = (data[0] & 4) ? '>' : ':';
  device->answers["MG_BN{Z10.0}"] = "1";

  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t start = 0;
  for (const char* query : kQueries) {
    if (start > rest.size()) break;
    const size_t end = std::min(rest.find('\0', start), rest.size());
    device->answers[query] = rest.substr(start, end - start);
    start = end + 1;
  }

  try {
    OrvDescription out;
    const int32_t flags = device->description->CopyTo(*device, out);
    if (flags != out.flags || (flags & ~7) != 0 || !device->description->identified) std::abort();
  } catch (const orvan::OrvanError& e) {
    if (e.Code() != -1300 || device->description->identified) std::abort();
  }
  return 0;
}
