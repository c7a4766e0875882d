// What every transport of a resource shares: the request queue and its owner, the write queue,
// the sorting of controller input, the subscriber sets and their fan-out, and closing when unused.
#include "resources/resource.hpp"

#include "protocol/controller_datagram.hpp"
#include "protocol/shell_wire.hpp"
#include "shell/request.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <utility>

namespace {

bool Live(const std::shared_ptr<ResourceClient>& client) { return client && !client->Closed(); }

}  // namespace

Resource::Resource(boost::asio::io_context& context, ResourceTable& table, uint32_t resourceId)
    : io(context), server(table), id(resourceId), idleTimer(context), syncTimer(context) {}

void Resource::Open(const OpenParameters& parameters) { address = parameters.address; }

bool Resource::Matches(const OpenParameters& parameters) const {
  return !Closing() && parameters.address == address;
}

void Resource::SetOption(uint32_t, uint32_t) {}

std::string Resource::ListLine() const {
  std::ostringstream line;
  line << std::setw(3) << id << ", " << std::setw(16) << address << ", "
       << orvan::protocol::KindWord(Kind()) << ", " << Describe();
  return line.str();
}

void Resource::ReportOpened(const boost::system::error_code& error) {
  if (!error && !released) ArmIdleTimer();  // a resource that nobody links to still goes in time
  boost::asio::post(
      io, [self = shared_from_this(), this, error] { server.OnResourceOpened(self, error); });
}

void Resource::Release() {
  released = true;
  idleTimer.cancel();
  syncTimer.cancel();
  boost::asio::post(io, [self = shared_from_this()]() mutable {
    try {
      self->Close(self);
    } catch (const std::exception&) {
      // A transport that cannot even close cleanly is gone all the same.
    }
  });
}

// ---- requests ----

void Resource::Submit(std::shared_ptr<Request> request) {
  boost::asio::post(
      io, [self = shared_from_this(), request = std::move(request)] { self->Execute(request); });
}

Resource::SubscriberSet* Resource::SetOf(int code) {
  switch ((code + 1) / 2) {
    case 1:
      return &linked;
    case 2:
      return &messages;
    case 3:
      return &records;
    case 4:
      return &interrupts;
    default:
      return nullptr;
  }
}

void Resource::Execute(const std::shared_ptr<Request>& request) {
  bool queueIt = request->length != 0;
  // Only a change of the subscriber sets can leave the resource unused: an option alone (the
  // server's own rate change on a port that nobody has linked yet) must not close it.
  bool changedSets = false;
  for (int code = request->PopOp(); code != 0; code = request->PopOp()) {
    if (code < 0 || code > Request::kSetControl) continue;
    if (code == Request::kSetControl) {
      const auto current = owner.lock();
      const auto issuer = request->requestor.lock();
      if (current == issuer) {
        SetOption(request->controlParameter, request->controlValue);
        request->controlParameter = request->controlValue = 0;
      } else {
        queueIt = true;  // applied once the owner's request is done
      }
      continue;
    }
    SubscriberSet& set = *SetOf(code);
    changedSets = true;
    if (code % 2 == 1) {
      set.insert(request->requestor);
    } else {
      set.erase(request->requestor);
    }
  }
  if (changedSets) CloseIfUnused(false);
  if (queueIt) requestQueue.push_back(request);
  RunQueue();
}

void Resource::RunQueue() {
  // An owner that closed but still exists hands its turn on itself (RequestDone), so only a
  // vanished owner frees the resource here. The rest of an abandoned reply is nobody's.
  while (!Closing() && !sync.Active() && owner.expired() && !requestQueue.empty()) {
    const auto request = std::move(requestQueue.front());
    requestQueue.pop_front();
    if (request->controlParameter != 0) SetOption(request->controlParameter, request->controlValue);
    if (request->length == 0) continue;
    // A client that closed while its request waited gives up its turn.
    auto issuer = request->requestor.lock();
    if (!Live(issuer)) continue;
    owner = issuer;
    boost::asio::post(io, [issuer = std::move(issuer), request, self = shared_from_this()] {
      issuer->OnRequestReady(request, self);
    });
  }
}

void Resource::RequestDone() {
  owner.reset();
  boost::asio::post(io, [self = shared_from_this()] { self->RunQueue(); });
}

// ---- abandoned replies ----

