// The client half of the library: subscriptions and commands to named services, found
// through the name server and reached over one connection per server.
//
// Everything here lives on the dispatch thread: links, lookups, and the callbacks, which run
// straight from the frame that brought the contents. A slow callback therefore slows reading,
// and the server keeps only the newest unsent contents per subscription, so the client's
// memory never grows with a backlog. Calls from other threads are posted to it.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/dim/connection.h"
#include "platform/dim/dim.h"
#include "platform/dim/dns_link.h"
#include "platform/dim/wire.h"

namespace dim {

class Runtime;

class ClientSide {
 public:
  // Outcome of one command: written to the server's connection, or why not.
  using Done = std::function<void(bool ok, const std::string &error)>;

  explicit ClientSide(Runtime &rt);
  ~ClientSide();

  unsigned subscribe(const char *name, int type, void *address, int size,
                     dic_info_callback callback, long tag, const void *fill, int fill_size);
  void release(unsigned id);
  // Any thread. `done` runs on the dispatch thread, or at once on the calling thread when the
  // command is refused (then returns 0) or written straight away. Without `done`, a command
  // that cannot be sent is reported on stderr. From any thread, a command to a server already
  // in use goes out from that thread when its connection is idle and no earlier command of this
  // process is still on its way to the dispatch thread.
  int command(const char *name, const void *data, int size, Done done);
  // Asks the name server for everything it knows, page by page; blocks up to timeout_ms for
  // each page.
  bool list(std::vector<wire::ServerInfo> &out, std::string &error, int timeout_ms);

  // True inside a callback that is receiving the fill data.
  static bool delivering_fill();
  // What the name server last said about a subscription's service (dim_extra.h).
  int lookup_state(unsigned id);

 private:
  struct Link;
  struct Sub {
    unsigned id = 0;
    std::string name;
    int type = MONITORED;
    void *address = nullptr;
    int size = 0;
    dic_info_callback callback = nullptr;
    long tag = 0;
    wire::Payload fill;
    std::atomic<bool> released{false};
    std::atomic<int> lookup{0};  // a ServiceLookup value; read from any thread
    // Dispatch thread.
    std::shared_ptr<Link> link;
    bool showing_fill = false;
    std::unique_ptr<asio::steady_timer> retry;
  };
  struct PendingCommand {
    std::string name;
    wire::Payload data;
    Done done;               // may be empty
    bool looked_up = false;  // routed by a fresh lookup, not the cache
  };
  struct Link {
    std::string key;
    std::shared_ptr<Connection> conn;
    bool up = false;
    std::map<uint32_t, std::shared_ptr<Sub>> subs;
    std::deque<PendingCommand> commands;  // waiting for the connection
  };
  struct Location {
    std::string host;
    uint32_t port = 0;
    wire::EntryKind kind = wire::EntryKind::kService;
    std::weak_ptr<Link> link;  // the link last used for this name, while it lasts
  };
  using Reply = NameServerLink::Reply;
  // One question put to the name servers in turn (see ask_dns).
  struct Turn {
    std::function<wire::Bytes(uint32_t request)> frame;
    std::function<bool(const wire::Frame &)> good;
    Reply reply;
    std::size_t first = 0;
    std::size_t tried = 0;
    uint64_t generation = 0;
    std::optional<wire::Frame> answer;  // the last answer that was not good
    std::string error;                  // the last failure
  };

  // Dispatch thread.
  void resolve(const std::shared_ptr<Sub> &sub);
  void attach(const std::shared_ptr<Sub> &sub, const std::shared_ptr<Link> &link);
  void no_link(const std::shared_ptr<Sub> &sub);
  void retry_later(const std::shared_ptr<Sub> &sub);
  void forget(unsigned id);
  void route(PendingCommand c);
  void send_on(const std::shared_ptr<Link> &link, PendingCommand c);
  void command_done(PendingCommand &c, bool ok, const std::string &why);
  std::shared_ptr<Link> link_to(const std::string &host, uint32_t port);
  void on_link_frame(const std::shared_ptr<Link> &link, wire::Frame &&f);
  void link_down(const std::shared_ptr<Link> &link, const std::string &why);
  void lookup(const std::string &name,
              std::function<void(std::optional<wire::LookupReplyMsg>, const std::string &)> cb);
  // Asks the name servers one after the other, starting with the one that answered last, and
  // replies with the first answer `good` accepts; else with the last answer, or the last
  // failure when none answered. Never replies before it returns.
  void ask_dns(std::function<wire::Bytes(uint32_t request)> frame,
               std::function<bool(const wire::Frame &)> good, Reply reply);
  void ask_next(const std::shared_ptr<Turn> &turn);
  // Follows DIM_DNS_NODE / DIM_DNS_PORT; empty, or why they cannot be used.
  std::string update_dns_links();
  void deliver(const std::shared_ptr<Sub> &sub, const wire::Payload &data, bool is_fill);

  Runtime &rt_;
  std::atomic<unsigned> next_id_{1};
  std::atomic<std::size_t> unsent_bytes_{0};

  // Commands handed to the dispatch thread and not yet routed there: while any are, other
  // threads must not overtake them by writing directly.
  std::atomic<int> posted_{0};
  // Command name -> the connection it last went out on, for writing from other threads.
  std::mutex direct_mutex_;
  // Looked up by the caller's name as it stands, with no copy made for the lookup.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, std::weak_ptr<Connection>, NameHash, std::equal_to<>> direct_;

  std::mutex subs_mutex_;  // guards `all_` for calls from any thread
  std::map<unsigned, std::shared_ptr<Sub>> all_;

  // Dispatch thread only.
  std::map<unsigned, std::shared_ptr<Sub>> subs_;
  std::map<std::string, std::shared_ptr<Link>> links_;
  std::map<std::string, Location> cache_;
  std::map<std::string, std::deque<PendingCommand>> waiting_;  // commands awaiting a lookup
  std::string dns_setting_;  // the variables the links below were made from
  std::string dns_error_;    // the last unusable setting, reported once
  std::vector<std::unique_ptr<NameServerLink>> dns_links_;
  uint64_t dns_generation_ = 0;  // bumped when the links are made anew
  std::size_t dns_preferred_ = 0;
  uint32_t next_request_ = 1;
};

}  // namespace dim
