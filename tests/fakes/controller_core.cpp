#include "fakes/controller_core.hpp"

#include <cctype>
#include <cstdlib>
#include <set>
#include <sstream>
#include <utility>

namespace orvan::fakes {

namespace {

const std::set<std::string> kOrdinaryCommands = {
    "AB", "AC", "BG", "CB", "CF", "CW", "DC", "DR", "DU", "EI", "EO", "HX", "IH", "KD", "KI", "KP",
    "MO", "OB", "PA", "PR", "QQ", "RS", "SB", "SH", "SP", "ST", "TC", "TE", "TP", "WT", "XQ"};

bool IsAssignment(const std::string& command, std::string& name, std::string& value) {
  const auto equals = command.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  name = Trimmed(command.substr(0, equals));
  value = Trimmed(command.substr(equals + 1));
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

std::string Line(const std::string& text) { return text + "\r\n:"; }

}  // namespace

ControllerCore::ControllerCore(FakeIdentity identity)
    : identity(std::move(identity)), record(MakeRecord(64)) {}

std::string ControllerCore::MakeRecord(size_t length) {
  std::string record(length, '\0');
  for (size_t i = 4; i < length; ++i) record[i] = static_cast<char>(i & 0x7F);
  record[0] = static_cast<char>(0x87);
  record[1] = 0x0F;
  record[2] = static_cast<char>(length & 0xFF);
  record[3] = static_cast<char>((length >> 8) & 0xFF);
  return record;
}

void ControllerCore::Input(const std::shared_ptr<ControllerPeer>& peer, const std::string& bytes) {
  const FakeLineSettings line = peer->LineSettings();
  {
    std::lock_guard<std::mutex> guard(lock);
    received.push_back({peer->channel, peer->peerPort, bytes, line});
  }
  arrived.notify_all();
  Process(peer, bytes);
}

void ControllerCore::Process(const std::shared_ptr<ControllerPeer>& peer,
                             const std::string& bytes) {
  if (peer->answering) {
    peer->held += bytes;
    return;
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char byte = bytes[i];
    if (peer->loader.Active()) {
      std::string reply;
      bool handBack = false;
      {
        std::lock_guard<std::mutex> guard(lock);
        reply = loader.Take(peer->loader, byte, monitor, handBack);
      }
      if (!reply.empty()) peer->Send(reply, false);
      if (!handBack) continue;
    }
    if (peer->transfer.Active()) {
      std::string reply;
      {
        std::lock_guard<std::mutex> guard(lock);
        reply = memory.Take(peer->transfer, byte);
      }
      if (!reply.empty()) peer->Send(reply, false);
      continue;
    }
    if (byte == '\n') continue;
    if (byte != '\r' && byte != ';') {
      peer->partial += byte;
      continue;
    }
    const std::string command = peer->partial;
    peer->partial.clear();
    const Reply reply = Answer(peer, command);
    arrived.notify_all();
    if (reply.delay.count() > 0 || reply.hold) {
      peer->answering = true;
      peer->held = bytes.substr(i + 1);
      if (!reply.lead.empty()) peer->Send(reply.lead, false);
      const std::weak_ptr<ControllerPeer> weak = peer;
      auto answer = [this, weak, reply] {
        const auto later = weak.lock();
        if (!later) return;
        later->answering = false;
        Deliver(later, reply);
        if (!reply.close) Process(later, std::exchange(later->held, {}));
      };
      if (reply.hold) {
        std::lock_guard<std::mutex> guard(lock);
        heldAnswers.push_back(std::move(answer));
      } else {
        peer->After(reply.delay, std::move(answer));
      }
      return;
    }
    Deliver(peer, reply);
    if (reply.close) break;
  }
}

void ControllerCore::Deliver(const std::shared_ptr<ControllerPeer>& peer, const Reply& reply) {
  if (!reply.bytes.empty() || reply.close) peer->Send(reply.bytes, reply.close);
  if (reply.release) peer->Release();
}

void ControllerCore::Attach(const std::shared_ptr<ControllerPeer>& peer) {
  {
    std::lock_guard<std::mutex> guard(lock);
    ++connections;
    attached.push_back(peer);
  }
  arrived.notify_all();
}

ControllerCore::Reply ControllerCore::Answer(const std::shared_ptr<ControllerPeer>& peer,
                                             const std::string& command) {
  std::lock_guard<std::mutex> guard(lock);
  commands.push_back({peer->channel, command});
  const auto scripted = scripts.equal_range(command);
  for (auto it = scripted.first; it != scripted.second; ++it) {
    const FakeReply& script = it->second;
    if (script.udpOnly && !peer->channel.udp) continue;
    if (script.port != 0 && script.port != peer->channel.port) continue;
    Reply reply{script.bytes, script.close, false, script.delay, script.hold, script.lead};
    if (script.once) scripts.erase(it);
    return reply;
  }
  Reply reply;
  reply.bytes = BuiltIn(peer, Trimmed(command), reply.release);
  return reply;
}

std::string ControllerCore::BuiltIn(const std::shared_ptr<ControllerPeer>& peer,
                                    const std::string& text, bool& release) {
  const FakeIdentity& id = identity;
  if (auto answer = loader.Command(peer->loader, text, monitor)) return *answer;
  if (monitor) return text == "\x12" ? id.monitor + "\r\n>" : ">";
  if (text == "BP") return loader.BurnProgram(memory.Program());
  if (text == "\x12") return Line(id.identity);
  const std::string verb = text.substr(0, 2);
  if (verb == "DL" || verb == "QD")
    return memory.StartTransfer(peer->transfer, text, LineAcknowledgement());
  if (verb == "QU") return memory.UploadArray(text);
  if (text == "UL") return memory.Upload();
  if (text == "LA") return memory.ListArrays();
  if (verb == "DM") return memory.Dimension(text);
  if (text.empty()) return ":";
  if (text == "\x12\x16") return Line(id.identity);
  if (text == "MG_BN{Z10.0}") return Line(id.serialNumber);
  if (text == "ID") return id.optionReport.empty() ? ":" : Line(id.optionReport);
  if (text == "QP") return id.capabilities.empty() ? ":" : Line(id.capabilities);
  if (text == "MG _CO") return Line(id.configuration);
  if (text == "MG _TM") return Line(id.samplePeriod);
  if (text == "QR") return record + ":";
  if (text == "TC1") return Line(lastError);
  if (verb == "MG") {
    std::string operand = Trimmed(text.substr(2));
    if (operand.size() >= 2 && operand.front() == '"' && operand.back() == '"') {
      operand = operand.substr(1, operand.size() - 2);
    } else if (variables.count(operand)) {
      operand = variables[operand];
    }
    return Line(operand);
  }
  const auto subscribe = [&peer](Peers& peers) {
    for (const auto& weak : peers) {
      if (weak.lock() == peer) return ":";
    }
    peers.push_back(peer);
    return ":";
  };
  if (text == "CFI") return subscribe(messages);
  if (text == "DR,_WH") return subscribe(records);
  if (text == "EI,,_WH") return subscribe(interrupts);
  if (text == "IHS=>-1") {
    release = true;
    return ":";
  }
  std::string name, value;
  if (IsAssignment(text, name, value)) {
    variables[name] = value;
    return ":";
  }
  if (kOrdinaryCommands.count(verb)) return ":";
  lastError = "1 Unrecognized command";
  return "?";
}

bool ControllerCore::LineAcknowledgement() const {
  std::istringstream lines(identity.capabilities);
  std::string capability;
  while (std::getline(lines, capability)) {
    if (capability.compare(0, 3, "UC ") == 0)
      return (std::strtoul(capability.c_str() + 3, nullptr, 0) & 2) != 0;
  }
  return false;
}

void ControllerCore::Push(const Peers& peers, const std::string& bytes) {
  std::vector<std::shared_ptr<ControllerPeer>> live;
  {
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& weak : peers) {
      if (auto peer = weak.lock()) live.push_back(peer);
    }
  }
  for (const auto& peer : live) peer->Send(bytes, false);
}

void ControllerCore::PushMessage(const std::string& text) {
  std::string bytes;
  for (char c : text) bytes += static_cast<char>(c | 0x80);
  Peers targets;
  {
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& weak : messages) {
      if (!weak.expired()) targets.push_back(weak);
    }
    if (targets.empty()) {
      for (const auto& weak : attached) {
        auto peer = weak.lock();
        if (peer && peer->takesMessages) targets.push_back(weak);
      }
    }
  }
  Push(targets, bytes);
}