void Resource::ReplyAbandoned(const ReplyTracker& tracker) {
  owner.reset();
  if (Closing()) return;
  sync.Follow(tracker);
  const auto now = std::chrono::steady_clock::now();
  lastHeard = now;
  nextAsk = now + syncTiming.grace;
  askWait = std::min(syncTiming.grace * 2, syncTiming.longestWait);
  ArmSyncTimer();
}

void Resource::TakeAbandoned(const uint8_t* bytes, size_t length, bool complete, bool binaryPart) {
  const size_t dropped = sync.Take(bytes, length, complete, binaryPart);
  if (sync.Active()) return;
  EndSync();
  // What follows the end answers no command of anyone's.
  if (dropped < length) Broadcast(messages, bytes + dropped, length - dropped);
}

void Resource::EndSync() {
  sync.Stop();
  syncTimer.cancel();
  boost::asio::post(io, [self = shared_from_this()] { self->RunQueue(); });
}

void Resource::ArmSyncTimer() {
  auto when = nextAsk;
  if (sync.Asking()) when = std::min(when, lastHeard + syncTiming.silence);
  syncTimer.expires_at(when);
  syncTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    self->OnSyncTimer(error);
  });
}

void Resource::OnSyncTimer(const boost::system::error_code& error) {
  if (error || Closing() || !sync.Active()) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < syncTimer.expiry()) return;  // re-armed after this wait had expired
  if (sync.Asking() && now >= lastHeard + syncTiming.silence) {
    // Asked and silent all along: the controller is as good as gone.
    sync.Stop();
    Fail();
    return;
  }
  if (now >= nextAsk) {
    const std::string question = sync.Ask();
    QueueWrite(reinterpret_cast<const uint8_t*>(question.data()), question.size());
    nextAsk = now + askWait;
    askWait = std::min(askWait * 2, syncTiming.longestWait);
  }
  ArmSyncTimer();
}

// ---- writes ----

void Resource::QueueWrite(const uint8_t* bytes, size_t length) {
  if (Closing() || length == 0) return;
  writeQueue.emplace_back(bytes, bytes + length);
  writeBacklog += length;
  WriteNext();
}

void Resource::WhenDrained(std::weak_ptr<ResourceClient> client) {
  drainWaiters.push_back(std::move(client));
  if (writeBacklog <= writeLimit / 2) ResumeDrainWaiters();
}

void Resource::ResumeDrainWaiters() {
  for (auto& waiter : std::exchange(drainWaiters, {})) {
    boost::asio::post(io, [waiter = std::move(waiter)] {
      if (const auto client = waiter.lock()) client->ResumeReading();
    });
  }
}

void Resource::WriteNext() {
  if (writing || writeQueue.empty() || Closing()) return;
  writing = true;
  Write(writeQueue.front().data(), writeQueue.front().size());
  ArmIdleTimer();
}

void Resource::OnWrite(const boost::system::error_code& error, size_t) {
  writing = false;
  if (writeQueue.empty()) return;
  // The buffer is done with either way: a failed one is never sent again, in part or whole.
  writeBacklog -= writeQueue.front().size();
  writeQueue.pop_front();
  if (!drainWaiters.empty() && writeBacklog <= writeLimit / 2) ResumeDrainWaiters();
  if (error) {
    OnWriteFailed(error);
    return;
  }
  WriteNext();
}

void Resource::OnWriteFailed(const boost::system::error_code&) { Fail(); }

void Resource::Fail() {
  if (failed) return;
  failed = true;
  sync.Stop();
  syncTimer.cancel();
  // A write in flight still reads its buffer: only the ones behind it go now.
  while (writeQueue.size() > (writing ? 1u : 0u)) {
    writeBacklog -= writeQueue.back().size();
    writeQueue.pop_back();
  }
  requestQueue.clear();
  CloseIfUnused(true);
}

// ---- idle close ----

void Resource::ArmIdleTimer() {
  if (released) return;
  idleTimer.expires_after(std::chrono::milliseconds(idleTimeout));
  idleTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    self->OnIdleTimer(error);
  });
}

void Resource::WaitOnIdleTimer(std::chrono::milliseconds delay,
                               std::function<void(const boost::system::error_code&)> handler) {
  idleTimer.expires_after(delay);
  idleTimer.async_wait([self = shared_from_this(), handler = std::move(handler)](
                           const boost::system::error_code& error) { handler(error); });
}

