// The Avahi client library behind the mDNS browser and publisher. Each object has its own
// threaded poll and client: every callback runs on that poll thread with the poll's lock held,
// and stopping the poll is what guarantees that no callback runs once an object goes.
#include "platform/mdns.hpp"

#include "platform/mdns_reports.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>

namespace platform {

namespace {

// The poll thread and its lock, held for the life of an object.
class PollThread {
public:
  PollThread() : poll(avahi_threaded_poll_new()) {}
  ~PollThread() {
    Stop();
    if (poll) avahi_threaded_poll_free(poll);
  }
  const AvahiPoll* Api() const { return poll ? avahi_threaded_poll_get(poll) : nullptr; }
  bool Begin() {
    started = poll && avahi_threaded_poll_start(poll) == 0;
    return started;
  }
  // Joins the thread: no callback runs after this returns.
  void Stop() {
    if (started) avahi_threaded_poll_stop(poll);
    started = false;
  }
  void Lock() {
    if (started) avahi_threaded_poll_lock(poll);
  }
  void Unlock() {
    if (started) avahi_threaded_poll_unlock(poll);
  }

private:
  AvahiThreadedPoll* poll;
  bool started = false;
};

class PollLock {
public:
  explicit PollLock(PollThread& thread) : poll(thread) { poll.Lock(); }
  ~PollLock() { poll.Unlock(); }

private:
  PollThread& poll;
};

const char* const kDomain = "local";

}  // namespace

// ---- browsing ----

struct MdnsBrowser::State {
  using Key = std::tuple<std::string, AvahiIfIndex, AvahiProtocol>;

  std::string serviceType;
  Handler handler;
  PollThread poll;
  AvahiClient* client = nullptr;
  AvahiServiceBrowser* browser = nullptr;
  MdnsReports reports;
  std::map<Key, AvahiServiceResolver*> resolvers;

  void Tell(const std::optional<MdnsReports::Change>& change) {
    if (change) handler(change->first, change->second);
  }

  static void OnClient(AvahiClient* changed, AvahiClientState clientState, void* context) {
    auto& self = *static_cast<State*>(context);
    self.client = changed;  // also when called from inside avahi_client_new
    if (clientState == AVAHI_CLIENT_S_RUNNING && !self.browser) {
      self.browser = avahi_service_browser_new(changed, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                               self.serviceType.c_str(), kDomain,
                                               static_cast<AvahiLookupFlags>(0), OnBrowse, &self);
    } else if (clientState == AVAHI_CLIENT_FAILURE &&
               avahi_client_errno(changed) == AVAHI_ERR_DISCONNECTED) {
      // The daemon went: what it told us is gone with it; browse again once it is back.
      for (const auto& change : self.reports.Clear()) self.Tell(change);
      self.resolvers.clear();  // they go with the client
      avahi_client_free(changed);
      self.client = nullptr;
      self.browser = nullptr;
      self.Connect();
    }
  }

  bool Connect() {
    int error = 0;
    AvahiClient* made = avahi_client_new(poll.Api(), AVAHI_CLIENT_NO_FAIL, OnClient, this, &error);
    if (!made) client = nullptr;
    return made != nullptr;
  }

  static void OnBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                       AvahiBrowserEvent event, const char* name, const char* type,
                       const char* domain, AvahiLookupResultFlags, void* context) {
    auto& self = *static_cast<State*>(context);
    if (!name) return;
    const Key key{name, interface, protocol};
    if (event == AVAHI_BROWSER_NEW) {
      self.reports.Seen(name, interface, protocol);
      if (self.resolvers.count(key)) return;
      if (auto* resolver = avahi_service_resolver_new(
              self.client, interface, protocol, name, type, domain, AVAHI_PROTO_INET,
              static_cast<AvahiLookupFlags>(0), OnResolve, &self))
        self.resolvers[key] = resolver;
    } else if (event == AVAHI_BROWSER_REMOVE) {
      const auto resolver = self.resolvers.find(key);
      if (resolver != self.resolvers.end()) {
        avahi_service_resolver_free(resolver->second);
        self.resolvers.erase(resolver);
      }
      self.Tell(self.reports.Gone(name, interface, protocol));
    }
  }

