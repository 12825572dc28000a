// Who gets one of a listener's connections: a limit for all peers together and one per peer
// address, so one host cannot take every slot. A connection counts as silent until its first
// complete frame. When a newcomer finds its limit reached, the oldest silent connection (of
// its address, or of all) makes room: real clients speak at once, so what stays silent is a
// leftover or an attack, and a lab station can always get in past any number of them. Only
// when every connection in the way has spoken is the newcomer refused.
//
// Used on the one thread that accepts and runs the connections.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>

namespace dim {

class Connection;

class Admission {
 public:
  struct Limits {
    std::size_t total = 0;
    std::size_t per_address = 0;
  };
  explicit Admission(Limits limits) : limits_(limits) {}

  // The address a limit applies to: IPv4 addresses one by one, IPv6 by /64 network (one
  // host usually holds a whole /64).
  static std::string key_of(const asio::ip::address &peer);

  // Whether a newcomer from `key` fits now.
  bool fits(const std::string &key) const;
  // The silent connection to end to make room for a newcomer from `key`, or null when every
  // connection in the way has spoken. Whether one has spoken is asked of the connection.
  Connection *victim(const std::string &key);
  // Closes silent connections until a newcomer from `key` fits, each with a line (prefixed by
  // `program`) naming it and `label`; false, after a line saying so, when it cannot be made
  // to fit.
  bool make_room(const std::string &key, const std::string &label, const char *program);

  void add(Connection *c, const std::string &key);  // counts as silent
  void remove(Connection *c);
  std::size_t size() const { return entries_.size(); }

 private:
  using Order = std::list<Connection *>;
  struct PerAddress {
    std::size_t count = 0;
    Order silent;  // oldest first
  };
  struct Entry {
    std::string key;
    bool silent = true;
    Order::iterator in_all;
    Order::iterator in_address;
  };

  Limits limits_;
  // Drops from the front of `order` the connections that have spoken since.
  void forget_heard(Order &order);

  Order silent_;  // oldest first, every address
  std::unordered_map<std::string, PerAddress> addresses_;
  std::unordered_map<Connection *, Entry> entries_;
};

// How long a new connection may stay without sending a complete frame before it is closed.
// Clients send their first frame right after connecting; ten seconds covers a slow network
// and a busy peer, and bounds how long a leftover or hostile connection holds a slot.
// DIM_HANDSHAKE_TIMEOUT_MS changes it (tests use a short one).
std::chrono::milliseconds handshake_timeout();

// Raises this process's descriptor limit towards `wanted` (as far as the hard limit allows), so
// the connection limits, not a low default descriptor limit, decide who is served.
void allow_descriptors(std::size_t wanted);

}  // namespace dim
