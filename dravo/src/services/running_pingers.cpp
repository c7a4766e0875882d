#include "services/running_pingers.hpp"

#include "services/pinger.hpp"

#include <stdexcept>

RunningPingers::RunningPingers(boost::asio::io_context& context) : io(context) {}

RunningPingers::~RunningPingers() { CloseAll(); }

void RunningPingers::Start(const std::string& address, int count,
                           std::weak_ptr<Requestor> requestor) {
  if (pingers.size() >= kLimit) throw std::runtime_error("too many pings running");
  auto pinger = std::make_shared<Pinger>(io);
  const auto entry = pingers.insert(pingers.end(), pinger);
  // Runs on the event loop, from inside the pinger, which its own handler keeps alive.
  pinger->onEnded = [this, entry] { pingers.erase(entry); };
  try {
    pinger->Start(address, count, std::move(requestor));
  } catch (...) {
    pinger->onEnded = nullptr;
    pingers.erase(entry);
    throw;
  }
}

void RunningPingers::CloseAll() {
  // A copy: each close takes its pinger out of the list.
  for (const auto& pinger : std::list<std::shared_ptr<Pinger>>(pingers)) pinger->Close();
  pingers.clear();
}
