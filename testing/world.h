// The surroundings of an end-to-end test: its own simulated board (a unique LB_SIM name,
// reset at start and removed at the end) and its own name server on a port chosen by the
// system. Programs started through it get the environment that points at both.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "testing/process.h"

namespace zoltest {

class World {
 public:
  // `tag` makes the board name unique among tests running side by side. The name server
  // gets `dns_options`; by default no grace period, so servers need not wait for returning
  // ones at the start of every test.
  explicit World(const std::string &tag, std::vector<std::string> dns_options = {"--grace", "0"});
  ~World();

  const std::string &board() const { return board_; }
  int dns_port() const { return dns_port_; }
  // LB_SIM, DIM_DNS_NODE and DIM_DNS_PORT for the programs of this test.
  Env env() const;

  // boardsim with this test's board; fails the test when it does not succeed.
  std::string boardsim(const std::vector<std::string> &args);
  uint32_t peek(uint32_t addr);
  void poke(uint32_t addr, uint32_t value);
  // The bus trace lines recorded since the last clear.
  std::vector<std::string> trace();

  void stop_dns();
  // Ends the name server at once (SIGKILL), as a crash would.
  void kill_dns();
  // A new name server on the same port; with no options it keeps returning servers' names
  // for the default grace period, as a restarted one does.
  void start_dns(std::vector<std::string> options = {});

  // Starts a program of <build>/bin with this test's environment.
  std::unique_ptr<Process> start(const std::string &program, std::vector<std::string> args = {});
  RunResult run_program(const std::string &program, std::vector<std::string> args = {},
                        std::chrono::milliseconds timeout = 20s);

 private:
  void launch_dns(int port, const std::vector<std::string> &options);

  std::string board_;
  int dns_port_ = 0;
  std::unique_ptr<Process> dns_;
};

// A ZOL_server or echo_server that has finished its start-up and registered its name.
std::unique_ptr<Process> start_server(World &world, const std::string &program,
                                      std::vector<std::string> args = {});

// Scripted station (zol_station): subscriptions and commands, deliveries as parsed records.
class Station {
 public:
  explicit Station(World &world);

  void subscribe(const std::string &service);
  void command(const std::string &name, const std::vector<uint32_t> &words);
  void command_bytes(const std::string &name, size_t bytes, const std::vector<uint32_t> &words);

  struct Update {
    int size = 0;
    std::vector<uint32_t> words;
  };
  // Deliveries of a service so far, in order of arrival.
  std::vector<Update> updates(const std::string &service) const;
  // Waits until at least `count` deliveries of the service have arrived; false at timeout.
  bool wait_updates(const std::string &service, size_t count,
                    std::chrono::milliseconds timeout = 10s);
  int nolinks(const std::string &service) const;
  bool wait_nolink(const std::string &service, std::chrono::milliseconds timeout = 10s);

  Process &process() { return *process_; }

 private:
  std::unique_ptr<Process> process_;
};

// Board names used by the tests; the simulated board's default identity answers as the
// echo server does.
inline const std::string kEchoBoard = "/ZOL/KeshV2_00";

}  // namespace zoltest
