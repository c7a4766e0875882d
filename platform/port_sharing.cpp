// The probe binds exactly as the listeners do (SO_REUSEADDR for TCP, which only lets it past
// connections of the old listener still closing) and closes at once without listening.
#include "platform/port_sharing.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

std::error_code SystemError() { return {errno, std::system_category()}; }

std::error_code ProbeOne(int type, const sockaddr_in& endpoint) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return SystemError();
  const int on = 1;
  std::error_code error;
  if ((type == SOCK_STREAM && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) ||
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) != 0)
    error = SystemError();
  ::close(fd);
  return error;
}

}  // namespace

std::error_code SharePort(int descriptor) {
  const int on = 1;
  if (::setsockopt(descriptor, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) return SystemError();
  return {};
}

std::error_code ProbePort(const std::string& address, uint16_t port, std::string& step) {
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_port = htons(port);
  step = "address";
  if (::inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr) != 1)
    return std::make_error_code(std::errc::invalid_argument);
  step = "tcp";
  if (const auto error = ProbeOne(SOCK_STREAM, endpoint)) return error;
  step = "udp";
  if (const auto error = ProbeOne(SOCK_DGRAM, endpoint)) return error;
  step.clear();
  return {};
}

}  // namespace platform
