#include "fakes/echo_responder.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <future>
#include <system_error>

namespace orvan::fakes {

namespace {

constexpr const char* kIgnoreEchoes = "/proc/sys/net/ipv4/icmp_echo_ignore_all";

std::system_error Failure(const char* step) {
  return std::system_error(errno, std::generic_category(), step);
}

// Written out here rather than borrowed, so that a fault in the server's checksum shows.
std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum += i % 2 ? bytes[i] : bytes[i] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

EchoResponder::EchoResponder(const std::string& namespacePath, Policy policy)
    : answer(std::move(policy)) {
  std::promise<void> started;
  auto ready = started.get_future();
  stopHandle = eventfd(0, EFD_CLOEXEC);
  if (stopHandle < 0) throw Failure("eventfd");
  server = std::thread([this, namespacePath, &started] {
    try {
      // Namespaces are per thread: this one alone enters the peer.
      const int handle = open(namespacePath.c_str(), O_RDONLY | O_CLOEXEC);
      if (handle < 0) throw Failure("open namespace");
      const int entered = setns(handle, CLONE_NEWNET);
      close(handle);
      if (entered != 0) throw Failure("setns");
      // The sysctl files show the namespace of the thread that opens them.
      std::ifstream(kIgnoreEchoes) >> kernelAnswers;
      std::ofstream(kIgnoreEchoes) << "1\n";
      socketHandle = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
      if (socketHandle < 0) throw Failure("socket");
      const int on = 1;
      if (setsockopt(socketHandle, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
        throw Failure("SO_TIMESTAMPNS");
      started.set_value();
    } catch (...) {
      started.set_exception(std::current_exception());
      return;
    }
    Serve();
  });
  try {
    ready.get();
  } catch (...) {
    server.join();
    close(stopHandle);
    throw;
  }
}

EchoResponder::~EchoResponder() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = write(stopHandle, &one, sizeof one);
  server.join();
  close(stopHandle);
}

void EchoResponder::Serve() {
  std::uint8_t datagram[65536];
  for (;;) {
    pollfd waits[] = {{socketHandle, POLLIN, 0}, {stopHandle, POLLIN, 0}};
    if (poll(waits, 2, -1) < 0 && errno != EINTR) break;
    if (waits[1].revents) break;
    if (!(waits[0].revents & POLLIN)) continue;
    iovec part{datagram, sizeof datagram};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t length = recvmsg(socketHandle, &message, 0);
    if (length <= 0) continue;
    auto arrived = std::chrono::system_clock::now();
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
      if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_TIMESTAMPNS) continue;
      timespec stamp{};
      std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
      arrived = std::chrono::system_clock::time_point(
          std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
    }
    Answer(datagram, static_cast<std::size_t>(length), arrived);
  }
  close(socketHandle);
  if (!kernelAnswers.empty()) std::ofstream(kIgnoreEchoes) << kernelAnswers << "\n";
}

void EchoResponder::Answer(const std::uint8_t* datagram, std::size_t length,
                           std::chrono::system_clock::time_point arrival) {
  if (length < 20) return;
  const std::size_t header = (datagram[0] & 0x0F) * 4u;
  if (header < 20 || length < header + 8 || datagram[header] != 8) return;
  std::size_t index = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    index = requests.size();
    requests.push_back(
        {arrival, static_cast<std::uint16_t>(datagram[header + 4] << 8 | datagram[header + 5]),
         static_cast<std::uint16_t>(datagram[header + 6] << 8 | datagram[header + 7])});
  }
  arrived.notify_all();
  if (!answer(index)) return;
  // The reply is the request with another type; the kernel writes its IPv4 header.
  std::vector<std::uint8_t> reply(datagram + header, datagram + length);
  reply[0] = 0;
  reply[2] = reply[3] = 0;
  const std::uint16_t checksum = Checksum(reply.data(), reply.size());
  reply[2] = static_cast<std::uint8_t>(checksum >> 8);
  reply[3] = static_cast<std::uint8_t>(checksum);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::copy(datagram + 12, datagram + 16, reinterpret_cast<std::uint8_t*>(&to.sin_addr));
  sendto(socketHandle, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool EchoResponder::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock);
  return arrived.wait_for(guard, timeout, [&] { return requests.size() >= count; });
}

std::vector<EchoResponder::Echo> EchoResponder::Requests() {
  std::lock_guard<std::mutex> guard(lock);
  return requests;
}

}  // namespace orvan::fakes