  static void OnResolve(AvahiServiceResolver* resolver, AvahiIfIndex interface,
                        AvahiProtocol protocol, AvahiResolverEvent event, const char* name,
                        const char* type, const char*, const char* hostName,
                        const AvahiAddress* address, uint16_t port, AvahiStringList* text,
                        AvahiLookupResultFlags, void* context) {
    auto& self = *static_cast<State*>(context);
    const auto known = self.resolvers.find(Key{name ? name : "", interface, protocol});
    if (known == self.resolvers.end() || known->second != resolver) return;
    if (event != AVAHI_RESOLVER_FOUND) {
      avahi_service_resolver_free(resolver);
      self.resolvers.erase(known);
      self.Tell(self.reports.Unresolved(name, interface, protocol));
      return;
    }
    MdnsService service;
    service.instanceName = name;
    service.serviceType = type ? type : "";
    service.hostName = hostName ? hostName : "";
    if (address) {
      char printed[AVAHI_ADDRESS_STR_MAX] = {};
      avahi_address_snprint(printed, sizeof printed, address);
      service.address = printed;
    }
    service.port = port;
    // Avahi keeps TXT records last first.
    for (AvahiStringList* entry = text; entry; entry = avahi_string_list_get_next(entry)) {
      const auto* bytes = reinterpret_cast<const char*>(avahi_string_list_get_text(entry));
      service.text.insert(service.text.begin(),
                          std::string(bytes, avahi_string_list_get_size(entry)));
    }
    // The resolver stays: it reports the instance's changes on that interface.
    self.Tell(self.reports.Resolved(service, interface, protocol));
  }

  ~State() {
    poll.Stop();
    if (client) avahi_client_free(client);  // frees the browser and the resolvers too
  }
};

MdnsBrowser::MdnsBrowser(std::string serviceType, Handler handler)
    : state(std::make_unique<State>()) {
  state->serviceType = std::move(serviceType);
  state->handler = std::move(handler);
}

MdnsBrowser::~MdnsBrowser() = default;

bool MdnsBrowser::Start() {
  if (!state->poll.Api() || state->client) return state->client != nullptr;
  // Before the poll thread runs, the client's first callbacks come on this thread, unlocked.
  if (!state->Connect()) return false;
  if (state->poll.Begin()) return true;
  avahi_client_free(state->client);
  state->client = nullptr;
  state->browser = nullptr;
  return false;
}

// ---- publishing ----

struct MdnsPublisher::State {
  struct Wanted {
    std::string name, type;
    std::uint16_t port = 0;
  };
  enum class Outcome { Waiting, Established, Collision, Failed };

  PollThread poll;
  // Touched only on the poll thread or under the poll's lock.
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;
  std::optional<Wanted> wanted;  // a registration that was established, made again on return
  // Written on the poll thread, read by the registering thread: guarded by its own mutex,
  // which is never held while the poll's lock is taken.
  std::mutex outcomeLock;
  std::condition_variable outcomeChanged;
  Outcome outcome = Outcome::Waiting;

  void SetOutcome(Outcome result) {
    {
      std::lock_guard<std::mutex> lock(outcomeLock);
      outcome = result;
    }
    outcomeChanged.notify_all();
  }

  static void OnClient(AvahiClient* changed, AvahiClientState clientState, void* context) {
    auto& self = *static_cast<State*>(context);
    self.client = changed;
    switch (clientState) {
      case AVAHI_CLIENT_S_RUNNING:
        if (self.wanted && !self.group) {
          const int result = self.AddGroup();
          if (result == AVAHI_ERR_COLLISION)
            self.SetOutcome(Outcome::Collision);
          else if (result != AVAHI_OK)
            self.SetOutcome(Outcome::Failed);
        }
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon's host name changes: our records go and come back when it runs again.
        if (self.group) avahi_entry_group_reset(self.group);
        break;
      case AVAHI_CLIENT_FAILURE:
        self.SetOutcome(Outcome::Failed);
        if (avahi_client_errno(changed) == AVAHI_ERR_DISCONNECTED) {
          avahi_client_free(changed);  // with the group
          self.client = nullptr;
          self.group = nullptr;
          self.Connect();
        }
        break;
      default:
        break;
    }
  }