void ControllerCore::PushRecord() {
  std::string bytes;
  {
    std::lock_guard<std::mutex> guard(lock);
    bytes = record;
  }
  Push(records, bytes);
}

void ControllerCore::PushInterrupt(const std::string& status) {
  Push(interrupts, "\x01" + status + std::string(1, '\0'));
}

void ControllerCore::ReleaseHeld() {
  std::vector<std::function<void()>> answers;
  {
    std::lock_guard<std::mutex> guard(lock);
    answers.swap(heldAnswers);
  }
  for (const auto& answer : answers) answer();
}

void ControllerCore::Script(const std::string& command, FakeReply reply) {
  std::lock_guard<std::mutex> guard(lock);
  scripts.emplace(command, std::move(reply));
}

void ControllerCore::SetIdentity(const FakeIdentity& replacement) {
  std::lock_guard<std::mutex> guard(lock);
  identity = replacement;
}

void ControllerCore::SetRecord(const std::string& replacement) {
  std::lock_guard<std::mutex> guard(lock);
  record = replacement;
}

std::string ControllerCore::Program() {
  std::lock_guard<std::mutex> guard(lock);
  return memory.Program();
}

void ControllerCore::DefineArray(const std::string& name, size_t size) {
  std::lock_guard<std::mutex> guard(lock);
  memory.DefineArray(name, size);
}

