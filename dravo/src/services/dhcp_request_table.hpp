// The IP assigner's pure core: the controllers that ask for an address and the addresses
// assigned to them, the adapters with their foreign-server marks, and what each received
// datagram, assignment and listing makes of them. No socket or file inside: the DhcpServer
// feeds it datagrams and sends the replies it returns; the fuzz target calls it directly.
#pragma once

#include "platform/host_interfaces.hpp"
#include "protocol/bootp.hpp"
#include "services/dhcp_request.hpp"

#include <boost/property_tree/ptree_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// One reply to broadcast from an adapter's address, port 67, to port 68.
struct DhcpReply {
  std::string adapterName;
  std::string adapterAddress;
  orvan::protocol::BootpPacket packet;
};

struct DhcpOutcome {
  // Each adapter that holds the reply's server identifier, in list order, with the reply as
  // sent from it: the first whose socket can be set up sends, the others are spares.
  std::vector<DhcpReply> replies;
  // An offer answering the probe arrived: the receiving socket has done its part.
  bool probeAnswered = false;
};

class DhcpRequestTable {
public:
  // Controllers kept at once; a full list lets the oldest unassigned one go for a new one.
  static constexpr std::size_t kMaxRequests = 1024;
  // Seconds after its last request that a controller is forgotten (unless remembered).
  static constexpr int kBootpExpiry = 6;
  static constexpr int kDhcpExpiry = 61;

  using Clock = std::function<DhcpRequest::Time()>;
  explicit DhcpRequestTable(Clock clock = SystemTime);
  static DhcpRequest::Time SystemTime();

  // The adapters (HostInterface with dhcpEnabled meaning "a foreign DHCP server answered the
  // last probe here"). A probe takes a fresh list and clears every mark.
  const std::vector<platform::HostInterface>& Adapters() const { return adapters; }
  void StartProbe(std::vector<platform::HostInterface> fresh);
  void EndProbe() { probing = false; }
  bool Probing() const { return probing; }

  // A datagram that came in on `port` (67: controllers' requests; 68: answers to the probe)
  // through the socket of that adapter.
  DhcpOutcome OnDatagram(const std::uint8_t* bytes, std::size_t length, std::uint16_t port,
                         const std::string& adapterName, const std::string& adapterAddress);

  // Assigns `ip` to the controller of `mac`, or clears its address when `ip` is empty; an
  // empty `mac` clears every address. A MAC or a non-empty IP text that does not parse throws
  // std::invalid_argument naming the text and changes nothing; so does a full list.
  DhcpOutcome Assign(const std::string& mac, const std::string& ip);

  // One line per listed controller, in key order, each ended by CR LF; expires old ones first.
  std::string List();
  void ExpireRequests();

  // Switching remembering off forgets every controller, assigned or not.
  void SetRemember(bool on);
  bool Remember() const { return remember; }

  // The "dhcp" section: written whole (timeout, remember, and the assignments while
  // remembering), read back into records that have never asked.
  void SaveTo(boost::property_tree::ptree& root, int listenTimeout) const;
  void LoadFrom(const boost::property_tree::ptree& root);

  const std::map<std::int32_t, DhcpRequest>& Requests() const { return requests; }

private:
  static std::int32_t Key(const orvan::protocol::MacAddress& mac);
  // Finds or makes the controller's record; none when the list is full of assigned ones.
  DhcpRequest* GetOrAddRequest(const orvan::protocol::MacAddress& mac);
  std::vector<DhcpReply> SendReply(DhcpRequest& record);
  bool Expired(const DhcpRequest& record, DhcpRequest::Time now) const;
  const platform::HostInterface* FindAdapter(const std::string& name) const;
  std::string DescribeRequest(const DhcpRequest& record) const;

  Clock now;
  bool remember = false;
  bool probing = false;
  std::map<std::int32_t, DhcpRequest> requests;
  std::vector<platform::HostInterface> adapters;
};
