// Controller discovery by UDP multicast: the query both the library and the server send on
// every interface, and the text a controller's answer carries. Answer bytes come from the
// network and end up in shell answers and callers' buffers, so the text never carries a byte
// that could end or fail an answer, start a line, or end a C string.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace orvan::protocol {

constexpr const char* kDiscoveryGroup = "239.255.19.56";
constexpr std::uint16_t kDiscoveryPort = 50000;
// The most of one answer that is read; a longer datagram is cut to it.
constexpr std::size_t kDiscoveryAnswerSize = 512;
// An answer ends with this many bytes that are not part of its text (the reply's end).
constexpr std::size_t kDiscoveryAnswerTail = 3;
// What stands for every byte an answer's text may not carry.
constexpr char kDiscoveryReplacement = '?';

// The revision query (Ctrl-R Ctrl-V) and the release of the handle that served it: one
// datagram to the group.
const std::array<std::uint8_t, 11>& DiscoveryQuery();

// The text of one answer datagram: without its last 3 bytes, each control byte (CR, LF and NUL
// among them), "~" and "\" replaced by "?". None when the datagram holds 3 bytes or fewer.
std::optional<std::string> DiscoveryAnswerText(const std::uint8_t* bytes, std::size_t length);

}  // namespace orvan::protocol