  static void OnGroup(AvahiEntryGroup* changed, AvahiEntryGroupState groupState, void* context) {
    auto& self = *static_cast<State*>(context);
    if (self.group && changed != self.group) return;
    if (groupState == AVAHI_ENTRY_GROUP_ESTABLISHED) self.SetOutcome(Outcome::Established);
    if (groupState == AVAHI_ENTRY_GROUP_COLLISION) self.SetOutcome(Outcome::Collision);
    if (groupState == AVAHI_ENTRY_GROUP_FAILURE) self.SetOutcome(Outcome::Failed);
  }

  bool Connect() {
    int error = 0;
    AvahiClient* made = avahi_client_new(poll.Api(), AVAHI_CLIENT_NO_FAIL, OnClient, this, &error);
    if (!made) client = nullptr;
    return made != nullptr;
  }

  // Under the poll's lock: the group with the wanted service, committed. An avahi error code.
  int AddGroup() {
    if (!group) group = avahi_entry_group_new(client, OnGroup, this);
    if (!group) return avahi_client_errno(client);
    avahi_entry_group_reset(group);
    int result = avahi_entry_group_add_service(
        group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
        wanted->name.c_str(), wanted->type.c_str(), nullptr, nullptr, wanted->port, nullptr);
    if (result == AVAHI_OK) result = avahi_entry_group_commit(group);
    return result;
  }

  void DropGroup() {
    if (group) avahi_entry_group_free(group);
    group = nullptr;
    wanted.reset();
  }

  ~State() {
    poll.Stop();
    if (client) avahi_client_free(client);
  }
};

MdnsPublisher::MdnsPublisher() : state(std::make_unique<State>()) {
  if (!state->poll.Api() || !state->Connect()) return;
  if (state->poll.Begin()) return;
  avahi_client_free(state->client);
  state->client = nullptr;
}

MdnsPublisher::~MdnsPublisher() = default;

MdnsPublishResult MdnsPublisher::Publish(const std::string& instanceName,
                                         const std::string& serviceType, std::uint16_t port,
                                         std::chrono::milliseconds wait) {
  {
    PollLock lock(state->poll);
    state->DropGroup();
    // Connecting means no daemon: that is known now. A daemon still settling its host name
    // takes the registration once it runs, within the wait.
    const AvahiClientState clientState =
        state->client ? avahi_client_get_state(state->client) : AVAHI_CLIENT_CONNECTING;
    if (clientState != AVAHI_CLIENT_S_RUNNING && clientState != AVAHI_CLIENT_S_REGISTERING &&
        clientState != AVAHI_CLIENT_S_COLLISION)
      return MdnsPublishResult::ServerError;
    state->SetOutcome(State::Outcome::Waiting);
    state->wanted = State::Wanted{instanceName, serviceType, port};
    if (clientState == AVAHI_CLIENT_S_RUNNING) {
      const char* host = avahi_client_get_host_name_fqdn(state->client);
      if (!host || !*host) {
        state->DropGroup();
        return MdnsPublishResult::NoHostName;
      }
      const int result = state->AddGroup();
      if (result != AVAHI_OK) {
        state->DropGroup();
        if (result == AVAHI_ERR_COLLISION) return MdnsPublishResult::Collision;
        if (result == AVAHI_ERR_INVALID_SERVICE_NAME) return MdnsPublishResult::InvalidName;
        return MdnsPublishResult::ServerError;
      }
    }
  }
  State::Outcome outcome;
  {
    std::unique_lock<std::mutex> lock(state->outcomeLock);
    state->outcomeChanged.wait_for(lock, wait,
                                   [this] { return state->outcome != State::Outcome::Waiting; });
    outcome = state->outcome;
  }
  if (outcome == State::Outcome::Established) return MdnsPublishResult::Published;
  Withdraw();
  if (outcome == State::Outcome::Collision) return MdnsPublishResult::Collision;
  if (outcome == State::Outcome::Failed) return MdnsPublishResult::ServerError;
  return MdnsPublishResult::NotCompleted;
}

void MdnsPublisher::Withdraw() {
  PollLock lock(state->poll);
  state->DropGroup();
}

}  // namespace platform
