#include "support/peer_namespaces.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <thread>

namespace {

std::string Variable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

}  // namespace

std::vector<PeerNamespace> PeerNamespaces() {
  std::vector<PeerNamespace> peers;
  const int count = std::atoi(Variable("ORVAN_PEERS").c_str());
  for (int i = 1; i <= count; ++i) {
    const std::string prefix = "ORVAN_PEER" + std::to_string(i) + "_";
    PeerNamespace peer{Variable(prefix + "NAME"), Variable(prefix + "NETNS"), {}};
    const int links = std::atoi(Variable(prefix + "LINKS").c_str());
    for (int j = 1; j <= links; ++j) {
      const std::string link = std::to_string(j);
      peer.links.push_back({Variable(prefix + "IF" + link), Variable(prefix + "IP" + link),
                            Variable(prefix + "PEER_IF" + link),
                            Variable(prefix + "PEER_IP" + link)});
    }
    peers.push_back(std::move(peer));
  }
  return peers;
}

void InPeer(const PeerNamespace& peer, const std::function<void()>& work) {
  std::exception_ptr failure;
  // A thread of its own: entering a namespace changes only the calling thread.
  std::thread inside([&] {
    try {
      const int handle = open(peer.path.c_str(), O_RDONLY | O_CLOEXEC);
      if (handle < 0) throw std::system_error(errno, std::generic_category(), peer.path);
      const int entered = setns(handle, CLONE_NEWNET);
      const int error = errno;
      close(handle);
      if (entered != 0) throw std::system_error(error, std::generic_category(), "setns");
      work();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  inside.join();
  if (failure) std::rethrow_exception(failure);
}

std::vector<std::string> InPeerCommand(const PeerNamespace& peer, const std::string& program,
                                       const std::vector<std::string>& arguments) {
  std::vector<std::string> words{"nsenter", "--net=" + peer.path, "--", program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  return words;
}
