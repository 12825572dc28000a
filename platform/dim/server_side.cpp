#include "platform/dim/server_side.h"

#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dim/log_limit.h"
#include "platform/dim/runtime.h"

namespace dim {

namespace {

constexpr std::size_t kMaxPeers = 1024;
// A station host runs a few programs, each with one connection to a server; 256 leaves room
// for a busy host or a gateway while no one host takes more than a quarter of the slots.
constexpr std::size_t kMaxPeersPerAddress = 256;
constexpr std::size_t kMaxSubsPerPeer = 4096;
// Frames being received, all connections together. Only a byte-code file for DownloadFPGA is
// large: one of the largest size fits, with room for the ordinary traffic beside it.
constexpr std::size_t kPartialFrameBudget = wire::kMaxFrameBody + (std::size_t{16} << 20);
// Service data waiting to be written, all connections together. A subscriber that reads
// holds at most a frame or two; thousands of them fit.
constexpr std::size_t kAnswerBudget = std::size_t{64} << 20;
// Refusals by the access lists are logged once per peer address and this interval.
constexpr auto kRefusalLogInterval = std::chrono::minutes(1);
constexpr auto kRegistrationWait = std::chrono::seconds(5);

bool valid_name(const char *name) {
  if (!name) return false;
  const std::size_t n = std::strlen(name);
  return n > 0 && n <= wire::kMaxName;
}

bool is_words(const char *format) { return format && format[0] == 'L'; }

}  // namespace

ServerSide::ServerSide(Runtime &rt)
    : rt_(rt),
      admission_({kMaxPeers, kMaxPeersPerAddress}),
      frame_budget_(std::make_shared<SharedBudget>(SharedBudget::Kind::kFramesBeingReceived,
                                                   kPartialFrameBudget)),
      answer_budget_(
          std::make_shared<SharedBudget>(SharedBudget::Kind::kAnswersWaiting, kAnswerBudget)) {}

ServerSide::~ServerSide() = default;

bool ServerSide::name_taken(const std::string &name) const { return names_.count(name) != 0; }

unsigned ServerSide::add_command(const char *name, const char *format, dis_cmnd_handler handler,
                                 long tag) {
  if (!valid_name(name) || !handler) {
    std::fprintf(stderr, "dim: dis_add_cmnd_: invalid name or handler\n");
    return 0;
  }
  wire::Entry e{wire::EntryKind::kCommand, name};
  int id = 0;
  {
    std::lock_guard lock(mutex_);
    if (name_taken(e.name)) {
      std::fprintf(stderr, "dim: name %s is already used in this process\n", name);
      return 0;
    }
    commands_.push_back(Command{e.name, is_words(format), handler, tag});
    id = static_cast<int>(commands_.size());
    names_[e.name] = {e.kind, id};
    if (!serving_) return static_cast<unsigned>(id);
  }
  announce(std::move(e));
  return static_cast<unsigned>(id);
}

int ServerSide::add_service(const char *name, const char *format, void *address, int size,
                            dis_service_routine routine, long tag) {
  if (!valid_name(name) || size < 0 || (!routine && size > 0 && !address)) {
    std::fprintf(stderr, "dim: dis_add_service_: invalid name, buffer or routine\n");
    return 0;
  }
  wire::Entry e{wire::EntryKind::kService, name};
  int id = 0;
  {
    std::lock_guard lock(mutex_);
    if (name_taken(e.name)) {
      std::fprintf(stderr, "dim: name %s is already used in this process\n", name);
      return 0;
    }
    services_.push_back(Service{e.name, is_words(format), address, size, routine, tag});
    id = static_cast<int>(services_.size());
    names_[e.name] = {e.kind, id};
    if (!serving_) return id;
  }
  announce(std::move(e));
  return id;
}

std::vector<wire::Entry> ServerSide::entries() const {
  std::lock_guard lock(mutex_);
  std::vector<wire::Entry> out;
  out.reserve(names_.size());
  for (const auto &[name, what] : names_) out.push_back(wire::Entry{what.first, name});
  return out;
}

void ServerSide::announce(wire::Entry e) {
  rt_.to_net([this, e = std::move(e)] {
    // Frames keep their order, so an entry the registration already carried is harmless.
    for (auto &r : registrations_) r->announce(e);
  });
}

// ---- publishing (dispatch thread) ----

int ServerSide::update(int service_id) {
  {
    std::lock_guard lock(mutex_);
    if (service_id <= 0 || service_id > static_cast<int>(services_.size())) return 0;
  }
  if (rt_.on_dispatch())
    update_here(service_id);
  else
    rt_.to_dispatch([this, service_id] { update_here(service_id); });
  return 1;
}

std::optional<wire::Payload> ServerSide::contents(int service_id) {
  // Copied out so the routine runs without the lock (it may add services); the name only
  // matters for the error message.
  void *address;
  int size;
  bool words;
  dis_service_routine routine;
  long tag;
  {
    std::lock_guard lock(mutex_);
    const Service &s = services_.at(static_cast<std::size_t>(service_id - 1));
    address = s.address;
    size = s.size;
    words = s.words;
    routine = s.routine;
    tag = s.tag;
  }
  if (routine) {
    address = nullptr;
    size = 0;
    routine(&tag, &address, &size);
  }
  if (size < 0 || (size > 0 && !address) || static_cast<std::size_t>(size) > wire::kMaxPayload) {
    std::string name;
    {
      std::lock_guard lock(mutex_);
      name = services_.at(static_cast<std::size_t>(service_id - 1)).name;
    }
    std::fprintf(stderr, "dim: service %s: buffer routine gave an unusable buffer (%d bytes)\n",
                 name.c_str(), size);
    return std::nullopt;
  }
  const auto bytes = static_cast<std::size_t>(size);
  if (words && std::endian::native != std::endian::little) {
    auto p = wire::Payload::copy_of(address, bytes);
    wire::words_to_wire(const_cast<uint8_t *>(p.data), p.size);
    return p;
  }
  // Borrowed: written at once to idle subscribers, copied only for one that must queue it.
  return wire::Payload{nullptr, static_cast<const uint8_t *>(address), bytes};
}

void ServerSide::update_here(int service_id) {
  auto data = contents(service_id);
  if (data) publish(service_id, *data);
}

void ServerSide::run_command(const wire::CommandView &cmd, const std::string &peer) {
  dis_cmnd_handler handler;
  long tag;
  bool words;
  {
    std::lock_guard lock(mutex_);
    auto it = names_.find(cmd.name);
    if (it == names_.end() || it->second.first != wire::EntryKind::kCommand) {
      connection_log().print("dim: " + peer + " sent to " + wire::printable(cmd.name) +
                             ", which is no command here");
      return;
    }
    const Command &c = commands_[static_cast<std::size_t>(it->second.second - 1)];
    handler = c.handler;
    tag = c.tag;
    words = c.words;
  }
  if (words) wire::words_to_wire(cmd.data, cmd.size);
  int size = static_cast<int>(cmd.size);
  handler(&tag, cmd.data, &size);
}

// ---- serving ----

int ServerSide::start_serving(const char *server_name) {
  if (!valid_name(server_name)) {
    std::fprintf(stderr, "dim: dis_start_serving_: invalid server name\n");
    return 0;
  }
  std::unique_lock lock(mutex_);
  if (serving_) {
    if (server_name_ == server_name) return 1;
    std::fprintf(stderr, "dim: this process already serves as %s, not %s\n", server_name_.c_str(),
                 server_name);
    return 0;
  }
  serving_ = true;
  server_name_ = server_name;
  outcome_ = Outcome::kNone;
  std::string error;
  policy_ = AccessPolicy::from_environment();
  allow_descriptors(kMaxPeers + 256);
  const bool listening = open_acceptor(error);
  lock.unlock();

  if (listening) {
    rt_.to_dispatch(
        [this] { acceptor_->start([this](Acceptor::Newcomer &&n) { admit(std::move(n)); }); });
    rt_.to_net([this] { register_now(); });
  } else {
    settle(Outcome::kUnreachable, error);
  }

  lock.lock();
  settled_cv_.wait_for(lock, kRegistrationWait, [this] { return outcome_ != Outcome::kNone; });
  const Outcome o = outcome_;
  const std::string text = outcome_text_;
  if (o == Outcome::kNone) outcome_ = Outcome::kUnreachable;  // later outcomes are handled there
  lock.unlock();

  switch (o) {
    case Outcome::kRegistered:
      return 1;
    case Outcome::kRefused:
      std::fprintf(stderr, "dim: server %s refused by the name server: %s\n", server_name,
                   text.c_str());
      if (exit_on_refusal_) {
        std::fprintf(stderr, "dim: server %s exiting\n", server_name);
        std::exit(1);
      }
      return 0;
    case Outcome::kUnreachable:
      std::fprintf(stderr, "dim: server %s not registered yet: %s\n", server_name, text.c_str());
      return text.rfind("DIM_DNS", 0) == 0 || !listening ? 0 : 1;
    case Outcome::kNone:
      std::fprintf(stderr, "dim: server %s: the name server has not answered yet\n", server_name);
      return 1;
  }
  return 0;
}

bool ServerSide::open_acceptor(std::string &error) {
  // Both address families when the host has IPv6, so the name server may be reached either way.
  auto a = std::make_unique<Acceptor>(rt_.dispatch(), admission_, "dim", "client");
  if (asio::error_code ec = a->listen(0, false)) {
    error = "cannot listen: " + ec.message();
    return false;
  }
  port_ = a->port();
  acceptor_ = std::move(a);
  return true;
}

void ServerSide::admit(Acceptor::Newcomer &&n) {
  Connection::Options o;
  o.frame_budget = frame_budget_;
  o.answer_budget = answer_budget_;
  o.handshake_timeout = handshake_timeout();
  o.ring = rt_.dispatch_ring();
  auto conn = std::make_shared<Connection>(std::move(n.socket), std::move(n.label), std::move(o));
  Connection *c = conn.get();
  admission_.add(c, n.key);
  Peer &peer = peers_[c];
  peer.conn = conn;
  peer.address = n.address;
  conn->start([this, c](wire::Frame &&f) { on_peer_frame(c, std::move(f)); },
              [this, c](const std::string &) { on_peer_closed(c); });
}

// Refusals are counted per peer address; the first, and then one a minute, is logged with the
// count so far.
bool ServerSide::allowed(Connection *c, const Peer &peer, bool command, std::string_view name) {
  if (command ? policy_.may_command(peer.address) : policy_.may_subscribe(peer.address))
    return true;
  const auto now = std::chrono::steady_clock::now();
  if (refusals_.size() >= 4 * kMaxPeers)
    std::erase_if(refusals_,
                  [&](const auto &r) { return now - r.second.logged >= kRefusalLogInterval; });
  Refusals &r = refusals_[peer.address.to_string()];
  ++r.count;
  if (r.count == 1 || now - r.logged >= kRefusalLogInterval) {
    r.logged = now;
    std::fprintf(stderr,
                 "dim: refused %s %.*s from %s: address not allowed (%llu refused from %s)\n",
                 command ? "command" : "subscription to", static_cast<int>(name.size()),
                 name.data(), c->label().c_str(), static_cast<unsigned long long>(r.count),
                 peer.address.to_string().c_str());
  }
  return false;
}

void ServerSide::on_peer_frame(Connection *c, wire::Frame &&f) {
  if (rt_.halted()) return;  // frames read in one batch with the last handler's own
  auto pit = peers_.find(c);
  if (pit == peers_.end()) return;
  Peer &peer = pit->second;
  switch (f.kind()) {
    case wire::Kind::kCommand: {
      auto cmd = wire::decode_command(f);
      if (!cmd) {
        c->close("malformed command frame");
        return;
      }
      if (!allowed(c, peer, true, cmd->name)) return;
      // The handler runs right here; the frame and the connection stay alive until it returns.
      run_command(*cmd, c->label());
      return;
    }
    case wire::Kind::kSubscribe: {
      auto m = wire::decode_subscribe(f);
      if (!m) {
        c->close("malformed subscribe frame");
        return;
      }
      if (peer.subs.size() >= kMaxSubsPerPeer) {
        c->close("too many subscriptions");
        return;
      }
      if (peer.subs.count(m->sub)) {
        c->close("subscription id " + std::to_string(m->sub) + " used twice");
        return;
      }
      if (!allowed(c, peer, false, m->name)) {
        c->send(wire::encode_no_service(m->sub));
        return;
      }
      subscribe(c, peer, m->sub, m->name);
      return;
    }
    case wire::Kind::kUnsubscribe: {
      auto sub = wire::decode_sub_id(f);
      if (!sub) {
        c->close("malformed unsubscribe frame");
        return;
      }
      auto sit = peer.subs.find(*sub);
      if (sit == peer.subs.end()) return;
      remove_subscriber(sit->second);
      peer.subs.erase(sit);
      return;
    }
    default:
      c->close("unexpected frame kind " + std::to_string(static_cast<int>(f.kind())));
      return;
  }
}

void ServerSide::subscribe(Connection *c, Peer &peer, uint32_t sub, const std::string &name) {
  int id = 0;
  {
    std::lock_guard lock(mutex_);
    auto it = names_.find(name);
    if (it != names_.end() && it->second.first == wire::EntryKind::kService) id = it->second.second;
  }
  if (id == 0) {
    c->send(wire::encode_no_service(sub));
    return;
  }
  // Attached before the buffer routine runs: an update it makes already reaches this
  // subscriber, and the contents taken afterwards are the newest anyway.
  auto &list = subscribers_[id];
  peer.subs.emplace(sub, Place{id, list.size()});
  list.emplace_back(c, sub);
  if (auto data = contents(id)) {
    if (peers_.count(c)) c->send_latest(sub, *data);
  }
}

// The last subscriber of the service takes the leaver's place, so leaving costs the same
// however many subscribers there are.
void ServerSide::remove_subscriber(const Place &place) {
  auto &list = subscribers_[place.service];
  if (place.index + 1 != list.size()) {
    list[place.index] = list.back();
    const auto &[moved_conn, moved_sub] = list[place.index];
    peers_.at(moved_conn).subs.at(moved_sub).index = place.index;
  }
  list.pop_back();
}

void ServerSide::on_peer_closed(Connection *c) {
  admission_.remove(c);
  auto pit = peers_.find(c);
  if (pit == peers_.end()) return;
  // The leaver's own entries stay in its map until it is erased, so a moved one of its own is
  // still found there.
  for (const auto &[sub, place] : pit->second.subs) remove_subscriber(place);
  // The connection object may still be on the stack of its own callback: release it later.
  rt_.to_dispatch([keep = std::move(pit->second.conn)] {});
  peers_.erase(pit);
}

void ServerSide::publish(int service_id, wire::Payload &data) {
  auto it = subscribers_.find(service_id);
  if (it == subscribers_.end()) return;
  // Each subscriber whose connection is idle gets the frame written at once from this thread;
  // the rest find it queued (newest contents only) behind what they are still receiving.
  // Indexed, and checked each time: the list must survive any change made meanwhile.
  auto &list = it->second;
  for (std::size_t i = 0; i < list.size(); ++i) list[i].first->send_latest(list[i].second, data);
}

// ---- registration with the name server (network thread) ----

void ServerSide::register_now() {
  if (!registrations_.empty()) return;
  started_ = std::chrono::steady_clock::now();
  NameServerList list = name_servers();
  if (!list.error.empty()) {
    settle(Outcome::kUnreachable, list.error);
    return;
  }
  RegistrationOwner &owner = *this;
  const bool several = list.servers.size() > 1;
  for (auto &where : list.servers)
    registrations_.push_back(
        std::make_unique<Registration>(rt_.net(), owner, std::move(where), several));
  for (auto &r : registrations_) r->start();
}

std::string ServerSide::server_name() const {
  std::lock_guard lock(mutex_);
  return server_name_;
}

std::optional<wire::EntryKind> ServerSide::kind_of(const std::string &name) const {
  std::lock_guard lock(mutex_);
  auto it = names_.find(name);
  if (it == names_.end()) return std::nullopt;
  return it->second.first;
}

// A server is new until it has been registered somewhere, and for as long as start_serving
// may wait after that: every name server answers a new server within that time, so the
// refusal of any of them ends it however the answers are ordered. Later, it has been serving,
// and a refusal never ends it: it says so and keeps trying.
bool ServerSide::newcomer() const {
  return !was_registered_ || std::chrono::steady_clock::now() - started_ < kRegistrationWait;
}

void ServerSide::registered(Registration &) {
  was_registered_ = true;
  settle(Outcome::kRegistered, {});
}

// start_serving waits for the first name server that takes the server; it hears of a failure
// only when every name server has failed.
bool ServerSide::unreachable(Registration &, const std::string &why) {
  for (const auto &r : registrations_)
    if (r->is_registered() || !r->failed_once()) return false;
  return settle(Outcome::kUnreachable, why);
}

void ServerSide::refused(Registration &, const std::string &why) {
  refused_ = true;
  for (auto &r : registrations_) r->stop();
  settle(Outcome::kRefused, why);
}

bool ServerSide::settle(Outcome o, const std::string &text) {
  std::string name;
  {
    std::lock_guard lock(mutex_);
    name = server_name_;
    if (outcome_ == Outcome::kNone) {
      // start_serving is waiting and reports this itself.
      outcome_ = o;
      outcome_text_ = text;
      settled_cv_.notify_all();
      return true;
    }
  }
  if (o == Outcome::kRefused) {
    // start_serving stopped waiting before the answer came: a newcomer whose name is taken.
    std::fprintf(stderr, "dim: server %s refused by the name server: %s\n", name.c_str(),
                 text.c_str());
    if (exit_on_refusal_) {
      std::fprintf(stderr, "dim: server %s exiting\n", name.c_str());
      std::exit(1);
    }
  }
  return false;
}

}  // namespace dim
