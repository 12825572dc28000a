// A station's view of the register servers: boards found through the name server, register
// and I2C access, watched registers and FPGA downloads, all over the messaging library.
// Every call that waits has a time limit and fails with an exception, never with a stale
// value or the fill data of a lost link. Safe to use from several threads at once.
//
// CMake target: station.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "dim/src/zol_load_records.h"

namespace station {

// Every failure of a station call.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The board's server cannot be reached, or the name server does not know it.
class NoLink : public Error {
 public:
  using Error::Error;
};
// The server was reached but did not answer in time.
class Timeout : public Error {
 public:
  using Error::Error;
};
// The server did not answer in time because it is running a download.
class BoardBusy : public Error {
 public:
  using Error::Error;
};

// Which name server this process uses (DIM_DNS_NODE / DIM_DNS_PORT otherwise). One per
// process: it applies to every board, and takes effect on the next connection to a name
// server. A port of 0 keeps DIM_DNS_PORT (default 2505).
void use_name_server(const std::string &node, int port = 0);

// A board server the name server knows. `name` is what Board accepts: "KeshV2_00" for a
// board of the system ZOL, the whole prefix ("/BEX/KeshV2_00") for any other system.
struct BoardEntry {
  std::string name, host;
  int port = 0;
  int pid = 0;
  std::vector<std::string> services;  // full names of its services and commands
};
// The boards the name server knows, sorted by name. Throws NoLink when the name server
// cannot be reached or has not given the whole list within timeout_ms.
std::vector<BoardEntry> list_boards(int timeout_ms = 5000);

// One register request of a transaction: method 1 local bus, 2 I2C byte.
struct Request {
  int method = 1;
  uint32_t addr = 0;
  uint32_t value = 0;
  uint32_t mask = 0xFFFFFFFF;
  bool write = false;
};
// Its answer: the request's method, address and mask with the value read (back).
struct Answer {
  int method;
  uint32_t addr, value, mask;
};
// Most requests one transaction carries (the server's result table).
constexpr int kMaxRequests = 100;

// One delivered value of a watched register; `when` is the time of its arrival here.
struct Sample {
  std::chrono::system_clock::time_point when;
  uint32_t addr, value;
};

// A running watch of registers; destroying it (or stop()) ends it. After stop() returns,
// its callback is not called again, unless stop() runs inside that callback.
class Watch {
 public:
  virtual ~Watch() = default;
  virtual void stop() = 0;
  // Whether the server's deliveries currently arrive.
  virtual bool linked() const = 0;
};

// Outcome of load_fpga. `exit_code` is the player's (0 success); `lines` are the driver's
// and the program's last printed lines when the server reports them.
struct LoadResult {
  int exit_code = -1;
  std::string exit_text;
  std::vector<std::string> lines;
  bool loaded = false;
};

class Board {
 public:
  // `name` as in BoardEntry. Nothing waits here: the first call waits for the connection.
  explicit Board(std::string name, int timeout_ms = 5000);
  ~Board();
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  const std::string &name() const;
  // "/ZOL/KeshV2_00": the prefix of the board's commands and services.
  const std::string &prefix() const;
  int timeout_ms() const;

  // Sends up to kMaxRequests requests as one command and returns their answers in order.
  // Throws NoLink, Timeout, BoardBusy, or Error for more than kMaxRequests requests.
  std::vector<Answer> transact(const std::vector<Request> &requests);
  uint32_t read(uint32_t addr);
  // Writes the bits of `value` under `mask`; returns the register's value read back.
  uint32_t write(uint32_t addr, uint32_t value, uint32_t mask = 0xFFFFFFFF);
  // I2C address word: chip << 8 | offset.
  uint8_t read_i2c(uint32_t addr);
  void write_i2c(uint32_t addr, uint8_t value);

  // Asks the server to publish `addrs` every `interval_s` seconds and calls on_sample for
  // each of them in every publication, on a thread of the messaging library (keep it short;
  // no calls of this Board from it). Subscribes again whenever the server comes back after
  // a restart. The server serves one interval for all its watchers: the latest asked.
  std::unique_ptr<Watch> watch(std::vector<uint32_t> addrs, int interval_s,
                               std::function<void(const Sample &)> on_sample);

  // Runs `action` of the byte-code file at `path` on the board and waits for its end
  // (without a time limit once the server has started it; the time limit applies to
  // reaching the server and to each progress report). `progress` is called with each
  // progress report, on a thread of the messaging library. A server without the report
  // service runs "configure" through its older download command, whose outcome carries no
  // exit code beyond success (0) or failure (1) and no lines.
  LoadResult load_fpga(const std::string &path, const std::string &action = "configure",
                       const std::vector<std::string> &defines = {},
                       std::function<void(const LOADPROGRESS &)> progress = {});

  // The server's latest download progress, if it publishes one.
  bool last_progress(LOADPROGRESS &out) const;

  // What a board keeps between calls; the library's own.
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace station