std::vector<double> ControllerCore::Array(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock);
  return memory.Array(name);
}

void ControllerCore::SetMonitor(bool on) {
  std::lock_guard<std::mutex> guard(lock);
  monitor = on;
}

FakeFirmware ControllerCore::Firmware() {
  std::lock_guard<std::mutex> guard(lock);
  return loader.Firmware();
}

void ControllerCore::ScriptLoaderStatus(BinaryStep step, int status) {
  std::lock_guard<std::mutex> guard(lock);
  loader.ScriptStatus(step, status);
}

std::vector<FakeReceived> ControllerCore::Received() {
  std::lock_guard<std::mutex> guard(lock);
  return received;
}

std::vector<FakeCommand> ControllerCore::Commands() {
  std::lock_guard<std::mutex> guard(lock);
  return commands;
}

std::vector<std::string> ControllerCore::CommandsOn(FakeChannel channel) {
  std::vector<std::string> texts;
  for (const auto& command : Commands()) {
    if (command.channel == channel) texts.push_back(command.text);
  }
  return texts;
}

std::string ControllerCore::ReceivedBytes(FakeChannel channel) {
  std::string joined;
  for (const auto& bytes : Received()) {
    if (bytes.channel == channel) joined += bytes.bytes;
  }
  return joined;
}

bool ControllerCore::WaitForBytes(FakeChannel channel, const std::string& text,
                                  std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock);
  return arrived.wait_for(guard, timeout, [&] {
    std::string joined;
    for (const auto& bytes : received) {
      if (bytes.channel == channel) joined += bytes.bytes;
    }
    return joined.find(text) != std::string::npos;
  });
}

bool ControllerCore::WaitForCommand(const std::string& text, size_t count,
                                    std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock);
  return arrived.wait_for(guard, timeout, [&] {
    size_t seen = 0;
    for (const auto& command : commands) seen += command.text == text;
    return seen >= count;
  });
}

size_t ControllerCore::Connections() {
  std::lock_guard<std::mutex> guard(lock);
  return connections;
}

bool ControllerCore::WaitForConnections(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock);
  return arrived.wait_for(guard, timeout, [&] { return connections >= count; });
}

void ControllerCore::ClearLog() {
  std::lock_guard<std::mutex> guard(lock);
  received.clear();
  commands.clear();
}

}  // namespace orvan::fakes
