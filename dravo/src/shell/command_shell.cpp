// The byte stream, the modes and escapes, the request life of a connection, and its replies.
#include "shell/command_shell.hpp"

#include <algorithm>
#include <string>

#include "core/i_error.hpp"
#include "resources/resource.hpp"
#include "shell/request.hpp"
#include "shell/shell_owner.hpp"
#include "shell/shell_resource.hpp"
#include "shell/shell_server.hpp"

namespace {
constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kBs = 0x08;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kSemicolon = ';';
constexpr int kFailure = -1;
}  // namespace

CommandShell::CommandShell(ShellOwner& owner, ShellServer& server, bool mdnsSupported)
    : owner_(owner), server_(server), mdnsSupported_(mdnsSupported) {
  line_.reserve(Request::kMaxLength);
}

CommandShell::~CommandShell() = default;

void CommandShell::Consume(const std::uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length && !owner_.Closed(); ++i) ConsumeByte(bytes[i]);
  if (owner_.Closed()) return;
  if (mode_ == kRawMode && !line_.empty()) FlushRaw();
}

void CommandShell::ConsumeByte(std::uint8_t byte) {
  previousByte_ = currentByte_;
  currentByte_ = byte;
  if (passCounter_ > 0) {
    --passCounter_;
  } else {
    if (byte == kEsc) return;
    if (previousByte_ == kEsc) {
      Escape(byte);
      return;
    }
  }
  switch (mode_) {
    case kShellMode:
      if (byte == kBs) {
        if (!overflow_ && !line_.empty()) line_.pop_back();
      } else if (byte == kCr) {
        const bool overflow = overflow_;
        const std::string line(line_.begin(), line_.end());
        EmptyLine();
        if (overflow) {
          Fail("line too long");
        } else {
          ExecuteLine(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
        }
      } else {
        Append(byte, kLineLimit);
      }
      break;
    case kCookedMode:
      if (byte == kCr || byte == kSemicolon) {
        FrameCooked();
      } else {
        // Room for the CR that ends the command.
        Append(byte, Request::kMaxLength - 1);
      }
      break;
    default:
      line_.push_back(byte);
      break;
  }
}

void CommandShell::Escape(std::uint8_t letter) {
  // Raw bytes received before an escape that leaves raw mode are data the client sent, not a
  // partial line: they are written whatever chunk they arrived in.
  const bool leavesRaw =
      mode_ == kRawMode && (letter == 'C' || letter == 'c' || letter == 'S' || letter == 's');
  if (leavesRaw && !line_.empty()) FlushRaw();
  switch (letter) {
    case 'C':
    case 'c':
      mode_ = kCookedMode;
      // The client gave up on every reply it waits for (the library does this after a
      // timeout); a late reply must not be taken for the answer to its next command.
      WithdrawRequests();
      EmptyLine();
      break;
    case 'R':
    case 'r':
      SetMode(kRawMode);
      break;
    case 'S':
    case 's':
      SetMode(kShellMode);
      break;
    case 'M':
    case 'm':
      SetMessages(!messages_);
      break;
    case 'D':
    case 'd':
      SetDataRecords(!dataRecords_);
      break;
    case 'I':
    case 'i':
      SetInterrupts(!interrupts_);
      break;
    default:
      // Unknown letters, the keep-alive ESC k among them, only count as traffic.
      break;
  }
}

void CommandShell::SetMode(std::uint32_t mode) {
  if (mode_ == mode) return;
  mode_ = mode;
  EmptyLine();
}

void CommandShell::EmptyLine() {
  line_.clear();
  overflow_ = false;
}

void CommandShell::Append(std::uint8_t byte, std::size_t limit) {
  if (overflow_) return;
  if (line_.size() >= limit) {
    overflow_ = true;
    line_.clear();
    return;
  }
  line_.push_back(byte);
}

void CommandShell::FrameCooked() {
  if (overflow_) {
    EmptyLine();
    Fail("command too long");
    return;
  }
  line_.push_back(kCr);
  SubmitCommand(line_.data(), line_.size());
  EmptyLine();
}

void CommandShell::FlushRaw() {
  const auto resource = servingResource_.lock();
  if (HasWaiting()) {
    // An earlier request of ours has not started yet: these bytes go after it.
    if (rawBacklog_.size() + line_.size() > kRawBacklogLimit) {
      Fail("raw data waiting exceeds limit");
    } else {
      rawBacklog_.insert(rawBacklog_.end(), line_.begin(), line_.end());
    }
  } else if (resource) {
    resource->QueueWrite(line_.data(), line_.size());
  } else {
    const std::size_t first = std::min(line_.size(), Request::kMaxLength);
    rawBacklog_.clear();
    if (SubmitCommand(line_.data(), first)) {
      rawBacklog_.assign(line_.begin() + static_cast<std::ptrdiff_t>(first), line_.end());
    }
  }
  EmptyLine();
}

bool CommandShell::SubmitCommand(const std::uint8_t* bytes, std::size_t length) {
  HasWaiting();
  if (waiting_.size() >= kWaitingLimit) {
    Fail("too many requests waiting");
    return false;
  }
  auto request = std::make_shared<Request>(bytes, length, owner_.SharedFromThis());
  const int result = server_.Submit(linkNumber_, request);
  if (result != 0) {
    Reply(result, "");
    return false;
  }
  waiting_.push_back(request);
  return true;
}

bool CommandShell::HasWaiting() {
  waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(),
                                [](const std::weak_ptr<Request>& r) { return r.expired(); }),
                 waiting_.end());
  return !waiting_.empty();
}