void Resource::OnIdleTimer(const boost::system::error_code& error) {
  // A wait that had already expired when the timer was re-armed still arrives without error.
  if (error || released || idleTimer.expiry() > std::chrono::steady_clock::now()) return;
  if (CloseIfUnused(false) > 0) ArmIdleTimer();
}

size_t Resource::PruneSubscribers(SubscriberSet& set, bool closeAll) {
  size_t count = 0;
  for (auto entry = set.begin(); entry != set.end();) {
    const auto requestor = entry->lock();
    if (!requestor) {
      entry = set.erase(entry);
      continue;
    }
    ++entry;
    if (closeAll) {
      requestor->Close();
    } else {
      ++count;
    }
  }
  return count;
}

size_t Resource::CloseIfUnused(bool closeAll) {
  size_t total = 0;
  // Closing a requestor changes no set at once (its leave requests are posted), but copies
  // keep that a local fact.
  for (SubscriberSet* set : {&interrupts, &records, &messages, &linked}) {
    SubscriberSet entries = *set;
    total += PruneSubscribers(entries, closeAll);
    if (!closeAll) *set = std::move(entries);
  }
  if (total == 0) {
    boost::asio::post(io, [self = shared_from_this(), this] { server.CloseResource(id); });
  }
  return total;
}

// ---- input ----

void Resource::OnRead(const boost::system::error_code& error, size_t count) {
  if (error) {
    Fail();
    return;
  }
  if (released || failed) return;
  lastHeard = std::chrono::steady_clock::now();
  if (Kind() == orvan::protocol::kKindUdp) {
    switch (orvan::protocol::ClassifyDatagram(readBuffer.data(), count)) {
      case orvan::protocol::DatagramKind::Record:
        Broadcast(records, readBuffer.data(), count);
        recordsSeen = true;
        StartRead();
        return;
      case orvan::protocol::DatagramKind::Interrupt: {
        const auto status = orvan::protocol::InterruptStatus(count);
        Broadcast(interrupts, readBuffer.data() + status.offset, status.count);
        StartRead();
        return;
      }
      case orvan::protocol::DatagramKind::Text:
        break;
    }
  }
  ProcessInput(count);
  if (!released && !failed) StartRead();
}

void Resource::Broadcast(SubscriberSet& set, const uint8_t* bytes, size_t length) {
  // A copy: a subscriber whose queue overflows is closed on the way, and the set must hold still.
  for (const auto& entry : SubscriberSet(set)) {
    const auto requestor = entry.lock();
    if (!requestor) {
      set.erase(entry);
      continue;
    }
    if (!requestor->Closed()) requestor->Deliver(bytes, length, true, false, false);
  }
}

void Resource::SendOwner(const std::shared_ptr<ResourceClient>& current, const uint8_t* bytes,
                         size_t length, bool complete, bool binaryPart) {
  if (Live(current)) current->Deliver(bytes, length, false, complete, binaryPart);
}

void Resource::ProcessInput(size_t count) {
  const auto current = owner.lock();
  if (current && current->RawMode()) {
    SendOwner(current, readBuffer.data(), count, false, false);
    return;
  }
  // Replies go to the owner, or to the message subscribers when nobody is served.
  struct Delivery final : orvan::protocol::InputEvents {
    Delivery(Resource& resource, const std::shared_ptr<ResourceClient>& owner)
        : resource(resource), owner(owner) {}
    void Reply(const uint8_t* bytes, size_t length, bool complete, bool binaryPart) override {
      if (resource.sync.Active()) {
        resource.TakeAbandoned(bytes, length, complete, binaryPart);
      } else if (owner) {
        // A binary reply still under way is no text: the client's reply tracker must not end
        // on it.
        resource.SendOwner(owner, bytes, length, complete, binaryPart);
      } else {
        resource.Broadcast(resource.messages, bytes, length);
      }
    }
    void Unsolicited(const uint8_t* bytes, size_t length) override {
      resource.Broadcast(resource.messages, bytes, length);
    }
    Resource& resource;
    const std::shared_ptr<ResourceClient>& owner;
  } delivery(*this, current);
  // A binary reply that nobody waits for any more still ends where it ends.
  input.Sort(readBuffer.data(), count, current != nullptr || sync.Active(), delivery);
}
