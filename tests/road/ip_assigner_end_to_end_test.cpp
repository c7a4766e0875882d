// The server's IP assigner across a real interface: the server runs in the test's namespace,
// a peer on the other end of a veth pair stands for the controllers' network. Controllers,
// another DHCP server and a real DHCP client in the peer broadcast to the server, and a shell
// client assigns their addresses with "noip" and "assign".
#include "platform/host_interfaces.hpp"
#include "support/bootp_packets.hpp"
#include "support/peer_namespaces.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/udp.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace asio = boost::asio;
using asio::ip::udp;
using bootp_packets::Mac;
using Bytes = std::vector<std::uint8_t>;

constexpr Mac kDhcpController{0x02, 0x6D, 0x41, 0x60, 0x00, 0x2A};
constexpr Mac kBootpController{0x02, 0x6D, 0x41, 0x08, 0x01, 0x02};
constexpr std::uint32_t kServerAddress = 0x0A630101;  // 10.99.1.1, the server's end of the link
constexpr std::uint32_t kNetmask = 0xFFFFFF00;

Mac MacOf(const Bytes& datagram) {
  Mac mac{};
  if (datagram.size() >= 34) std::copy_n(datagram.begin() + 28, 6, mac.begin());
  return mac;
}

// A UDP socket inside the peer, on one port of its interface: broadcasts what a test gives it
// and hands over what arrives, datagram by datagram.
class PeerSocket {
public:
  PeerSocket(const PeerNamespace& peer, const std::string& device, std::uint16_t port) {
    InPeer(peer, [&] {
      socket.emplace(io);
      socket->open(udp::v4());
      socket->set_option(asio::socket_base::reuse_address(true));
      socket->set_option(asio::socket_base::broadcast(true));
      if (setsockopt(socket->native_handle(), SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                     static_cast<socklen_t>(device.size())) != 0)
        throw std::runtime_error("SO_BINDTODEVICE");
      socket->bind(udp::endpoint(asio::ip::address_v4::any(), port));
    });
  }
  void Broadcast(const Bytes& datagram, std::uint16_t port) {
    socket->send_to(asio::buffer(datagram), udp::endpoint(asio::ip::address_v4::broadcast(), port));
  }
  // The next datagram that `wanted` accepts within the timeout; the others it passes over are
  // kept in `skipped`.
  std::optional<Bytes> Next(const std::function<bool(const Bytes&)>& wanted,
                            std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      std::optional<Bytes> received;
      socket->async_receive(asio::buffer(buffer),
                            [&](const boost::system::error_code& error, std::size_t count) {
                              if (!error) received = Bytes(buffer.begin(), buffer.begin() + count);
                            });
      io.restart();
      if (io.run_until(deadline) == 0) {
        socket->cancel();
        io.restart();
        io.run();
      }
      if (!received) continue;
      if (wanted(*received)) return received;
      skipped.push_back(*received);
    }
    return std::nullopt;
  }
  std::optional<Bytes> NextFor(const Mac& mac, std::chrono::milliseconds timeout = 5s) {
    return Next([&](const Bytes& datagram) { return MacOf(datagram) == mac; }, timeout);
  }
  std::vector<Bytes> skipped;

private:
  asio::io_context io;
  std::optional<udp::socket> socket;
  std::array<std::uint8_t, 1500> buffer{};
};

// A program started in the background; ended by its pid when the test is done with it.
class Child {
public:
  explicit Child(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid = 0;
  }
  ~Child() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  bool Started() const { return pid > 0; }

private:
  pid_t pid = 0;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class IpAssignerEndToEnd : public testing::Test {
protected:
  void SetUp() override {
    peers = PeerNamespaces();
    ASSERT_EQ(peers.size(), 1u);
    peer = &peers[0];
    folder = UseFreshDataFolder();
    WriteCertificate(folder, "ipassign");
  }

  void StartServer() {
    client.reset();
    running.reset();
    running = std::make_unique<RunningServer>();
    client = std::make_unique<TlsClient>();
    ASSERT_TRUE(client->Connect());
    ASSERT_TRUE(client->Handshake());
  }
  std::string Shell(const std::string& line) {
    if (!client->Send(line + "\r")) return "";
    return client->ReadThrough("~\\");
  }
  // Asks "noip" until the listing is `expected`, sending `ask` before each try.
  bool ListingBecomes(const std::string& expected, const std::function<void()>& ask) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string listing;
    while (std::chrono::steady_clock::now() < deadline) {
      ask();
      listing = Shell("noip");
      if (listing == expected) return true;
      std::this_thread::sleep_for(20ms);  // a pause between polls, not a wait for an event
    }
    ADD_FAILURE() << "listing stayed: " << listing;
    return false;
  }
  std::string Line(const std::string& model, int serial, const std::string& mac,
                   const std::string& address) {
    return model + ", " + std::to_string(serial) + ", " + mac + ", " +
           peer->links[0].localInterface + ", " + peer->links[0].localAddress + ", " + address +
           "\r\n";
  }