void CommandShell::WithdrawRequests() {
  for (const auto& waiting : waiting_) {
    if (const auto request = waiting.lock()) request->Withdraw();
  }
  waiting_.clear();
  rawBacklog_.clear();
  FinishRequest();
}

void CommandShell::Fail(const std::string& text) {
  lastError_ = text;
  Reply(kFailure, "");
}

void CommandShell::Link(std::uint32_t number) {
  // Whatever this connection had going at the old resource ends with the link.
  WithdrawRequests();
  Unlink();
  if (number == 0) return;
  const int result =
      server_.Submit(number, Request::RequestWithOp(Request::kJoinLinked, owner_.SharedFromThis()));
  linkNumber_ = result == 0 ? number : 0;
}

void CommandShell::Unlink() {
  if (linkNumber_ == 0) return;
  WithdrawRequests();
  auto request = Request::RequestWithOp(Request::kLeaveLinked, owner_.SharedFromThis());
  if (messages_) request->PushOp(Request::kLeaveMessages);
  if (dataRecords_) request->PushOp(Request::kLeaveRecords);
  if (interrupts_) request->PushOp(Request::kLeaveInterrupts);
  messages_ = dataRecords_ = interrupts_ = false;
  server_.Submit(linkNumber_, request);
  linkNumber_ = 0;
}

bool CommandShell::SetSubscription(bool& flag, bool on, int joinCode, int leaveCode) {
  const auto request = Request::RequestWithOp(on ? joinCode : leaveCode, owner_.SharedFromThis());
  if (server_.Submit(linkNumber_, request) != 0) return false;
  flag = on;
  return true;
}

void CommandShell::SetMessages(bool on) {
  SetSubscription(messages_, on, Request::kJoinMessages, Request::kLeaveMessages);
}

void CommandShell::SetDataRecords(bool on) {
  SetSubscription(dataRecords_, on, Request::kJoinRecords, Request::kLeaveRecords);
}

void CommandShell::SetInterrupts(bool on) {
  SetSubscription(interrupts_, on, Request::kJoinInterrupts, Request::kLeaveInterrupts);
}

void CommandShell::Reply(int code, const std::string& text) {
  std::string answer = text;
  answer += code == 0 ? '~' : '\\';
  Send(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size(), false, false);
}

void CommandShell::Send(const std::uint8_t* bytes, std::size_t length, bool unsolicited,
                        bool replyComplete, bool binaryPart) {
  if (mode_ != kCookedMode || unsolicited) {
    owner_.Write(bytes, length);
    return;
  }
  if (replyComplete || (!binaryPart && tracker_.Count(bytes, length))) FinishRequest();
  owner_.Write(bytes, length);
}

void CommandShell::OnRequestReady(std::shared_ptr<Request> request,
                                  std::shared_ptr<Resource> resource) {
  OnRequestReady(request, std::shared_ptr<ShellResource>(std::move(resource)));
}

void CommandShell::OnRequestReady(const std::shared_ptr<Request>& request,
                                  const std::shared_ptr<ShellResource>& resource) {
  if (!request || !resource) return;
  const auto ours =
      std::find_if(waiting_.begin(), waiting_.end(),
                   [&](const std::weak_ptr<Request>& r) { return r.lock() == request; });
  if (ours == waiting_.end()) {
    // Withdrawn after the resource chose it: hand the resource straight on.
    resource->RequestDone();
    return;
  }
  waiting_.erase(ours);
  const bool lastWaiting = !HasWaiting();
  if (mode_ == kShellMode) {
    if (lastWaiting) rawBacklog_.clear();
    resource->RequestDone();
    return;
  }
  pendingRequest_ = request;
  servingResource_ = resource;
  tracker_.Start(request->commandBytes.data(), request->length);
  resource->QueueWrite(request->commandBytes.data(), request->length);
  if (lastWaiting && !rawBacklog_.empty()) {
    resource->QueueWrite(rawBacklog_.data(), rawBacklog_.size());
    rawBacklog_.clear();
  }
}

void CommandShell::FinishRequest() {
  tracker_.Reset();
  pendingRequest_.reset();
  const auto resource = servingResource_.lock();
  servingResource_.reset();
  if (resource) resource->RequestDone();
}
