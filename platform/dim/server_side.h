// The server half of the library: named commands and services, the listening socket, the
// subscribers, and the server's registration with the name server.
//
// The tables of commands and services are filled from any thread and read on the dispatch
// thread under one small lock. Sockets and subscribers live on the network thread.
#pragma once

#include <asio.hpp>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dim/connection.h"
#include "platform/dim/dim.h"
#include "platform/dim/wire.h"

namespace dim {

class Runtime;

class ServerSide {
 public:
  explicit ServerSide(Runtime &rt);
  ~ServerSide();

  unsigned add_command(const char *name, const char *format, dis_cmnd_handler handler, long tag);
  int add_service(const char *name, const char *format, void *address, int size,
                  dis_service_routine routine, long tag);
  int update(int service_id);
  int start_serving(const char *server_name);

  void set_exit_on_refusal(bool on) { exit_on_refusal_ = on; }
  uint16_t port() const { return port_; }

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
  // One accepted client connection.
  struct Peer {
    std::shared_ptr<Connection> conn;
    std::unordered_map<uint32_t, int> subs;  // subscription id -> service id (0: pending)
    std::shared_ptr<std::atomic<int>> busy;  // commands handed to the dispatch thread
  };
  // Outcome of the first registration, awaited by start_serving.
  enum class Outcome { kNone, kRegistered, kRefused, kUnreachable };

  bool name_taken(const std::string &name) const;  // registry lock held
  std::vector<wire::Entry> entries() const;        // takes the registry lock
  void announce(wire::Entry e);                    // any thread, after serving started

  // Dispatch thread.
  void update_here(int service_id);
  std::optional<wire::Payload> contents(int service_id);
  void run_command(const wire::Frame &frame, const wire::CommandView &cmd, const std::string &peer);

  // Network thread.
  bool open_acceptor(std::string &error);
  void accept_next();
  void on_peer_frame(Connection *c, wire::Frame &&f);
  void on_peer_closed(Connection *c);
  void publish(int service_id, const wire::Payload &data);
  void register_now();
  void on_registry_frame(wire::Frame &&f);
  void registry_lost(const std::string &why);
  void retry_registration();
  void settle(Outcome o, const std::string &text);

  Runtime &rt_;

  mutable std::mutex mutex_;  // guards the tables below and the outcome
  std::vector<Service> services_;          // id = index + 1
  std::vector<Command> commands_;          // id = index + 1
  // Every name of this process, services and commands alike -> (kind, id).
  std::map<std::string, std::pair<wire::EntryKind, int>> names_;
  std::string server_name_;
  bool serving_ = false;
  std::condition_variable settled_cv_;
  Outcome outcome_ = Outcome::kNone;
  std::string outcome_text_;
  bool exit_on_refusal_ = true;

  // Network thread only.
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  uint16_t port_ = 0;
  std::unordered_map<Connection *, Peer> peers_;
  std::unordered_map<int, std::vector<std::pair<Connection *, uint32_t>>> subscribers_;
  asio::ip::tcp::resolver resolver_;
  std::shared_ptr<Connection> registry_;
  bool registered_ = false;
  bool registering_ = false;
  bool reported_lost_ = false;
  bool refused_ = false;
  asio::steady_timer retry_timer_;
};

}  // namespace dim