  std::vector<PeerNamespace> peers;
  const PeerNamespace* peer = nullptr;
  std::string folder;
  std::unique_ptr<RunningServer> running;
  std::unique_ptr<TlsClient> client;
};

TEST_F(IpAssignerEndToEnd, DiscoverRequestAndBootpAreAnsweredByteForByte) {
  PeerSocket controller(*peer, peer->links[0].peerInterface, 68);
  StartServer();
  const std::uint32_t xid = 0x1234ABCD;
  ASSERT_TRUE(ListingBecomes(
      Line("Orvan Ethernet Controller", 42, "02:6D:41:60:00:2A", "0.0.0.0") + "~",
      [&] { controller.Broadcast(bootp_packets::Request(kDhcpController, 1, xid), 67); }));

  ASSERT_EQ(Shell("assign -m 02:6D:41:60:00:2A -a 10.99.1.50"), "~");
  const auto offer = controller.NextFor(kDhcpController);
  ASSERT_TRUE(offer);
  EXPECT_EQ(*offer,
            bootp_packets::Reply(kDhcpController, 2, xid, 0x0A630132, kServerAddress, kNetmask));
  controller.Broadcast(bootp_packets::Request(kDhcpController, 3, xid), 67);
  const auto ack = controller.NextFor(kDhcpController);
  ASSERT_TRUE(ack);
  EXPECT_EQ(*ack,
            bootp_packets::Reply(kDhcpController, 5, xid, 0x0A630132, kServerAddress, kNetmask));

  const std::uint32_t bootpXid = 0x0BADCAFE;
  const std::string dhcpLine =
      Line("Orvan Ethernet Controller", 42, "02:6D:41:60:00:2A", "10.99.1.50");
  ASSERT_TRUE(ListingBecomes(
      Line("Orvan E200 Motion Controller", 258, "02:6D:41:08:01:02", "0.0.0.0") + dhcpLine + "~",
      [&] { controller.Broadcast(bootp_packets::Request(kBootpController, 0, bootpXid), 67); }));
  ASSERT_EQ(Shell("assign -m 02-6d-41-08-01-02 -a 10.99.1.60"), "~");
  const auto bootp = controller.NextFor(kBootpController);
  ASSERT_TRUE(bootp);
  EXPECT_EQ(*bootp, bootp_packets::Reply(kBootpController, 0, bootpXid, 0x0A630132 + 10, 0, 0));
  // Not remembered: that assignment served its one reply.
  EXPECT_EQ(Shell("noip"), dhcpLine + "~");
}

