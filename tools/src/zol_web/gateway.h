// The gateway's state between the boards and the pages: the boards the name server knows,
// one station connection per board, the watched registers with their history (one watch per
// board however many pages look at it), and the FPGA loads started from the pages. Safe to
// call from the HTTP server's threads at once; failures are HttpError.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/station/board.h"
#include "tools/src/zol_web/event_hub.h"
#include "tools/src/zol_web/history.h"

namespace zolweb {

struct GatewayLimits {
  size_t history_points = 100000;    // per register
  int64_t history_ms = 3600 * 1000;  // per register
  size_t max_watched = 100;          // per board: the server's own table holds 100
  bool read_only = false;
  int board_timeout_ms = 5000;
  int list_interval_ms = 2000;  // how often the board list is asked for
};

enum class Method { kLocalBus = 1, kI2c = 2 };

class Gateway {
 public:
  Gateway(GatewayLimits limits, EventHub &hub);
  ~Gateway();
  Gateway(const Gateway &) = delete;
  Gateway &operator=(const Gateway &) = delete;

  const GatewayLimits &limits() const { return limits_; }

  // The boards of the last listing, with whether each server accepts connections.
  nlohmann::json boards();
  nlohmann::json board(const std::string &name);

  nlohmann::json read(const std::string &name, Method method, const std::vector<uint32_t> &addrs);
  nlohmann::json write(const std::string &name, Method method, uint32_t addr, uint32_t value,
                       uint32_t mask);

  nlohmann::json watch(const std::string &name, uint32_t addr, int interval_s, bool on);
  nlohmann::json watched(const std::string &name);
  // Samples newer than since_ms of one register, or of every watched one when addr is absent.
  nlohmann::json history(const std::string &name, const uint32_t *addr, int64_t since_ms);
  // "time_ms,time,addr,value" lines of every sample kept for the board.
  std::string history_csv(const std::string &name);

  // Refuses a file the player's queries reject, or an action it lacks, before anything is
  // sent; otherwise starts the load and returns at once. Progress and the outcome come as
  // "load" events and from load_status.
  nlohmann::json start_load(const std::string &name, std::vector<uint8_t> image,
                            const std::string &file_name, const std::string &action);
  nlohmann::json load_status(const std::string &name);

  // The Prometheus text of the watched registers' last values and the boards' load states.
  std::string metrics();

  // Ends the board listing and every watch; waits for loads under way to end.
  void stop();

 private:
  struct Watched {
    int interval_s = 1;
    History history;
  };
  struct LoadState {
    std::string state = "idle";  // idle, checking, running, loaded, failed
    std::string file, action, error;
    nlohmann::json file_report, progress, result;
    int64_t started_ms = 0, ended_ms = 0;
    // Rises with every change the gateway publishes, so a page that hears of one load state
    // both from its request's answer and from the event stream keeps the newer.
    uint64_t revision = 0;
  };
  struct BoardState {
    std::shared_ptr<station::Board> board;
    std::map<uint32_t, Watched> watched;
    int interval_s = 1;  // the latest asked: the server paces all of a board's registers by it
    std::unique_ptr<station::Watch> watch;
    LoadState load;
    std::thread loader;
    bool loading = false;
  };
  struct Pending {
    std::string board;
    uint32_t addr;
    Sample sample;
  };

  BoardState &state_of(const std::string &name);  // mutex_ held
  std::shared_ptr<station::Board> board_of(const std::string &name);
  void rewatch(const std::string &name);
  void on_sample(const std::string &name, const station::Sample &sample);
  void publish_load(const std::string &name, LoadState &load);  // mutex_ held
  void run_load(std::string name, std::vector<uint8_t> image, std::string action);
  nlohmann::json load_json(const LoadState &load) const;
  void list_loop();
  void flush_loop();
  bool known_board(const std::string &name);

  const GatewayLimits limits_;
  EventHub &hub_;

  std::mutex rewatch_mutex_;
  std::mutex mutex_;
  std::map<std::string, BoardState> boards_;
  nlohmann::json listing_ = nlohmann::json::array();
  std::string listing_error_;
  std::set<std::string> listed_;
  bool listed_once_ = false;
  uint64_t load_revisions_ = 0;

  // Samples on their way to the pages: gathered for a moment so that one publication of a
  // board goes out as one event.
  std::mutex pending_mutex_;
  std::condition_variable pending_cv_;
  std::vector<Pending> pending_;

  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
  std::atomic<bool> stopping_{false};
  std::thread lister_;
  std::thread flusher_;
};

int64_t now_ms();
std::string hex32(uint32_t value);

}  // namespace zolweb
