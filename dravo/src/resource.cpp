// The parts of a resource that every transport shares with the server core.
#include "resource.hpp"

#include <iomanip>
#include <sstream>

Resource::Resource(boost::asio::io_context& context, Server& owner, uint32_t resourceId)
    : io(context), server(owner), id(resourceId) {}

void Resource::Open(const OpenParameters& parameters) { address = parameters.address; }

bool Resource::Matches(const OpenParameters& parameters) const { return parameters.address == address; }

const char* Resource::KindWord(uint32_t kind) {
  switch (kind) {
    case 0: return "tcp";
    case 1: return "udp";
    case 2: return "ser";
    case 3: return "pci";
    default: return "???";
  }
}

std::string Resource::ListLine() const {
  std::ostringstream line;
  line << std::setw(3) << id << ", " << std::setw(16) << address << ", " << KindWord(Kind()) << ", " << Describe();
  return line.str();
}

// No transport is built into this server yet: every kind is refused.
std::shared_ptr<Resource> MakeResource(uint32_t, boost::asio::io_context&, Server&, uint32_t) { return nullptr; }
