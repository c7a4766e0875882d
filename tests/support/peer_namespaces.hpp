// The peer network namespaces the test runner made for this test (orvan_add_test PEERS): how
// each is joined to the test's own namespace, and how to run code or a program inside one.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct PeerLink {
  std::string localInterface;  // on the test's side
  std::string localAddress;
  std::string peerInterface;  // in the peer
  std::string peerAddress;
};

struct PeerNamespace {
  std::string name;  // for `ip netns exec`
  std::string path;  // the namespace file, for setns() and nsenter
  std::vector<PeerLink> links;
};

// As the runner described them in the environment; empty when the test has no peers.
std::vector<PeerNamespace> PeerNamespaces();

// Runs `work` on a thread of its own inside the peer's network namespace and waits for it;
// sockets made there stay in the peer, whichever thread uses them later. Its exception (or a
// failure to enter the peer) is raised here.
void InPeer(const PeerNamespace& peer, const std::function<void()>& work);

// The words that start a program inside the peer: nsenter, then the program and its arguments.
std::vector<std::string> InPeerCommand(const PeerNamespace& peer, const std::string& program,
                                       const std::vector<std::string>& arguments);
