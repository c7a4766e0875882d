// Arbitrary controller reads through a resource's input sorting, with a client owning the
// resource or not, in raw or cooked mode: nothing crashes or reads past a read, no byte is
// delivered that did not arrive (none is lost unless a read may hold the marker), message bytes
// have bit 7 cleared, a reply ends only for an owner, and a part marked as binary never also
// ends a reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/controller_datagram.hpp"
#include "protocol/controller_input.hpp"

namespace {

namespace protocol = orvan::protocol;

class Checker final : public protocol::InputEvents {
public:
  void Reply(const uint8_t* bytes, size_t length, bool complete, bool binaryPart) override {
    if (length == 0 || (complete && binaryPart) || (complete && !owned)) std::abort();
    Touch(bytes, length);
    delivered += length;
    finished = finished || complete;
  }
  void Unsolicited(const uint8_t* bytes, size_t length) override {
    if (length == 0) std::abort();
    for (size_t i = 0; i < length; ++i) {
      if (bytes[i] & 0x80) std::abort();
    }
    delivered += length;
  }

  bool owned = false;
  // A complete binary reply ends the owner's request once the read is sorted.
  bool finished = false;
  size_t delivered = 0;

private:
  // Reads every byte, so the sanitizer sees a range that runs past its buffer.
  void Touch(const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) sum += bytes[i];
  }
  unsigned sum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool udp = data[0] & 1;
  protocol::ControllerInput input;
  Checker checker;
  bool raw = false;
  size_t fed = 0;
  size_t begin = 1;
  // The input is cut at 0xFF into steps; a step's first byte says what it does with the rest.
  for (size_t i = 1; i <= size; ++i) {
    if (i < size && data[i] != 0xFF) continue;
    const uint8_t* step = data + begin;
    const size_t length = i - begin;
    begin = i + 1;
    if (length == 0) continue;
    switch (step[0]) {
      case 'C':  // a client's command is being served
        checker.owned = true;
        break;
      case 'D':  // its reply is done
        checker.owned = false;
        break;
      case 'R':
        raw = !raw;
        break;
      default: {
        // A copy of exactly one read.
        const std::vector<uint8_t> read(step + 1, step + length);
        fed += read.size();
        // Records and interrupts of a UDP resource, and an owner's raw data, pass unsorted.
        const auto kind = udp ? protocol::ClassifyDatagram(read.data(), read.size())
                              : protocol::DatagramKind::Text;
        if (kind == protocol::DatagramKind::Record) {
          checker.delivered += read.size();
          break;
        }
        if (kind == protocol::DatagramKind::Interrupt) {
          checker.delivered += protocol::InterruptStatus(read.size()).count;
          break;
        }
        if (raw && checker.owned) {
          checker.delivered += read.size();
          break;
        }
        bool markerPossible = false;
        for (const uint8_t byte : read) markerPossible = markerPossible || byte == 0x50;
        const size_t before = checker.delivered;
        input.Sort(read.data(), read.size(), checker.owned, checker);
        if (checker.finished) checker.owned = checker.finished = false;
        if (!markerPossible && checker.delivered - before != read.size()) std::abort();
        break;
      }
    }
    if (checker.delivered > fed) std::abort();
  }
  return 0;
}
