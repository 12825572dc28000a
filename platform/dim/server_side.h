// The server half of the library: named commands and services, the listening socket, the
// subscribers, and the server's registration with the name server.
//
// The tables of commands and services are filled from any thread and read on the dispatch
// thread under one small lock. The listening socket, the client connections and the
// subscribers live on the dispatch thread: a command is read, handled and its update written
// by the same thread, with no hand-off in between. Only the registration with the name server
// lives on the network thread, so it is kept up even while a long handler runs.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/dim/acceptor.h"
#include "platform/dim/access_policy.h"
#include "platform/dim/admission.h"
#include "platform/dim/connection.h"
#include "platform/dim/dim.h"
#include "platform/dim/registration.h"
#include "platform/dim/wire.h"

namespace dim {

class Runtime;

class ServerSide final : private RegistrationOwner {
 public:
  explicit ServerSide(Runtime &rt);
  ~ServerSide();

  unsigned add_command(const char *name, const char *format, dis_cmnd_handler handler, long tag);
  int add_service(const char *name, const char *format, void *address, int size,
                  dis_service_routine routine, long tag);
  int update(int service_id);
  int start_serving(const char *server_name);

  void set_exit_on_refusal(bool on) { exit_on_refusal_ = on; }
  uint16_t port() const { return port_.load(); }

 private:
  struct Service {
    std::string name;
    bool words = false;  // format "L"
    void *address = nullptr;
    int size = 0;
    dis_service_routine routine = nullptr;
    long tag = 0;
  };
  struct Command {
    std::string name;
    bool words = false;
    dis_cmnd_handler handler = nullptr;
    long tag = 0;
  };
  // Where a subscription stands in its service's list of subscribers.
  struct Place {
    int service = 0;
    std::size_t index = 0;
  };
  // One accepted client connection.
  struct Peer {
    std::shared_ptr<Connection> conn;
    std::unordered_map<uint32_t, Place> subs;  // by subscription id
    asio::ip::address address;
  };
  // Refusals by the access lists, per peer address: counted, logged once a minute.
  struct Refusals {
    uint64_t count = 0;
    std::chrono::steady_clock::time_point logged{};
  };
  // Outcome of the first registration, awaited by start_serving.
  enum class Outcome { kNone, kRegistered, kRefused, kUnreachable };

  bool name_taken(const std::string &name) const;  // registry lock held
  void announce(wire::Entry e);                    // any thread, after serving started

  bool open_acceptor(std::string &error);  // mutex_ held

  // Dispatch thread.
  void update_here(int service_id);
  // The service's contents as its buffer routine or address gives them: a view of the
  // service's own bytes, valid until this thread runs the next handler, unless they had to be
  // converted.
  std::optional<wire::Payload> contents(int service_id);
  void run_command(const wire::CommandView &cmd, const std::string &peer);
  void admit(Acceptor::Newcomer &&n);
  void on_peer_frame(Connection *c, wire::Frame &&f);
  bool allowed(Connection *c, const Peer &peer, bool command, std::string_view name);
  void subscribe(Connection *c, Peer &peer, uint32_t sub, const std::string &name);
  void remove_subscriber(const Place &place);
  void on_peer_closed(Connection *c);
  void publish(int service_id, wire::Payload &data);

  // Network thread.
  void register_now();
  // Records the outcome start_serving waits for; true when it is still waiting (it then
  // reports the outcome itself). A refusal after that ends the server here.
  bool settle(Outcome o, const std::string &text);
  std::string server_name() const override;
  uint16_t server_port() const override { return port_.load(); }
  std::vector<wire::Entry> entries() const override;  // takes the registry lock
  std::optional<wire::EntryKind> kind_of(const std::string &name) const override;
  bool was_registered() const override { return was_registered_; }
  bool newcomer() const override;
  bool ended() const override { return refused_; }
  void registered(Registration &r) override;
  bool unreachable(Registration &r, const std::string &why) override;
  void refused(Registration &r, const std::string &why) override;

  Runtime &rt_;

  mutable std::mutex mutex_;       // guards the tables below and the outcome
  std::vector<Service> services_;  // id = index + 1
  std::vector<Command> commands_;  // id = index + 1
  // Every name of this process, services and commands alike -> (kind, id).
  std::map<std::string, std::pair<wire::EntryKind, int>, std::less<>> names_;
  std::string server_name_;
  bool serving_ = false;
  std::condition_variable settled_cv_;
  Outcome outcome_ = Outcome::kNone;
  std::string outcome_text_;
  bool exit_on_refusal_ = true;

  std::atomic<uint16_t> port_{0};

  // Dispatch thread only (the acceptor is created under mutex_ before serving starts).
  std::unique_ptr<Acceptor> acceptor_;
  std::unordered_map<Connection *, Peer> peers_;
  // Per service; a subscription's index is kept in its Peer, so one leaves in constant time.
  std::unordered_map<int, std::vector<std::pair<Connection *, uint32_t>>> subscribers_;
  Admission admission_;
  std::shared_ptr<SharedBudget> frame_budget_;
  std::shared_ptr<SharedBudget> answer_budget_;
  AccessPolicy policy_;
  std::unordered_map<std::string, Refusals> refusals_;

  // Network thread only: one registration per name server.
  std::vector<std::unique_ptr<Registration>> registrations_;
  // Registered with some name server at least once: after a name-server restart it reclaims
  // its name, and a refusal then never ends it (it has been serving).
  bool was_registered_ = false;
  bool refused_ = false;                             // a newcomer whose name is taken
  std::chrono::steady_clock::time_point started_{};  // when serving started
};

}  // namespace dim
