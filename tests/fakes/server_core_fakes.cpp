// The scripted shell and the recording resource.
#include "fakes/server_core_fakes.hpp"

#include "core/i_error.hpp"
#include "core/server.hpp"

#include <boost/asio/post.hpp>

#include <stdexcept>

std::atomic<int> ScriptedShell::made{0};
std::atomic<int> ScriptedShell::ended{0};

ScriptedShell::ScriptedShell(Requestor& shellOwner, Server& core)
    : owner(shellOwner), server(core), serial(++made) {}

ShellFactory ScriptedShell::Factory() {
  return [](Requestor& owner, Server& server, bool) {
    return std::make_unique<ScriptedShell>(owner, server);
  };
}

void ScriptedShell::Consume(const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != '\n') {
      line += static_cast<char>(bytes[i]);
      continue;
    }
    const std::string command = std::move(line);
    line.clear();
    Execute(command);
  }
}

void ScriptedShell::Execute(const std::string& command) {
  std::string reply;
  if (command == "quit") throw IError{0};
  if (command == "throw") throw std::runtime_error("scripted failure");
  if (command == "restart") server.Restart();
  if (command == "shutdown") server.Shutdown();
  if (command.rfind("timeout ", 0) == 0) owner.SetIdleTimeout(std::stoul(command.substr(8)));
  reply = command == "who" ? std::to_string(serial) : command;
  reply += "\n";
  owner.Write(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
}

FakeResource::FakeResource(uint32_t resourceKind, boost::asio::io_context& context, Server& owner,
                           uint32_t resourceId, bool fail)
    : Resource(context, owner, resourceId), kind(resourceKind), failOpen(fail) {}

void FakeResource::Open(const OpenParameters& parameters) {
  Resource::Open(parameters);
  const auto error = failOpen ? boost::asio::error::host_unreachable : boost::system::error_code();
  boost::asio::post(
      io, [self = shared_from_this(), this, error] { server.OnResourceOpened(self, error); });
}

bool FakeResource::Matches(const OpenParameters& parameters) const {
  // Network resources compare the kind too, serial and PCI ones the address only.
  if (kind <= 1 && parameters.kind != kind) return false;
  return Resource::Matches(parameters);
}

ShellFactory RecordingShell::Factory() {
  return [](Requestor& owner, Server&, bool) { return std::make_unique<RecordingShell>(owner); };
}

void RecordingShell::OnRequestReady(std::shared_ptr<Request> request,
                                    std::shared_ptr<ShellResource> resource) {
  ready.push_back(request);
  serving = resource;
  if (writeCommands) resource->QueueWrite(request->commandBytes.data(), request->length);
}

void RecordingShell::FinishRequest() {
  if (const auto resource = serving.lock()) resource->RequestDone();
  serving.reset();
}

void RecordingShell::Send(const uint8_t* bytes, size_t length, bool unsolicited, bool replyComplete,
                          bool binaryPart) {
  deliveries.push_back({std::string(reinterpret_cast<const char*>(bytes), length), unsolicited,
                        replyComplete, binaryPart});
  owner.Write(bytes, length);
}

std::string RecordingShell::Joined(bool unsolicited) const {
  std::string joined;
  for (const auto& delivery : deliveries) {
    if (delivery.unsolicited == unsolicited) joined += delivery.bytes;
  }
  return joined;
}

bool LoopRequestor::WriteFront() {
  if (stalled) return false;
  boost::asio::post(io, [self = std::static_pointer_cast<LoopRequestor>(SharedFromThis())] {
    if (self->Closed() || self->writeQueue.empty()) return;
    self->written.append(self->writeQueue.front()->begin(), self->writeQueue.front()->end());
    self->OnWritten();
  });
  return false;
}
