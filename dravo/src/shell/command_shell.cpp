// The byte stream, the modes and escapes, the request life of a connection, and its replies.
#include "shell/command_shell.hpp"

#include <algorithm>
#include <string>

#include "core/i_error.hpp"
#include "shell/request.hpp"
#include "shell/shell_owner.hpp"
#include "shell/shell_resource.hpp"
#include "shell/shell_server.hpp"

namespace protocol = orvan::protocol;

namespace {
constexpr int kFailure = -1;
}  // namespace

CommandShell::CommandShell(ShellOwner& connection, ShellServer& core, bool mdns)
    : owner(connection), server(core), mdnsSupported(mdns) {
  line.reserve(Request::kMaxLength);
}

CommandShell::~CommandShell() = default;

void CommandShell::Consume(const std::uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length && !owner.Closed(); ++i) ConsumeByte(bytes[i]);
  if (owner.Closed()) return;
  if (mode == kRawMode && !line.empty()) FlushRaw();
}

void CommandShell::ConsumeByte(std::uint8_t byte) {
  previousByte = currentByte;
  currentByte = byte;
  if (passCounter > 0) {
    --passCounter;
  } else {
    if (byte == protocol::kEscape) return;
    if (previousByte == protocol::kEscape) {
      Escape(byte);
      return;
    }
  }
  switch (mode) {
    case kShellMode:
      if (byte == protocol::kBackspace) {
        if (!overflow && !line.empty()) line.pop_back();
      } else if (byte == protocol::kCommandEnd) {
        const bool tooLong = overflow;
        const std::string text(line.begin(), line.end());
        EmptyLine();
        if (tooLong) {
          Fail("line too long");
        } else {
          ExecuteLine(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        }
      } else {
        Append(byte, kLineLimit);
      }
      break;
    case kCookedMode:
      if (byte == protocol::kCommandEnd || byte == protocol::kCommandSeparator) {
        FrameCooked();
      } else {
        // Room for the CR that ends the command.
        Append(byte, Request::kMaxLength - 1);
      }
      break;
    default:
      line.push_back(byte);
      break;
  }
}

void CommandShell::Escape(std::uint8_t byte) {
  const char letter = protocol::EscapeLetter(byte);
  // Raw bytes received before an escape that leaves raw mode are data the client sent, not a
  // partial line: they are written whatever chunk they arrived in.
  const bool leavesRaw =
      mode == kRawMode && (letter == protocol::kEscapeCooked || letter == protocol::kEscapeShell);
  if (leavesRaw && !line.empty()) FlushRaw();
  switch (letter) {
    case protocol::kEscapeCooked:
      mode = kCookedMode;
      // The client gave up on every reply it waits for (the library does this after a
      // timeout); a late reply must not be taken for the answer to its next command.
      WithdrawRequests();
      EmptyLine();
      break;
    case protocol::kEscapeRaw:
      SetMode(kRawMode);
      break;
    case protocol::kEscapeShell:
      SetMode(kShellMode);
      break;
    case protocol::kEscapeMessages:
      SetMessages(!messages);
      break;
    case protocol::kEscapeRecords:
      SetDataRecords(!dataRecords);
      break;
    case protocol::kEscapeInterrupts:
      SetInterrupts(!interrupts);
      break;
    default:
      // Unknown letters, the keep-alive ESC k among them, only count as traffic.
      break;
  }
}

void CommandShell::SetMode(std::uint32_t next) {
  if (mode == next) return;
  mode = next;
  EmptyLine();
}

void CommandShell::EmptyLine() {
  line.clear();
  overflow = false;
}

void CommandShell::Append(std::uint8_t byte, std::size_t limit) {
  if (overflow) return;
  if (line.size() >= limit) {
    overflow = true;
    line.clear();
    return;
  }
  line.push_back(byte);
}

void CommandShell::FrameCooked() {
  if (overflow) {
    EmptyLine();
    Fail("command too long");
    return;
  }
  line.push_back(protocol::kCommandEnd);
  SubmitCommand(line.data(), line.size());
  EmptyLine();
}

void CommandShell::FlushRaw() {
  const auto resource = servingResource.lock();
  if (HasWaiting()) {
    // An earlier request of ours has not started yet: these bytes go after it.
    if (rawBacklog.size() + line.size() > kRawBacklogLimit) {
      Fail("raw data waiting exceeds limit");
    } else {
      rawBacklog.insert(rawBacklog.end(), line.begin(), line.end());
    }
  } else if (resource) {
    if (!resource->QueueFull(line.size())) {
      resource->QueueWrite(line.data(), line.size());
    } else if (owner.HoldReading()) {
      // Nothing is lost: these bytes still go, and the client's next ones wait in its carrier
      // until the controller has taken half of what waits for it.
      resource->QueueWrite(line.data(), line.size());
      resource->WhenDrained(owner.SharedFromThis());
    } else {
      Fail("controller queue full");  // a datagram client cannot be held back
    }
  } else {
    const std::size_t first = std::min(line.size(), Request::kMaxLength);
    rawBacklog.clear();
    if (SubmitCommand(line.data(), first)) {
      rawBacklog.assign(line.begin() + static_cast<std::ptrdiff_t>(first), line.end());
    }
  }
  EmptyLine();
}

bool CommandShell::SubmitCommand(const std::uint8_t* bytes, std::size_t length) {
  HasWaiting();
  if (waiting.size() >= kWaitingLimit) {
    Fail("too many requests waiting");
    return false;
  }
  auto request = std::make_shared<Request>(bytes, length, owner.SharedFromThis());
  const int result = server.Submit(linkNumber, request);
  if (result != 0) {
    Reply(result, "");
    return false;
  }
  waiting.push_back(request);
  return true;
}

bool CommandShell::HasWaiting() {
  waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                               [](const std::weak_ptr<Request>& r) { return r.expired(); }),
                waiting.end());
  return !waiting.empty();
}

