#include "platform/dim/client_side.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dim/dim_extra.h"
#include "platform/dim/runtime.h"

namespace dim {

namespace {

constexpr auto kRetry = std::chrono::seconds(1);
// Command data accepted but not yet written, over all servers; beyond it commands are refused.
constexpr std::size_t kMaxUnsent = std::size_t{256} << 20;

thread_local bool t_delivering_fill = false;

std::string key_of(const std::string &host, uint32_t port) {
  return host + ":" + std::to_string(port);
}

}  // namespace

ClientSide::ClientSide(Runtime &rt) : rt_(rt) {}

ClientSide::~ClientSide() {
  // Subscriptions and links point at each other; the threads have stopped, so untie them.
  for (auto &[id, sub] : subs_) sub->link.reset();
  for (auto &[key, link] : links_) link->subs.clear();
}

bool ClientSide::delivering_fill() { return t_delivering_fill; }

int ClientSide::lookup_state(unsigned id) {
  std::lock_guard lock(subs_mutex_);
  auto it = all_.find(id);
  return it != all_.end() ? it->second->lookup.load() : static_cast<int>(ServiceLookup::kNoAnswer);
}

// ---- subscriptions ----

unsigned ClientSide::subscribe(const char *name, int type, void *address, int size,
                               dic_info_callback callback, long tag, const void *fill,
                               int fill_size) {
  if (!name || !*name || std::strlen(name) > wire::kMaxName || size < 0 || fill_size < 0 ||
      (fill_size > 0 && !fill) || (!callback && !address)) {
    std::fprintf(stderr, "dim: dic_info_service_: invalid arguments\n");
    return 0;
  }
  auto sub = std::make_shared<Sub>();
  sub->id = next_id_++;
  sub->name = name;
  sub->type = type;
  sub->address = address;
  sub->size = address ? size : 0;
  sub->callback = callback;
  sub->tag = tag;
  sub->fill = wire::Payload::copy_of(fill, fill ? static_cast<std::size_t>(fill_size) : 0);
  {
    std::lock_guard lock(subs_mutex_);
    all_[sub->id] = sub;
  }
  rt_.to_dispatch([this, sub] {
    if (sub->released) return;
    subs_[sub->id] = sub;
    sub->retry = std::make_unique<asio::steady_timer>(rt_.dispatch());
    resolve(sub);
  });
  return sub->id;
}

void ClientSide::release(unsigned id) {
  std::shared_ptr<Sub> sub;
  {
    std::lock_guard lock(subs_mutex_);
    auto it = all_.find(id);
    if (it == all_.end()) return;
    sub = it->second;
    all_.erase(it);
  }
  sub->released = true;
  rt_.to_dispatch([this, id] { forget(id); });
}

void ClientSide::forget(unsigned id) {
  auto it = subs_.find(id);
  if (it == subs_.end()) return;
  auto sub = it->second;
  subs_.erase(it);
  if (sub->retry) sub->retry->cancel();
  if (auto link = sub->link) {
    link->subs.erase(id);
    if (link->up) link->conn->send(wire::encode_unsubscribe(id));
  }
  sub->link.reset();
}

void ClientSide::resolve(const std::shared_ptr<Sub> &sub) {
  if (sub->released) return;
  auto it = cache_.find(sub->name);
  if (it != cache_.end() && it->second.kind == wire::EntryKind::kService) {
    sub->lookup = static_cast<int>(ServiceLookup::kFound);
    attach(sub, link_to(it->second.host, it->second.port));
    return;
  }
  std::weak_ptr<Sub> weak = sub;
  lookup(sub->name, [this, weak](std::optional<wire::LookupReplyMsg> r, const std::string &) {
    auto live = weak.lock();
    if (!live || live->released) return;
    // Set before the fill goes out, so a callback that gets it can ask why.
    const bool found = r && r->found && r->kind == wire::EntryKind::kService;
    live->lookup = static_cast<int>(!r      ? ServiceLookup::kNoAnswer
                                    : found ? ServiceLookup::kFound
                                            : ServiceLookup::kUnknown);
    if (!found) {
      no_link(live);
      retry_later(live);
      return;
    }
    cache_[live->name] = Location{r->host, r->port, r->kind, {}};
    attach(live, link_to(r->host, r->port));
  });
}

void ClientSide::attach(const std::shared_ptr<Sub> &sub, const std::shared_ptr<Link> &link) {
  sub->link = link;
  link->subs[sub->id] = sub;
  if (link->up) link->conn->send(wire::encode(wire::SubscribeMsg{sub->id, sub->name}));
}

void ClientSide::no_link(const std::shared_ptr<Sub> &sub) {
  if (sub->showing_fill) return;
  sub->showing_fill = true;
  deliver(sub, sub->fill, true);
}

void ClientSide::retry_later(const std::shared_ptr<Sub> &sub) {
  if (sub->released || !sub->retry) return;
  std::weak_ptr<Sub> weak = sub;
  sub->retry->expires_after(kRetry);
  sub->retry->async_wait([this, weak](const asio::error_code &ec) {
    auto live = weak.lock();
    if (!ec && live && !live->link) resolve(live);
  });
}

void ClientSide::deliver(const std::shared_ptr<Sub> &sub, const wire::Payload &data, bool is_fill) {
  if (!is_fill) sub->showing_fill = false;
  if (sub->released || rt_.halted()) return;
  if (sub->address && sub->size > 0 && data.size > 0)
    std::memcpy(sub->address, data.data, std::min(data.size, static_cast<std::size_t>(sub->size)));
  if (sub->callback) {
    long tag = sub->tag;
    int size = static_cast<int>(data.size);
    t_delivering_fill = is_fill;
    sub->callback(&tag, const_cast<uint8_t *>(data.data), &size);
    t_delivering_fill = false;
  }
  if (sub->type == ONCE_ONLY && !is_fill) release(sub->id);
}

// ---- commands ----

int ClientSide::command(const char *name, const void *data, int size, Done done) {
  auto fail = [&](const std::string &why) {
    if (done)
      done(false, why);
    else
      std::fprintf(stderr, "dim: command %s not sent: %s\n", name ? name : "", why.c_str());
    return 0;
  };
  if (!name || !*name || std::strlen(name) > wire::kMaxName || size < 0 || (size > 0 && !data))
    return fail("invalid command arguments");
  if (static_cast<std::size_t>(size) > wire::kMaxPayload)
    return fail("command data of " + std::to_string(size) + " bytes is over the limit");
  const std::size_t n = static_cast<std::size_t>(size);
  if (posted_ == 0) {
    // Written from here when the connection is idle: from a station's main thread nothing on
    // our side wakes, and from a callback (the next read of a chain) it skips the queue.
    std::shared_ptr<Connection> conn;
    {
      std::lock_guard lock(direct_mutex_);
      auto it = direct_.find(std::string_view(name));
      if (it != direct_.end()) conn = it->second.lock();
    }
    uint8_t head[wire::kMaxCommandHead];
    if (conn && conn->send_from_any_thread({head, wire::put_command_head(head, name, n)},
                                           static_cast<const uint8_t *>(data), n)) {
      if (done) done(true, {});
      return 1;
    }
  }
  // Only what must wait counts against the limit: a command written at once is not kept.
  if (unsent_bytes_.fetch_add(n) + n > kMaxUnsent) {
    unsent_bytes_ -= n;
    return fail("too much command data waiting to be sent");
  }
  PendingCommand c;
  c.name = name;
  c.data = wire::Payload::copy_of(data, n);
  c.done = std::move(done);
  if (rt_.on_dispatch()) {
    route(std::move(c));  // from a handler or callback: written before it returns
    return 1;
  }
  ++posted_;
  rt_.to_dispatch([this, c = std::move(c)]() mutable {
    route(std::move(c));
    --posted_;
  });
  return 1;
}

void ClientSide::command_done(PendingCommand &c, bool ok, const std::string &why) {
  unsent_bytes_ -= c.data.size;
  if (c.done)
    c.done(ok, why);
  else if (!ok)
    std::fprintf(stderr, "dim: command %s not sent: %s\n", c.name.c_str(), why.c_str());
}

void ClientSide::route(PendingCommand c) {
  if (!c.looked_up) {
    auto it = cache_.find(c.name);
    if (it != cache_.end() && it->second.kind == wire::EntryKind::kCommand) {
      auto link = it->second.link.lock();
      if (!link) {
        link = link_to(it->second.host, it->second.port);
        it->second.link = link;
      }
      send_on(link, std::move(c));
      return;
    }
  }
  c.looked_up = true;
  auto &queue = waiting_[c.name];
  queue.push_back(std::move(c));
  if (queue.size() > 1) return;  // a lookup for this name is already out
  const std::string name = queue.front().name;
  lookup(name, [this, name](std::optional<wire::LookupReplyMsg> r, const std::string &error) {
    auto node = waiting_.extract(name);
    if (node.empty()) return;
    std::string why;
    if (!r)
      why = error;
    else if (!r->found)
      why = "not known to the name server";
    else if (r->kind != wire::EntryKind::kCommand)
      why = "is a service, not a command";
    if (!why.empty()) {
      for (auto &waiting : node.mapped()) command_done(waiting, false, why);
      return;
    }
    auto link = link_to(r->host, r->port);
    cache_[name] = Location{r->host, r->port, r->kind, link};
    for (auto &waiting : node.mapped()) send_on(link, std::move(waiting));
  });
}

void ClientSide::send_on(const std::shared_ptr<Link> &link, PendingCommand c) {
  if (!link->up) {
    link->commands.push_back(std::move(c));
    return;
  }
  {
    std::lock_guard lock(direct_mutex_);
    auto &d = direct_[c.name];
    if (d.lock() != link->conn) d = link->conn;
  }
  auto head = wire::command_head(c.name, c.data.size);
  auto data = c.data;
  if (!c.done) {
    // The usual case (dic_cmnd_service_): nothing to carry but the byte count and, for the
    // rare failure, the name.
    link->conn->send(std::move(head), std::move(data),
                     [this, n = c.data.size, name = std::move(c.name)](bool ok) {
                       unsent_bytes_ -= n;
                       if (!ok)
                         std::fprintf(stderr, "dim: command %s not sent: %s\n", name.c_str(),
                                      "the connection to the server ended");
                     });
    return;
  }
  link->conn->send(std::move(head), std::move(data), [this, c = std::move(c)](bool ok) mutable {
    command_done(c, ok, ok ? std::string{} : "the connection to the server ended");
  });
}

// ---- links to servers ----

std::shared_ptr<ClientSide::Link> ClientSide::link_to(const std::string &host, uint32_t port) {
  const std::string key = key_of(host, port);
  auto it = links_.find(key);
  if (it != links_.end()) return it->second;
  auto link = std::make_shared<Link>();
  link->key = key;
  links_[key] = link;
  asio::error_code bad_address;
  auto address = asio::ip::make_address(host, bad_address);
  if (bad_address) {
    // Post the failure so that callers finish attaching before the link goes down.
    rt_.to_dispatch([this, link] { link_down(link, "bad server address " + link->key); });
    return link;
  }
  auto socket = std::make_shared<asio::ip::tcp::socket>(rt_.dispatch());
  socket->async_connect(
      asio::ip::tcp::endpoint(address, static_cast<uint16_t>(port)),
      [this, link, socket](const asio::error_code &ec) {
        if (ec) {
          link_down(link, "cannot connect to " + link->key + ": " + ec.message());
          return;
        }
        Connection::Options o;
        o.hold_on_backlog = false;  // our own commands are bounded where they are accepted
        o.ring = rt_.dispatch_ring();
        link->conn = std::make_shared<Connection>(std::move(*socket), "server " + link->key, o);
        link->up = true;
        std::weak_ptr<Link> weak = link;
        link->conn->start(
            [this, weak](wire::Frame &&f) {
              if (auto l = weak.lock()) on_link_frame(l, std::move(f));
            },
            [this, weak](const std::string &why) {
              if (auto l = weak.lock()) link_down(l, why.empty() ? "server closed the link" : why);
            });
        for (const auto &[id, sub] : link->subs)
          link->conn->send(wire::encode(wire::SubscribeMsg{id, sub->name}));
        auto commands = std::move(link->commands);
        link->commands.clear();
        for (auto &c : commands) send_on(link, std::move(c));
      });
  return link;
}

void ClientSide::on_link_frame(const std::shared_ptr<Link> &link, wire::Frame &&f) {
  if (f.kind() == wire::Kind::kData) {
    auto d = wire::decode_data(f);
    if (!d) {
      link->conn->close("malformed data frame");
      return;
    }
    auto it = link->subs.find(d->sub);
    if (it == link->subs.end()) return;  // released meanwhile
    auto sub = it->second;
    // The callback reads the contents in place, inside the received frame.
    deliver(sub, wire::Payload{nullptr, d->data, d->size}, false);
    if (sub->type == ONCE_ONLY) forget(sub->id);
    return;
  }
  if (f.kind() == wire::Kind::kNoService) {
    auto id = wire::decode_sub_id(f);
    if (!id) {
      link->conn->close("malformed no-service frame");
      return;
    }
    auto it = link->subs.find(*id);
    if (it == link->subs.end()) return;
    auto sub = it->second;
    link->subs.erase(it);
    sub->link.reset();
    cache_.erase(sub->name);  // the name server's answer was stale
    no_link(sub);
    retry_later(sub);
    return;
  }
  link->conn->close("unexpected frame kind " + std::to_string(static_cast<int>(f.kind())));
}

void ClientSide::link_down(const std::shared_ptr<Link> &link, const std::string &why) {
  auto it = links_.find(link->key);
  if (it != links_.end() && it->second == link) links_.erase(it);
  link->up = false;
  if (link->conn) {
    {
      std::lock_guard lock(direct_mutex_);
      std::erase_if(direct_, [&](const auto &e) {
        auto c = e.second.lock();
        return !c || c == link->conn;
      });
    }
    link->conn->drop();
    rt_.to_dispatch([keep = std::move(link->conn)] {});
    link->conn.reset();
  }
  std::erase_if(cache_,
                [&](const auto &e) { return key_of(e.second.host, e.second.port) == link->key; });
  auto subs = std::move(link->subs);
  link->subs.clear();
  for (auto &[id, sub] : subs) {
    sub->link.reset();
    no_link(sub);
    retry_later(sub);
  }
  auto commands = std::move(link->commands);
  link->commands.clear();
  for (auto &c : commands) {
    if (c.looked_up)
      command_done(c, false, why);
    else
      route(std::move(c));  // the address may be stale: ask the name server once more
  }
}

// ---- name server ----

void ClientSide::lookup(
    const std::string &name,
    std::function<void(std::optional<wire::LookupReplyMsg>, const std::string &)> cb) {
  // A name server that does not know the name may have just restarted and not yet heard from
  // its server: another one is asked before "unknown" is believed.
  ask_dns(
      [name](uint32_t request) {
        return wire::encode(wire::LookupMsg{request, name});
      },
      [](const wire::Frame &f) {
        auto r = wire::decode_lookup_reply(f);
        return r && r->found;
      },
      [cb = std::move(cb)](const wire::Frame *f, const std::string &error) {
        if (!f) {
          cb(std::nullopt, error);
          return;
        }
        auto r = wire::decode_lookup_reply(*f);
        cb(r, r ? std::string{} : "malformed answer from the name server");
      });
}

// The variables are read again only while no name server is in use, as one name server's
// address always was: when they change, the next connection follows them.
std::string ClientSide::update_dns_links() {
  for (const auto &link : dns_links_)
    if (!link->idle()) return {};
  const char *node = std::getenv("DIM_DNS_NODE");
  const char *port = std::getenv("DIM_DNS_PORT");
  std::string setting = std::string(node ? node : "") + "\n" + (port ? port : "");
  if (setting == dns_setting_ && !dns_links_.empty()) return {};
  NameServerList list = name_servers();
  if (!list.error.empty()) {
    if (list.error != dns_error_) std::fprintf(stderr, "dim: %s\n", list.error.c_str());
    dns_error_ = list.error;
    return list.error;
  }
  dns_error_.clear();
  // Requests still out on the old links are answered by them as failed, on a turn of their own.
  for (auto &old : dns_links_)
    rt_.to_dispatch([old = std::shared_ptr<NameServerLink>(std::move(old))] {
      old->down("the name servers were changed", false);
    });
  dns_links_.clear();
  for (auto &a : list.servers) dns_links_.push_back(std::make_unique<NameServerLink>(rt_, a));
  dns_setting_ = std::move(setting);
  ++dns_generation_;
  dns_preferred_ = 0;
  return {};
}

void ClientSide::ask_dns(std::function<wire::Bytes(uint32_t request)> frame,
                         std::function<bool(const wire::Frame &)> good, Reply reply) {
  if (std::string error = update_dns_links(); !error.empty()) {
    rt_.to_dispatch([reply = std::move(reply), error] { reply(nullptr, error); });
    return;
  }
  auto turn = std::make_shared<Turn>();
  turn->frame = std::move(frame);
  turn->good = std::move(good);
  turn->reply = std::move(reply);
  turn->first = dns_preferred_;
  turn->generation = dns_generation_;
  ask_next(turn);
}

void ClientSide::ask_next(const std::shared_ptr<Turn> &turn) {
  const std::size_t n = dns_links_.size();
  if (turn->generation != dns_generation_ || turn->tried == n) {
    if (turn->answer)
      turn->reply(&*turn->answer, {});
    else
      turn->reply(nullptr, turn->error.empty() ? "the name servers were changed" : turn->error);
    return;
  }
  const std::size_t i = (turn->first + turn->tried++) % n;
  const uint32_t request = next_request_++;
  dns_links_[i]->ask(turn->frame(request), request,
                     [this, turn, i](const wire::Frame *f, const std::string &error) {
                       const bool same = turn->generation == dns_generation_;
                       if (f && turn->good(*f)) {
                         if (same) dns_preferred_ = i;
                         turn->reply(f, {});
                         return;
                       }
                       if (f) {
                         turn->answer = *f;
                       } else {
                         turn->error = error;
                         // The next question starts elsewhere rather than wait on this one.
                         if (same && dns_preferred_ == i)
                           dns_preferred_ = (i + 1) % dns_links_.size();
                       }
                       ask_next(turn);
                     });
}

bool ClientSide::list(std::vector<wire::ServerInfo> &out, std::string &error, int timeout_ms) {
  struct Wait {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::optional<wire::ListReplyMsg> reply;
    std::string error;
  };
  out.clear();
  // The name server sends the list in pages; each page starts after the last server of the
  // one before, so every page moves on and the loop ends. The time limit is per page: a long
  // list from a name server that keeps answering is not a silent name server.
  std::string after;
  for (;;) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    auto w = std::make_shared<Wait>();
    rt_.to_dispatch([this, w, after] {
      ask_dns([after](uint32_t request) { return wire::encode_list(request, after); },
              [](const wire::Frame &f) { return wire::decode_list_reply(f).has_value(); },
              [w](const wire::Frame *f, const std::string &why) {
                std::lock_guard lock(w->m);
                if (f) w->reply = wire::decode_list_reply(*f);
                w->error = why;
                w->done = true;
                w->cv.notify_all();
              });
    });
    std::unique_lock lock(w->m);
    if (!w->cv.wait_until(lock, deadline, [&] { return w->done; })) {
      error = out.empty() ? "the name server did not answer"
                          : "the list is incomplete: the name server did not answer in time";
      return false;
    }
    if (!w->reply) {
      error = out.empty() ? w->error : "the list is incomplete: " + w->error;
      return false;
    }
    auto &page = w->reply->servers;
    if (w->reply->truncated && (page.empty() || page.back().server <= after)) {
      error = "the list is incomplete: the name server cut it short";
      return false;
    }
    for (auto &s : page) out.push_back(std::move(s));
    if (!w->reply->truncated) return true;
    after = out.back().server;
  }
}

}  // namespace dim
