// A server's registration with one name server, kept up on its own: connect, register, and
// after any loss (the name server down, restarted, silent) try again, without touching the
// registrations with the other name servers. Network thread only.
//
// What concerns the whole server (whether it has been registered anywhere, a refusal that ends
// it, the outcome start_serving waits for) is its owner's, reached through RegistrationOwner.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dim/connection.h"
#include "platform/dim/dns_connect.h"
#include "platform/dim/name_server_list.h"
#include "platform/dim/wire.h"

namespace dim {

class Registration;

class RegistrationOwner {
 public:
  virtual std::string server_name() const = 0;
  virtual uint16_t server_port() const = 0;
  virtual std::vector<wire::Entry> entries() const = 0;
  // The kind of one of the server's names, while it has it.
  virtual std::optional<wire::EntryKind> kind_of(const std::string &name) const = 0;
  // Registered with some name server before: it comes back as a returning server.
  virtual bool was_registered() const = 0;
  // Still new: a refusal of its name by a name server that never had it means a second copy
  // of it was started, and ends it.
  virtual bool newcomer() const = 0;
  // A refusal has ended the server: no registration tries again.
  virtual bool ended() const = 0;
  virtual void registered(Registration &r) = 0;
  // True when the owner reports this loss itself (start_serving is still waiting).
  virtual bool unreachable(Registration &r, const std::string &why) = 0;
  // A newcomer's name is taken: as if a second copy of a server had been started.
  virtual void refused(Registration &r, const std::string &why) = 0;

 protected:
  ~RegistrationOwner() = default;
};

class Registration {
 public:
  // With `several` name servers, its messages say which one they are about.
  Registration(asio::io_context &net, RegistrationOwner &owner, NameServerAddress where,
               bool several);
  Registration(const Registration &) = delete;
  Registration &operator=(const Registration &) = delete;

  const NameServerAddress &where() const { return where_; }
  bool is_registered() const { return registered_; }
  bool failed_once() const { return failed_once_; }

  void start();                         // registers, unless under way or done
  void stop();                          // gives the link up for good
  void announce(const wire::Entry &e);  // a name added after serving started

 private:
  void on_frame(wire::Frame &&f);
  void lost(const std::string &why);
  void abandon();
  void retry(std::chrono::milliseconds after);
  void on_refused(const std::string &why);
  void on_entry_refused(const wire::EntryRefusedMsg &r);
  void retry_refused_entries();

  asio::io_context &net_;
  RegistrationOwner &owner_;
  NameServerAddress where_;
  std::string which_;  // "the name server", or "the name server host:port" among several
  NameServerConnector connector_;
  std::shared_ptr<Connection> link_;
  asio::steady_timer answer_timer_;
  asio::steady_timer retry_timer_;
  bool registered_ = false;
  bool registering_ = false;
  bool stopped_ = false;
  bool failed_once_ = false;
  bool accepted_once_ = false;  // this name server has had the server's name
  bool reported_lost_ = false;
  bool reported_refusal_ = false;
  // Names the name server refused (taken by another server, for now); offered again every
  // retry interval until they are accepted.
  std::set<std::string> refused_names_;
  asio::steady_timer entry_retry_timer_;
  bool entry_retry_armed_ = false;
};

}  // namespace dim
