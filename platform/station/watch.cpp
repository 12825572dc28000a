// Watched registers: the server publishes its whole table of watched registers (every
// station's) on each timer run; a watch picks its own addresses out of it. A server that
// restarted has an empty table, so whenever a publication lacks one of the addresses the
// watch asks for them again.
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "dim/src/zol_records.h"
#include "platform/station/board_state.h"

namespace station {

namespace {

class RegisterWatch : public Watch {
 public:
  RegisterWatch(const std::string &prefix, std::vector<uint32_t> addrs, int interval_s,
                std::function<void(const Sample &)> on_sample, int timeout_ms);
  ~RegisterWatch() override { stop(); }
  void stop() override;
  bool linked() const override { return core_->linked.load(); }

 private:
  struct Core {
    std::string command;
    std::vector<CNTREQ> requests;
    std::vector<uint32_t> addrs;
    std::chrono::seconds ask_pause{1};
    std::function<void(const Sample &)> on_sample;

    std::atomic<bool> linked{false};
    std::mutex m;  // current, last_ask
    bool current = false;
    Clock::time_point last_ask{};

    // Held while on_sample runs, so stop() from another thread waits for it to end.
    std::mutex call_mutex;
    std::atomic<bool> stopped{false};
    std::atomic<std::thread::id> caller{};

    void ask(int timeout_ms) {
      std::string why;
      dim::send_command(command, requests.data(),
                        static_cast<int>(requests.size() * sizeof(CNTREQ)), timeout_ms, why);
    }
    void deliver(const uint8_t *data, int size, bool fill);
  };

  std::shared_ptr<Core> core_;
  std::unique_ptr<Subscription> sub_;
};

void RegisterWatch::Core::deliver(const uint8_t *data, int size, bool fill) {
  if (fill) {
    linked = false;
    std::lock_guard lock(m);
    current = false;
    return;
  }
  linked = true;
  std::map<uint32_t, uint32_t> table;
  for (int i = 0; i + static_cast<int>(sizeof(SUBSCRIPTION)) <= size;
       i += static_cast<int>(sizeof(SUBSCRIPTION))) {
    SUBSCRIPTION s;
    std::memcpy(&s, data + i, sizeof s);
    table[s.addr] = s.val;
  }
  bool news = false;
  {
    std::lock_guard lock(m);
    bool missing = false;
    for (uint32_t a : addrs) missing = missing || table.count(a) == 0;
    const auto now = Clock::now();
    if (missing && now - last_ask >= ask_pause) {
      last_ask = now;
      ask(0);  // inside a delivery the command is only queued
    }
    // The contents found at a (re)connection were published before this watch saw them.
    news = current;
    current = true;
  }
  if (!news || stopped) return;
  const auto when = std::chrono::system_clock::now();
  std::lock_guard call(call_mutex);
  if (stopped) return;
  caller = std::this_thread::get_id();
  for (uint32_t a : addrs) {
    auto it = table.find(a);
    if (it != table.end() && !stopped) on_sample(Sample{when, a, it->second});
  }
  caller = std::thread::id{};
}

RegisterWatch::RegisterWatch(const std::string &prefix, std::vector<uint32_t> addrs, int interval_s,
                             std::function<void(const Sample &)> on_sample, int timeout_ms)
    : core_(std::make_shared<Core>()) {
  core_->command = prefix + "/CMD/SubscribeRegisters";
  for (uint32_t a : addrs) core_->requests.push_back(CNTREQ{a, interval_s});
  core_->addrs = std::move(addrs);
  core_->ask_pause = std::chrono::seconds(interval_s > 1 ? interval_s : 1);
  core_->on_sample = std::move(on_sample);
  std::weak_ptr<Core> weak = core_;
  sub_ = std::make_unique<Subscription>(prefix + "/SVC/UpdateSubscribedRegisters",
                                        [weak](const uint8_t *d, int n, bool fill) {
                                          if (auto c = weak.lock()) c->deliver(d, n, fill);
                                        });
  {
    std::lock_guard lock(core_->m);
    core_->last_ask = Clock::now();
  }
  // A server not reachable yet is asked again from its first publication.
  core_->ask(timeout_ms);
}

void RegisterWatch::stop() {
  if (core_->caller.load() == std::this_thread::get_id()) {
    core_->stopped = true;
  } else {
    std::lock_guard call(core_->call_mutex);
    core_->stopped = true;
  }
  sub_.reset();
}

}  // namespace

std::unique_ptr<Watch> Board::watch(std::vector<uint32_t> addrs, int interval_s,
                                    std::function<void(const Sample &)> on_sample) {
  if (addrs.empty()) throw Error("a watch needs at least one address");
  if (addrs.size() > static_cast<size_t>(MAX_COUNTERS))
    throw Error("a watch takes at most " + std::to_string(MAX_COUNTERS) + " addresses");
  if (interval_s < 1) throw Error("the interval of a watch is at least 1 second");
  if (!on_sample) throw Error("a watch needs a function for its samples");
  return std::make_unique<RegisterWatch>(state_->prefix, std::move(addrs), interval_s,
                                         std::move(on_sample), state_->timeout_ms);
}

}  // namespace station
