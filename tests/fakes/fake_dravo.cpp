// The fake server: one event loop thread serving the TLS side and the UDP side on the same
// port, both feeding one shell; this part keeps the byte logs and the thread.
#include "fakes/fake_dravo.hpp"

#include "fakes/fake_dravo_tls.hpp"
#include "fakes/fake_dravo_udp.hpp"

#include <boost/asio/post.hpp>

#include <future>

namespace orvan::fakes {

namespace asio = boost::asio;

FakeDravo::FakeDravo(FakeDravoSettings chosen)
    : settings(std::move(chosen)),
      shell(settings.compatibility, settings.linkFailures, [this] { changed.notify_all(); }) {}

FakeDravo::~FakeDravo() { Stop(); }

void FakeDravo::Start() {
  const auto address = asio::ip::make_address_v4(settings.address);
  tls = std::make_unique<FakeDravoTlsSide>(
      io, asio::ip::tcp::endpoint(address, settings.port),
      [this](const std::shared_ptr<FakeDravoSession>& session, const std::string& bytes) {
        {
          std::lock_guard<std::mutex> guard(lock);
          tlsBytes += bytes;
          tlsReads.push_back(bytes);
        }
        changed.notify_all();
        shell.Consume(session, bytes);
      },
      [this] { changed.notify_all(); }, stopReading);
  udp = std::make_unique<FakeDravoUdpSide>(
      io, asio::ip::udp::endpoint(address, settings.port),
      [this](const std::shared_ptr<FakeDravoSession>& session, const std::string& bytes) {
        {
          std::lock_guard<std::mutex> guard(lock);
          udpBytes += bytes;
        }
        changed.notify_all();
        shell.Consume(session, bytes);
      });
  tls->Start();
  udp->Start();
  thread = std::thread([this] { io.run(); });
}

void FakeDravo::Stop() {
  if (!thread.joinable()) return;
  OnLoop([this] {
    tls->Close();
    udp->Close();
  });
  io.stop();
  thread.join();
  tls.reset();
  udp.reset();
}

void FakeDravo::OnLoop(const std::function<void()>& work) {
  std::promise<void> done;
  asio::post(io, [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

void FakeDravo::Broadcast(FakeDravoSession::Stream stream, const std::string& bytes) {
  OnLoop([&] { udp->Broadcast(stream, bytes); });
}

void FakeDravo::SendMessage(const std::string& text) {
  Broadcast(FakeDravoSession::kMessages, text);
}
void FakeDravo::SendRecord(const std::string& record) {
  Broadcast(FakeDravoSession::kRecords, record);
}
void FakeDravo::SendInterrupt(const std::string& status) {
  Broadcast(FakeDravoSession::kInterrupts, status);
}

void FakeDravo::DropClients() {
  OnLoop([this] { tls->DropClients(); });
}

size_t FakeDravo::TlsClients() {
  size_t count = 0;
  OnLoop([&] { count = tls->OpenClients(); });
  return count;
}

void FakeDravo::StopReading() { stopReading = true; }

void FakeDravo::ScriptShell(const std::string& line, const std::string& answer) {
  shell.ScriptShell(line, answer);
}

void FakeDravo::ScriptCommand(const std::string& command, const std::string& answer) {
  shell.ScriptCommand(command, answer);
}

void FakeDravo::SetSilent(bool silent) { shell.SetSilent(silent); }

std::vector<std::string> FakeDravo::ShellLines() { return shell.ShellLines(); }
std::vector<std::string> FakeDravo::Commands() { return shell.Commands(); }

std::string FakeDravo::TlsBytes() {
  std::lock_guard<std::mutex> guard(lock);
  return tlsBytes;
}

std::vector<std::string> FakeDravo::TlsReads() {
  std::lock_guard<std::mutex> guard(lock);
  return tlsReads;
}

std::string FakeDravo::UdpBytes() {
  std::lock_guard<std::mutex> guard(lock);
  return udpBytes;
}

bool FakeDravo::WaitUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_for(guard, std::chrono::milliseconds(20));
  }
  return true;
}

void FakeDravo::ClearLog() {
  {
    std::lock_guard<std::mutex> guard(lock);
    tlsBytes.clear();
    tlsReads.clear();
    udpBytes.clear();
  }
  shell.ClearLog();
}

}  // namespace orvan::fakes
