// The fake controller: one I/O thread serves a TCP and a UDP front end on each of the two
// ports, a discovery front end per interface asked for, or one serial line, all feeding one
// controller core.
#include "fakes/fake_controller.hpp"

#include "fakes/controller_discovery_front_end.hpp"
#include "fakes/controller_pty_front_end.hpp"
#include "fakes/controller_tcp_front_end.hpp"
#include "fakes/controller_udp_front_end.hpp"

#include <boost/asio/post.hpp>

#include <future>
#include <stdexcept>

namespace orvan::fakes {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

FakeController::FakeController(FakeControllerSettings chosen)
    : ControllerCore(chosen.identity), settings(std::move(chosen)) {}

FakeController::~FakeController() { Stop(); }

void FakeController::Start() {
  ControllerCore& core = *this;  // the base is private; the front ends see the core only
  if (!settings.pty.empty()) {
    line = std::make_unique<ControllerPtyFrontEnd>(core, io, settings.pty);
    line->Start();
    thread = std::thread([this] { io.run(); });
    return;
  }
  const auto address = asio::ip::make_address(settings.address);
  for (uint16_t* port : {&settings.commandPort, &settings.unsolicitedPort}) {
    // A free TCP port may be taken for UDP; try a few until one is free for both.
    for (int attempt = 0;; ++attempt) {
      tcp::acceptor acceptor(io);
      acceptor.open(tcp::v4());
      acceptor.set_option(tcp::acceptor::reuse_address(true));
      acceptor.bind({address, *port});
      acceptor.listen();
      const uint16_t bound = acceptor.local_endpoint().port();
      udp::socket datagrams(io, udp::v4());
      boost::system::error_code error;
      datagrams.bind({address, bound}, error);
      if (error) {
        if (*port != 0 || attempt == 20) throw boost::system::system_error(error, "bind");
        continue;
      }
      *port = bound;
      const bool commandPort = port == &settings.commandPort;
      tcp.push_back(
          std::make_unique<ControllerTcpFrontEnd>(core, std::move(acceptor), commandPort));
      udp.push_back(std::make_unique<ControllerUdpFrontEnd>(core, std::move(datagrams)));
      break;
    }
  }
  for (const auto& interface : settings.discoveryInterfaces)
    udp.push_back(MakeDiscoveryFrontEnd(core, io, interface));
  for (auto& frontEnd : tcp) frontEnd->Start();
  for (auto& frontEnd : udp) frontEnd->Start();
  thread = std::thread([this] { io.run(); });
}

void FakeController::Stop() {
  if (!thread.joinable()) return;
  asio::post(io, [this] {
    for (auto& frontEnd : tcp) frontEnd->Close();
    for (auto& frontEnd : udp) frontEnd->Close();
    if (line) line->Close();
    io.stop();
  });
  thread.join();
  // The front ends stay until destruction: handlers still queued on the context point at them.
}

void FakeController::OnLoop(const std::function<void()>& work) {
  if (!thread.joinable()) throw std::logic_error("fake controller not started");
  std::promise<void> done;
  asio::post(io, [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

void FakeController::SendMessage(const std::string& text) {
  OnLoop([&] { PushMessage(text); });
}

void FakeController::SendRecord() {
  OnLoop([&] { PushRecord(); });
}

void FakeController::SendInterrupt(const std::string& status) {
  OnLoop([&] { PushInterrupt(status); });
}

void FakeController::SendDatagram(uint16_t port, const std::string& bytes) {
  OnLoop([&] {
    for (auto& frontEnd : udp) {
      if (frontEnd->Port() == port) frontEnd->SendToLast(bytes);
    }
  });
}

void FakeController::SendTcp(uint16_t port, const std::string& bytes) {
  OnLoop([&] {
    for (auto& frontEnd : tcp) {
      if (frontEnd->Port() == port) frontEnd->Send(bytes);
    }
  });
}

void FakeController::SendSerial(const std::string& bytes) {
  OnLoop([&] {
    if (line) line->Send(bytes);
  });
}

void FakeController::PauseReading(bool paused) {
  OnLoop([&] {
    for (auto& frontEnd : tcp) frontEnd->PauseReading(paused);
    if (line) line->PauseReading(paused);
  });
}

void FakeController::ReleaseHeld() {
  OnLoop([&] { ControllerCore::ReleaseHeld(); });
}

void FakeController::CloseConnections() {
  OnLoop([&] {
    for (auto& frontEnd : tcp) frontEnd->CloseConnections();
    if (line) line->Close();
  });
}

}  // namespace orvan::fakes