void CommandShell::WithdrawRequests() {
  for (const auto& entry : waiting) {
    if (const auto request = entry.lock()) request->Withdraw();
  }
  waiting.clear();
  rawBacklog.clear();
  FinishRequest();
}

void CommandShell::Fail(const std::string& text) {
  lastError = text;
  Reply(kFailure, "");
}

void CommandShell::Link(std::uint32_t number) {
  // Whatever this connection had going at the old resource ends with the link.
  WithdrawRequests();
  Unlink();
  if (number == 0) return;
  const int result =
      server.Submit(number, Request::RequestWithOp(Request::kJoinLinked, owner.SharedFromThis()));
  linkNumber = result == 0 ? number : 0;
}

void CommandShell::Unlink() {
  if (linkNumber == 0) return;
  WithdrawRequests();
  auto request = Request::RequestWithOp(Request::kLeaveLinked, owner.SharedFromThis());
  if (messages) request->PushOp(Request::kLeaveMessages);
  if (dataRecords) request->PushOp(Request::kLeaveRecords);
  if (interrupts) request->PushOp(Request::kLeaveInterrupts);
  messages = dataRecords = interrupts = false;
  server.Submit(linkNumber, request);
  linkNumber = 0;
}

bool CommandShell::SetSubscription(bool& flag, bool on, int joinCode, int leaveCode) {
  const auto request = Request::RequestWithOp(on ? joinCode : leaveCode, owner.SharedFromThis());
  if (server.Submit(linkNumber, request) != 0) return false;
  flag = on;
  return true;
}

void CommandShell::SetMessages(bool on) {
  SetSubscription(messages, on, Request::kJoinMessages, Request::kLeaveMessages);
}

void CommandShell::SetDataRecords(bool on) {
  SetSubscription(dataRecords, on, Request::kJoinRecords, Request::kLeaveRecords);
}

void CommandShell::SetInterrupts(bool on) {
  SetSubscription(interrupts, on, Request::kJoinInterrupts, Request::kLeaveInterrupts);
}

void CommandShell::Reply(int code, const std::string& text) {
  std::string answer = text;
  answer += code == 0 ? protocol::kSuccessTerminator : protocol::kErrorTerminator;
  Send(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size(), false, false);
}

void CommandShell::Send(const std::uint8_t* bytes, std::size_t length, bool unsolicited,
                        bool replyComplete, bool binaryPart) {
  if (mode != kCookedMode || unsolicited) {
    owner.Write(bytes, length);
    return;
  }
  if (replyComplete || (!binaryPart && tracker.Count(bytes, length))) EndRequest(false);
  owner.Write(bytes, length);
}

void CommandShell::OnRequestReady(std::shared_ptr<Request> request,
                                  std::shared_ptr<ShellResource> resource) {
  if (!request || !resource) return;
  const auto ours =
      std::find_if(waiting.begin(), waiting.end(),
                   [&](const std::weak_ptr<Request>& r) { return r.lock() == request; });
  if (ours == waiting.end()) {
    // Withdrawn after the resource chose it: hand the resource straight on.
    resource->RequestDone();
    return;
  }
  waiting.erase(ours);
  const bool lastWaiting = !HasWaiting();
  if (mode == kShellMode) {
    if (lastWaiting) rawBacklog.clear();
    resource->RequestDone();
    return;
  }
  pendingRequest = request;
  servingResource = resource;
  replyOwed = mode == kCookedMode;  // raw bytes have no reply to wait for
  tracker.Start(request->commandBytes.data(), request->length);
  resource->QueueWrite(request->commandBytes.data(), request->length);
  if (lastWaiting && !rawBacklog.empty()) {
    resource->QueueWrite(rawBacklog.data(), rawBacklog.size());
    rawBacklog.clear();
  }
}

void CommandShell::FinishRequest() { EndRequest(true); }

void CommandShell::EndRequest(bool abandoned) {
  const ReplyTracker followed = tracker;
  const bool owed = abandoned && replyOwed;
  tracker.Reset();
  pendingRequest.reset();
  replyOwed = false;
  const auto resource = servingResource.lock();
  servingResource.reset();
  if (!resource) return;
  if (owed) {
    // The controller is still answering: the resource must keep the rest from its next owner.
    resource->ReplyAbandoned(followed);
  } else {
    resource->RequestDone();
  }
}
