// A card node: each request is tried once without blocking; one that would block is pending
// and is tried again whenever poll finds the node ready. Every wait also polls the request's
// own eventfd, which a cancel writes: closing a descriptor does not wake a thread in poll.
#include "platform/card_node.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/device_root.hpp"

namespace platform {
namespace {

unsigned long IoctlOf(CardRequestKind kind) {
  switch (kind) {
    case CardRequestKind::Record:
      return kCardIoctlRecord;
    case CardRequestKind::Interrupt:
      return kCardIoctlInterrupt;
    case CardRequestKind::Count:
      return kCardIoctlCount;
    case CardRequestKind::StatusWait:
      return kCardIoctlStatusWait;
    default:
      return kCardIoctlConfigure;
  }
}

// What poll waits for before a pending request is tried again.
short ReadinessOf(CardRequestKind kind) {
  if (kind == CardRequestKind::Read) return POLLIN;
  if (kind == CardRequestKind::Write) return POLLOUT;
  return POLLPRI;
}

// Milliseconds until the deadline, rounded up so a wait never ends early; -1 for none.
int PollTimeout(CardClock::time_point deadline) {
  if (deadline == CardClock::time_point::max()) return -1;
  const auto left = deadline - CardClock::now();
  if (left <= CardClock::duration::zero()) return 0;
  const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(milliseconds, INT_MAX));
}

uint32_t Length32(size_t length) {
  return static_cast<uint32_t>(std::min<size_t>(length, UINT32_MAX));
}

class CardNode : public CardHandle {
public:
  explicit CardNode(int opened) : descriptor(opened) {}
  ~CardNode() override { Close(); }

  CardResult Start(CardRequest& request) override {
    Call call(*this);
    if (!call) return CardResult::Failure(EBADF);
    const CardResult result = Attempt(request);
    if (result.state != CardResult::Pending) return result;
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return CardResult::Failure(errno);  // nothing was handed to the node
    std::lock_guard<std::mutex> guard(lock);
    waiting[&request] = wake;
    return result;
  }

  CardResult Wait(CardRequest& request, CardClock::time_point deadline) override {
    Call call(*this);
    if (!call) return CardResult::Failure(EBADF);
    int wake = -1;
    {
      std::lock_guard<std::mutex> guard(lock);
      const auto found = waiting.find(&request);
      if (found == waiting.end()) return CardResult::Failure(EINVAL);  // not pending
      wake = found->second;
    }
    for (;;) {
      pollfd watched[2] = {{descriptor, ReadinessOf(request.kind), 0}, {wake, POLLIN, 0}};
      const int ready = ::poll(watched, 2, PollTimeout(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return Forget(request, CardResult::Failure(errno));
      if (watched[1].revents) return Forget(request, CardResult::Failure(ECANCELED));
      if (ready == 0) {
        if (CardClock::now() >= deadline) return CardResult::Waiting();
        continue;
      }
      const CardResult result = Attempt(request);
      if (result.state != CardResult::Pending) return Forget(request, result);
      // A node that reports trouble yet still says "not now" would have poll return at once
      // for ever.
      if (watched[0].revents & (POLLERR | POLLHUP | POLLNVAL))
        return Forget(request, CardResult::Failure(EIO));
    }
  }

  CardResult Cancel(CardRequest& request) override {
    // Nothing was handed to the node while the request pended: what has arrived meanwhile
    // waits in the driver for the next request.
    return Forget(request, CardResult::Failure(ECANCELED));
  }

  void CancelAll() override {
    std::lock_guard<std::mutex> guard(lock);
    WakeAll();
  }

  void Close() override {
    std::unique_lock<std::mutex> guard(lock);
    closing = true;
    WakeAll();
    idle.wait(guard, [this] { return inside == 0; });
    // Closing the descriptor lets the flock go.
    if (descriptor >= 0) ::close(descriptor);
    descriptor = -1;
    for (const auto& pending : waiting) ::close(pending.second);
    waiting.clear();
  }

private:
  // A call in progress; none begins once the card is closing, and Close waits for the last.
  class Call {
  public:
    explicit Call(CardNode& node) : node(node) {
      std::lock_guard<std::mutex> guard(node.lock);
      entered = !node.closing;
      if (entered) ++node.inside;
    }
    ~Call() {
      if (!entered) return;
      std::lock_guard<std::mutex> guard(node.lock);
      if (--node.inside == 0) node.idle.notify_all();
    }
    explicit operator bool() const { return entered; }

  private:
    CardNode& node;
    bool entered = false;
  };

  CardResult Attempt(const CardRequest& request) {
    for (;;) {
      ssize_t done = -1;
      size_t limit = request.outputLength;
      if (request.kind == CardRequestKind::Read) {
        done = ::read(descriptor, request.output, request.outputLength);
      } else if (request.kind == CardRequestKind::Write) {
        done = ::write(descriptor, request.input, request.inputLength);
        limit = request.inputLength;
      } else {
        CardControlBuffer buffer{reinterpret_cast<uintptr_t>(request.input),
                                 reinterpret_cast<uintptr_t>(request.output),
                                 Length32(request.inputLength), Length32(request.outputLength)};
        done = ::ioctl(descriptor, IoctlOf(request.kind), &buffer);
      }
      if (done >= 0) return CardResult::Completed(std::min(static_cast<size_t>(done), limit));
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return CardResult::Waiting();
      return CardResult::Failure(errno);
    }
  }

  CardResult Forget(CardRequest& request, CardResult result) {
    std::lock_guard<std::mutex> guard(lock);
    const auto found = waiting.find(&request);
    if (found != waiting.end()) {
      ::close(found->second);
      waiting.erase(found);
    }
    return result;
  }

  // Under the lock.
  void WakeAll() {
    const uint64_t one = 1;
    for (const auto& pending : waiting) {
      [[maybe_unused]] const ssize_t written = ::write(pending.second, &one, sizeof one);
    }
  }

  int descriptor;
  std::mutex lock;
  std::condition_variable idle;
  int inside = 0;
  bool closing = false;
  // Requests that pend, each with the eventfd that cancels its wait.
  std::map<const CardRequest*, int> waiting;
};

}  // namespace

std::string CardNodePath(const std::string& name) {
  if (name.find(kCardNodePrefix) != std::string::npos) return name;
  const int number = CardNumber(name);
  return number > 0 ? kCardNodePrefix + std::to_string(number) : std::string();
}

std::shared_ptr<CardHandle> OpenCardNode(const std::string& path, int& error) {
  const int opened = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (opened < 0) {
    error = errno;
    return nullptr;
  }
  // One opener at a time, as the card's driver allows; root is held off as well.
  if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(opened);
    return nullptr;
  }
  return std::make_shared<CardNode>(opened);
}

std::vector<std::string> ListCardNodes(int highest) {
  std::vector<std::string> names;
  for (int number = 1; number <= highest; ++number) {
    struct stat node {};
    const std::string path = UnderDeviceRoot(kCardNodePrefix + std::to_string(number));
    if (::stat(path.c_str(), &node) == 0 && !S_ISDIR(node.st_mode))
      names.push_back(kCardPrefix + std::to_string(number));
  }
  return names;
}

}  // namespace platform
