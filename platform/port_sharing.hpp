// Telling the server's own listeners from another holder of its port. Each listener is bound
// exclusively (a second server, or any other program, finds the port taken), then opened to
// sharing with SO_REUSEPORT. A probe that binds with the same option then succeeds beside the
// server's own sockets and fails only where something else holds the port, so a change of
// listen address can be checked before the old listeners close.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace platform {

// Lets probes of this process bind beside the bound socket `descriptor` (SO_REUSEPORT).
std::error_code SharePort(int descriptor);

// Whether a TCP listener and a UDP socket can be bound on IPv4 `address` and `port` now,
// beside sockets opened with SharePort. On failure `step` names the socket that could not be
// bound ("tcp" or "udp") and the system's error is returned.
std::error_code ProbePort(const std::string& address, uint16_t port, std::string& step);

}  // namespace platform