TEST_F(IpAssignerEndToEnd, AForeignServerAnsweringTheProbeSilencesDeferringModels) {
  const Mac deferring{0x02, 0x6D, 0x41, 0x20, 0x00, 0x01};
  const Mac staying{0x02, 0x6D, 0x41, 0x10, 0x00, 0x02};
  PeerSocket foreign(*peer, peer->links[0].peerInterface, 67);
  PeerSocket controller(*peer, peer->links[0].peerInterface, 68);
  StartServer();

  // The probe: a discover from the server's own interface, xid 42424242, nothing after type 1.
  const auto probe = foreign.Next(
      [](const Bytes& datagram) { return datagram.size() > 8 && datagram[4] == 0x42; });
  ASSERT_TRUE(probe);
  // The host's interface list, as the server reads it (sysfs shows another namespace's).
  std::vector<platform::HostInterface> interfaces;
  ASSERT_TRUE(platform::ListHostInterfaces(interfaces));
  ASSERT_EQ(interfaces.size(), 1u);
  const Mac own = interfaces[0].mac;
  Bytes expected = bootp_packets::Request(own, 1, 0x42424242, 326);
  expected[10] = 0x80;
  expected[243] = 0;  // no end option
  EXPECT_EQ(*probe, expected);

  Bytes offer = *probe;
  offer[0] = 2;
  offer[242] = 2;
  foreign.Broadcast(offer, 68);

  ASSERT_EQ(Shell("noip --remember 1"), "~");
  ASSERT_TRUE(ListingBecomes(
      Line("Orvan E300 Motion Controller", 2, "02:6D:41:10:00:02", "0.0.0.0") + "~", [&] {
        controller.Broadcast(bootp_packets::Request(deferring, 0, 1), 67);
        controller.Broadcast(bootp_packets::Request(staying, 0, 2), 67);
      }));
  ASSERT_EQ(Shell("assign -m 02:6D:41:10:00:02 -a 10.99.1.71"), "~");
  ASSERT_EQ(Shell("assign -m 02:6D:41:20:00:01 -a 10.99.1.70"), "~");
  ASSERT_TRUE(controller.NextFor(staying));
  // Requests are answered in the order they come: once the later one's reply is here, the
  // deferring controller's would have come before it.
  controller.Broadcast(bootp_packets::Request(deferring, 0, 3), 67);
  controller.Broadcast(bootp_packets::Request(staying, 0, 4), 67);
  const auto reply = controller.NextFor(staying);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, bootp_packets::Reply(staying, 0, 4, 0x0A630147, 0, 0));
  for (const auto& other : controller.skipped) EXPECT_NE(MacOf(other), deferring);
}

TEST_F(IpAssignerEndToEnd, RememberedAssignmentsSurviveARestart) {
  PeerSocket controller(*peer, peer->links[0].peerInterface, 68);
  StartServer();
  ASSERT_EQ(Shell("noip --remember 1"), "~");
  ASSERT_EQ(Shell("assign -m 02:6D:41:60:00:2A -a 10.99.1.50"), "~");
  // A text that does not parse changes nothing and says why.
  ASSERT_EQ(Shell("assign -m 02:6D:41:60:00:2A -a 10.99.1"), "\\");
  EXPECT_EQ(Shell("te"), "invalid IP address: 10.99.1\r\n~");
  ASSERT_EQ(Shell("assign --clear 02:6D:41"), "\\");
  EXPECT_EQ(Shell("te"), "invalid MAC address: 02:6D:41\r\n~");

  StartServer();
  EXPECT_EQ(Shell("noip --remembered"), "1~");
  EXPECT_EQ(Shell("noip --timeout"), "-1\r\n~");
  controller.Broadcast(bootp_packets::Request(kDhcpController, 1, 77), 67);
  const auto offer = controller.NextFor(kDhcpController);
  ASSERT_TRUE(offer);
  EXPECT_EQ(*offer,
            bootp_packets::Reply(kDhcpController, 2, 77, 0x0A630132, kServerAddress, kNetmask));
}

TEST_F(IpAssignerEndToEnd, ARealDhcpClientIsBoundToTheAssignedAddress) {
  const std::string interface = peer->links[0].peerInterface;
  // Down while its address changes: not every link type takes a new one while up.
  const std::string link = "ip -n " + peer->name + " link set " + interface;
  ASSERT_EQ(
      std::system(
          (link + " down && " + link + " address 02:6d:41:60:12:34 && " + link + " up").c_str()),
      0);
  const std::string script = folder + "/udhcpc-script", report = folder + "/udhcpc-report";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\necho \"$1 $ip\" >> " << report << "\n";
  }
  chmod(script.c_str(), 0755);
  StartServer();

  Child udhcpc(InPeerCommand(
      *peer, "busybox",
      {"udhcpc", "-f", "-q", "-n", "-t", "10", "-T", "1", "-i", interface, "-s", script}));
  ASSERT_TRUE(udhcpc.Started());
  ASSERT_TRUE(ListingBecomes(
      Line("Orvan Ethernet Controller", 0x1234, "02:6D:41:60:12:34", "0.0.0.0") + "~", [] {}));
  ASSERT_EQ(Shell("assign -m 02:6D:41:60:12:34 -a 10.99.1.77"), "~");
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (ReadFile(report).find("bound 10.99.1.77") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);  // polling the script's report file
  EXPECT_NE(ReadFile(report).find("bound 10.99.1.77"), std::string::npos) << ReadFile(report);
}

}  // namespace
