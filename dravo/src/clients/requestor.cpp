// What every client connection does whatever its carrier: idle timeout, reads into the shell,
// the ordered write queue, and closing.
#include "clients/requestor.hpp"

#include "clients/requestor_server.hpp"
#include "core/i_error.hpp"
#include "core/windows_version.hpp"
#include "shell/request.hpp"
#include "shell/shell_resource.hpp"

#include <boost/asio/post.hpp>

Requestor::Requestor(boost::asio::io_context& context, RequestorServer& owner)
    : io(context),
      server(owner),
      idleTimer(context),
      shell(owner.MakeShellFor(*this, IsWindows10OrLater())) {}

Requestor::~Requestor() = default;

void Requestor::ArmIdleTimer(std::chrono::milliseconds timeout) {
  if (closed || timeout.count() == 0) {
    idleWaiting = false;
    ++idleWait;
    idleTimer.cancel();
    return;
  }
  idleDeadline = std::chrono::steady_clock::now() + timeout;
  // A wait that ends no later than the new deadline wakes in time to wait on for the rest.
  if (idleWaiting && idleTimer.expiry() <= idleDeadline) return;
  WaitUntil(idleDeadline);
}

void Requestor::WaitUntil(std::chrono::steady_clock::time_point when) {
  idleTimer.expires_at(when);  // cancels a wait in progress
  idleWaiting = true;
  idleTimer.async_wait(
      [self = shared_from_this(), wait = ++idleWait](const boost::system::error_code& error) {
        self->OnIdleTimer(error, wait);
      });
}

void Requestor::OnIdleTimer(const boost::system::error_code& error, uint64_t wait) {
  if (wait != idleWait) return;  // replaced or cancelled since
  idleWaiting = false;
  if (closed || error) return;
  if (std::chrono::steady_clock::now() < idleDeadline) {
    WaitUntil(idleDeadline);  // bytes arrived meanwhile
    return;
  }
  Close();
}

void Requestor::OnRead(const boost::system::error_code& error, size_t count) {
  if (closed) return;
  if (error) {
    Close();
    return;
  }
  if (Consume(receiveBuffer.data(), count) && !held) StartRead();
}

bool Requestor::HoldReading() {
  if (!CanHold()) return false;
  held = true;
  return true;
}

void Requestor::ResumeReading() {
  if (!held || closed) return;
  held = false;
  StartRead();
}

bool Requestor::Consume(const uint8_t* bytes, size_t count) {
  ArmIdleTimer(std::chrono::milliseconds(idleTimeout));
  try {
    shell->Consume(bytes, count);
  } catch (const IError&) {
    Close();  // the client asked to quit
    return false;
  } catch (const std::exception&) {
    Close();  // a failing shell ends this one client, never the server
    return false;
  }
  return !closed;
}

void Requestor::SetIdleTimeout(uint32_t milliseconds) {
  idleTimeout = milliseconds;
  ArmIdleTimer(std::chrono::milliseconds(idleTimeout));
}

void Requestor::OnRequestReady(std::shared_ptr<Request> request,
                               std::shared_ptr<ShellResource> resource) {
  if (closed) {
    // Nobody is left to take the reply: the resource serves its next request at once.
    if (resource) resource->RequestDone();
    return;
  }
  try {
    shell->OnRequestReady(std::move(request), resource);
  } catch (const std::exception&) {
    Close();
    // The shell may have failed before it took the turn; handing it on twice is harmless.
    if (resource) resource->RequestDone();
  }
}

void Requestor::Deliver(const uint8_t* bytes, size_t length, bool unsolicited, bool replyComplete,
                        bool binaryPart) {
  shell->Send(bytes, length, unsolicited, replyComplete, binaryPart);
}

void Requestor::DeliverShared(const std::shared_ptr<const std::vector<uint8_t>>& block) {
  struct Lend {
    explicit Lend(Requestor& to, const std::shared_ptr<const std::vector<uint8_t>>& block)
        : to(to) {
      to.sharedBlock = &block;
    }
    ~Lend() { to.sharedBlock = nullptr; }
    Requestor& to;
  } lend(*this, block);
  shell->Send(block->data(), block->size(), true, false, false);
}

bool Requestor::RawMode() const { return shell->Mode() == orvan::protocol::kRawMode; }

void Requestor::Write(const uint8_t* data, size_t length) {
  if (closed || length == 0) return;
  if (!writing && writeQueue.empty() && CanWrite() && WriteNow(data, length)) return;
  if (closed) return;
  if (writeBacklog + length > kMaxWriteBacklog) {
    Close();  // the client does not keep up; it must not make the server hold its output
    return;
  }
  if (sharedBlock && data == (*sharedBlock)->data() && length == (*sharedBlock)->size()) {
    writeQueue.push_back(*sharedBlock);
  } else {
    writeQueue.push_back(std::make_shared<const std::vector<uint8_t>>(data, data + length));
  }
  writeBacklog += length;
  WriteNext();
}

void Requestor::WriteNext() {
  // A loop, not a chain of calls: a long queue that goes out at once must not grow the stack.
  while (!closed && !writing && !writeQueue.empty() && CanWrite()) {
    writing = true;
    if (!WriteFront()) return;  // in flight: OnWritten goes on
    writing = false;
    DropFront();
  }
}

void Requestor::OnWritten() { OnWritten(1); }

void Requestor::OnWritten(size_t blocks) {
  writing = false;
  for (; blocks > 0 && !writeQueue.empty(); --blocks) DropFront();
  WriteNext();
}

void Requestor::DropFront() {
  if (writeQueue.empty()) return;
  writeBacklog -= writeQueue.front()->size();
  writeQueue.pop_front();
}

void Requestor::Close() {
  if (closed) return;
  closed = true;
  idleWaiting = false;
  ++idleWait;
  idleTimer.cancel();
  try {
    shell->FinishRequest();
    shell->Unlink();
  } catch (const std::exception&) {
    // The connection ends either way; its resource finds the request's client gone.
  }
  writeQueue.clear();
  writeBacklog = 0;
  boost::asio::post(io, [self = shared_from_this()] { self->server.RemoveRequestor(self); });
}
