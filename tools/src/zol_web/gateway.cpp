#include "tools/src/zol_web/gateway.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/src/zol_web/board_identity.h"
#include "tools/src/zol_web/fpga_file.h"
#include "tools/src/zol_web/http_error.h"

namespace zolweb {

using nlohmann::json;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

namespace {

// How long samples of one publication are gathered before they go out as one event.
constexpr auto kGather = std::chrono::milliseconds(2);
constexpr int kConnectTimeoutMs = 300;

// Whether the server's port accepts a connection: says the process answers without touching
// the board.
bool answers(const std::string &host, int port) {
  if (port <= 0) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo *a = found; a && !ok; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      ok = true;
    } else if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int err = 0;
      socklen_t len = sizeof err;
      ok = poll(&p, 1, kConnectTimeoutMs) == 1 &&
           getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return ok;
}

json progress_json(const LOADPROGRESS &p) {
  return {{"state", load_state_name(p.state)},
          {"download", p.download},
          {"action", std::string(p.action, strnlen(p.action, sizeof p.action))},
          {"file_size", p.file_size},
          {"file_crc", p.file_crc},
          {"bits_shifted", p.bits_shifted},
          {"bits_total", p.bits_total},
          {"elapsed_ms", p.elapsed_ms}};
}

// The uploaded file as the station library wants it: a file, removed when this goes.
class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t> &bytes) {
    const char *dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/zol_web_XXXXXX";
    const int fd = mkstemp(path_.data());
    if (fd < 0) throw HttpError(500, std::string("cannot keep the upload: ") + strerror(errno));
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) {
        close(fd);
        unlink(path_.c_str());
        throw HttpError(500, "cannot keep the upload");
      }
      done += static_cast<size_t>(n);
    }
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Station failures as the page sees them.
template <typename F>
auto station_call(F &&f) -> decltype(f()) {
  try {
    return f();
  } catch (const station::BoardBusy &e) {
    throw HttpError(409, std::string("board busy: ") + e.what());
  } catch (const station::Timeout &e) {
    throw HttpError(504, std::string("no answer: ") + e.what());
  } catch (const station::NoLink &e) {
    throw HttpError(502, std::string("no link: ") + e.what());
  } catch (const station::Error &e) {
    throw HttpError(502, e.what());
  }
}

}  // namespace

Gateway::Gateway(GatewayLimits limits, EventHub &hub) : limits_(limits), hub_(hub) {
  lister_ = std::thread([this] { list_loop(); });
  flusher_ = std::thread([this] { flush_loop(); });
}

Gateway::~Gateway() { stop(); }

void Gateway::stop() {
  {
    std::lock_guard lock(stop_mutex_);
    if (stopping_ && !lister_.joinable()) return;
    stopping_ = true;
  }
  stop_cv_.notify_all();
  {
    std::lock_guard lock(pending_mutex_);
    pending_cv_.notify_all();
  }
  if (lister_.joinable()) lister_.join();
  if (flusher_.joinable()) flusher_.join();
  std::vector<std::unique_ptr<station::Watch>> watches;
  std::vector<std::thread> loaders;
  {
    std::lock_guard lock(mutex_);
    for (auto &[name, state] : boards_) {
      if (state.watch) watches.push_back(std::move(state.watch));
      if (state.loader.joinable()) loaders.push_back(std::move(state.loader));
    }
  }
  for (auto &w : watches) w->stop();
  for (auto &t : loaders) t.join();
}

void Gateway::list_loop() {
  std::unique_lock stop_lock(stop_mutex_);
  while (!stopping_) {
    stop_lock.unlock();
    json listing = json::array();
    std::set<std::string> names;
    std::string error;
    try {
      for (const station::BoardEntry &e : station::list_boards(limits_.board_timeout_ms)) {
        const BoardIdentity id = identity_of(e.name);
        listing.push_back({{"name", e.name},
                           {"prefix", id.prefix},
                           {"host", e.host},
                           {"port", e.port},
                           {"pid", e.pid},
                           {"services", e.services},
                           {"answers", answers(e.host, e.port)}});
        names.insert(e.name);
        names.insert(id.prefix);
      }
    } catch (const station::Error &e) {
      error = e.what();
    }
    {
      std::lock_guard lock(mutex_);
      if (error.empty()) {
        listing_ = std::move(listing);
        listed_ = std::move(names);
      }
      listing_error_ = error;
      listed_once_ = true;
    }
    stop_lock.lock();
    stop_cv_.wait_for(stop_lock, std::chrono::milliseconds(limits_.list_interval_ms),
                      [&] { return stopping_.load(); });
  }
}

json Gateway::boards() {
  std::lock_guard lock(mutex_);
  return {{"boards", listing_},
          {"error", listing_error_},
          {"listed", listed_once_},
          {"read_only", limits_.read_only}};
}

bool Gateway::known_board(const std::string &name) {
  std::lock_guard lock(mutex_);
  return listed_.count(name) > 0 || boards_.count(identity_of(name).prefix) > 0;
}

Gateway::BoardState &Gateway::state_of(const std::string &name) {
  const std::string prefix = identity_of(name).prefix;
  auto found = boards_.find(prefix);
  if (found != boards_.end()) return found->second;
  if (!listed_.count(name) && !listed_.count(prefix)) throw HttpError(404, "unknown board " + name);
  BoardState &state = boards_[prefix];
  state.board = std::make_shared<station::Board>(prefix, limits_.board_timeout_ms);
  return state;
}

std::shared_ptr<station::Board> Gateway::board_of(const std::string &name) {
  std::lock_guard lock(mutex_);
  return state_of(name).board;
}

json Gateway::board(const std::string &name) {
  std::lock_guard lock(mutex_);
  const std::string prefix = identity_of(name).prefix;
  json entry;
  for (const json &b : listing_)
    if (b["prefix"] == prefix) entry = b;
  if (entry.is_null() && !boards_.count(prefix)) throw HttpError(404, "unknown board " + name);
  return {{"identity", to_json(identity_of(name))},
          {"listing", entry},
          {"read_only", limits_.read_only},
          {"history_points", limits_.history_points},
          {"history_seconds", limits_.history_ms / 1000}};
}

json Gateway::read(const std::string &name, Method method, const std::vector<uint32_t> &addrs) {
  if (addrs.empty() || addrs.size() > static_cast<size_t>(station::kMaxRequests))
    throw HttpError(
        400, "between 1 and " + std::to_string(station::kMaxRequests) + " addresses per read");
  std::vector<station::Request> requests;
  for (uint32_t a : addrs) requests.push_back({static_cast<int>(method), a, 0, 0xFFFFFFFF, false});
  auto board = board_of(name);
  const auto answers = station_call([&] { return board->transact(requests); });
  json values = json::array();
  for (const station::Answer &a : answers)
    values.push_back({{"addr", a.addr}, {"value", a.value}, {"method", a.method}});
  return {{"values", values}, {"time_ms", now_ms()}};
}

json Gateway::write(const std::string &name, Method method, uint32_t addr, uint32_t value,
                    uint32_t mask) {
  if (limits_.read_only) throw HttpError(403, "the gateway is read-only");
  if (method == Method::kI2c && value > 0xFF) throw HttpError(400, "an I2C value is one byte");
  auto board = board_of(name);
  const station::Request request{static_cast<int>(method), addr, value, mask, true};
  const auto answers = station_call([&] { return board->transact({request}); });
  if (answers.empty()) throw HttpError(502, "the server sent no answer");
  return {{"addr", answers[0].addr},
          {"value", answers[0].value},
          {"mask", answers[0].mask},
          {"time_ms", now_ms()}};
}

json Gateway::watch(const std::string &name, uint32_t addr, int interval_s, bool on) {
  if (interval_s < 1 || interval_s > 3600) throw HttpError(400, "interval between 1 and 3600 s");
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    BoardState &state = state_of(name);
    if (on) {
      if (!state.watched.count(addr) && state.watched.size() >= limits_.max_watched)
        throw HttpError(
            409, "at most " + std::to_string(limits_.max_watched) + " watched registers per board");
      auto [it, added] = state.watched.try_emplace(
          addr, Watched{interval_s, History(limits_.history_points, limits_.history_ms)});
      changed = added || it->second.interval_s != interval_s;
      it->second.interval_s = interval_s;
      if (changed) state.interval_s = interval_s;
    } else {
      changed = state.watched.erase(addr) > 0;
    }
  }
  if (!changed) return watched(name);
  rewatch(name);
  const json list = watched(name);
  hub_.publish(identity_of(name).prefix, sse_record("watched", list.dump()));
  return list;
}

void Gateway::rewatch(const std::string &name) {
  // One rebuild at a time, and never under mutex_: starting and stopping a watch waits for
  // the messaging library, whose threads deliver samples.
  std::lock_guard rewatch_lock(rewatch_mutex_);
  std::vector<uint32_t> addrs;
  std::shared_ptr<station::Board> board;
  int interval = 1;
  std::unique_ptr<station::Watch> old;
  {
    std::lock_guard lock(mutex_);
    BoardState &state = state_of(name);
    for (const auto &[addr, w] : state.watched) addrs.push_back(addr);
    board = state.board;
    interval = state.interval_s;
    old = std::move(state.watch);
  }
  if (old) old->stop();
  if (addrs.empty()) return;
  const std::string prefix = identity_of(name).prefix;
  auto fresh = station_call([&] {
    return board->watch(addrs, interval,
                        [this, prefix](const station::Sample &s) { on_sample(prefix, s); });
  });
  std::lock_guard lock(mutex_);
  state_of(name).watch = std::move(fresh);
}

void Gateway::on_sample(const std::string &name, const station::Sample &sample) {
  const int64_t t =
      std::chrono::duration_cast<std::chrono::milliseconds>(sample.when.time_since_epoch()).count();
  {
    std::lock_guard lock(pending_mutex_);
    pending_.push_back({name, sample.addr, Sample{t, sample.value}});
  }
  pending_cv_.notify_one();
}

void Gateway::flush_loop() {
  std::unique_lock lock(pending_mutex_);
  for (;;) {
    pending_cv_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
    if (stopping_) return;
    lock.unlock();
    std::this_thread::sleep_for(kGather);
    lock.lock();
    std::vector<Pending> batch;
    batch.swap(pending_);
    lock.unlock();

    std::map<std::string, json> events;
    {
      std::lock_guard state_lock(mutex_);
      for (const Pending &p : batch) {
        auto b = boards_.find(p.board);
        if (b == boards_.end()) continue;
        auto w = b->second.watched.find(p.addr);
        if (w == b->second.watched.end()) continue;
        w->second.history.add(p.sample);
        json &list = events[p.board];
        list.push_back({p.addr, p.sample.time_ms, p.sample.value});
      }
    }
    for (const auto &[board, list] : events)
      hub_.publish(board, sse_record("samples", list.dump()));
    lock.lock();
  }
}

json Gateway::watched(const std::string &name) {
  std::lock_guard lock(mutex_);
  BoardState &state = state_of(name);
  json list = json::array();
  for (auto &[addr, w] : state.watched) {
    json item = {{"addr", addr}, {"interval", w.interval_s}, {"points", w.history.size()}};
    if (const Sample *last = w.history.last()) {
      item["value"] = last->value;
      item["time_ms"] = last->time_ms;
    }
    list.push_back(item);
  }
  return {{"board", state.board->prefix()},
          {"interval", state.interval_s},
          {"linked", state.watch && state.watch->linked()},
          {"registers", list}};
}

json Gateway::history(const std::string &name, const uint32_t *addr, int64_t since_ms) {
  std::lock_guard lock(mutex_);
  BoardState &state = state_of(name);
  const int64_t now = now_ms();
  json series = json::object();
  for (auto &[a, w] : state.watched) {
    if (addr && a != *addr) continue;
    json points = json::array();
    for (const Sample &s : w.history.since(since_ms, now)) points.push_back({s.time_ms, s.value});
    series[hex32(a)] = {{"addr", a}, {"points", points}};
  }
  if (addr && series.empty()) throw HttpError(404, hex32(*addr) + " is not watched");
  return {{"board", state.board->prefix()}, {"now_ms", now}, {"series", series}};
}

std::string Gateway::history_csv(const std::string &name) {
  std::lock_guard lock(mutex_);
  BoardState &state = state_of(name);
  std::string out = "time_ms,time,addr,value\n";
  const int64_t now = now_ms();
  char line[96];
  for (auto &[a, w] : state.watched) {
    for (const Sample &s : w.history.since(0, now)) {
      const time_t secs = static_cast<time_t>(s.time_ms / 1000);
      tm utc{};
      gmtime_r(&secs, &utc);
      char when[32];
      std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &utc);
      std::snprintf(line, sizeof line, "%lld,%s.%03dZ,0x%X,%u\n", static_cast<long long>(s.time_ms),
                    when, static_cast<int>(s.time_ms % 1000), a, s.value);
      out += line;
    }
  }
  return out;
}

json Gateway::load_json(const LoadState &load) const {
  return {{"state", load.state},
          {"file", load.file},
          {"action", load.action},
          {"error", load.error},
          {"file_report", load.file_report},
          {"progress", load.progress},
          {"result", load.result},
          {"started_ms", load.started_ms},
          {"ended_ms", load.ended_ms},
          {"revision", load.revision}};
}

void Gateway::publish_load(const std::string &name, LoadState &load) {
  load.revision = ++load_revisions_;
  hub_.publish(identity_of(name).prefix, sse_record("load", load_json(load).dump()));
}

json Gateway::start_load(const std::string &name, std::vector<uint8_t> image,
                         const std::string &file_name, const std::string &action) {
  if (limits_.read_only) throw HttpError(403, "the gateway is read-only");
  const FileReport report = inspect_file(image);
  const std::string refusal = action_refusal(report, action);
  std::lock_guard lock(mutex_);
  BoardState &state = state_of(name);
  if (state.loading) throw HttpError(409, "a load is already running on this board");
  LoadState &load = state.load;
  load = LoadState{};
  load.file = file_name;
  load.action = action;
  load.file_report = to_json(report);
  load.started_ms = now_ms();
  if (!refusal.empty()) {
    load.state = "refused";
    load.error = refusal;
    load.ended_ms = load.started_ms;
    publish_load(name, load);
    return load_json(load);
  }
  load.state = "running";
  state.loading = true;
  if (state.loader.joinable()) state.loader.join();
  state.loader =
      std::thread(&Gateway::run_load, this, state.board->prefix(), std::move(image), action);
  publish_load(name, load);
  return load_json(load);
}

void Gateway::run_load(std::string name, std::vector<uint8_t> image, std::string action) {
  std::shared_ptr<station::Board> board;
  {
    std::lock_guard lock(mutex_);
    board = boards_.at(name).board;
  }
  json result;
  std::string error;
  bool loaded = false;
  try {
    TempFile file(image);
    image.clear();
    image.shrink_to_fit();
    const station::LoadResult r = station_call([&] {
      return board->load_fpga(file.path(), action, {}, [this, name](const LOADPROGRESS &p) {
        std::lock_guard lock(mutex_);
        LoadState &load = boards_.at(name).load;
        load.progress = progress_json(p);
        publish_load(name, load);
      });
    });
    result = {{"exit_code", r.exit_code},
              {"exit_text", r.exit_text},
              {"lines", r.lines},
              {"loaded", r.loaded}};
    loaded = r.loaded;
  } catch (const HttpError &e) {
    error = e.what();
  } catch (const std::exception &e) {
    error = e.what();
  }
  std::lock_guard lock(mutex_);
  BoardState &state = boards_.at(name);
  state.load.result = result;
  state.load.error = error;
  state.load.state = loaded ? "loaded" : "failed";
  state.load.ended_ms = now_ms();
  state.loading = false;
  publish_load(name, state.load);
}

json Gateway::load_status(const std::string &name) {
  std::shared_ptr<station::Board> board;
  json out;
  {
    std::lock_guard lock(mutex_);
    BoardState &state = state_of(name);
    out = load_json(state.load);
    board = state.board;
  }
  LOADPROGRESS p{};
  if (board->last_progress(p)) out["server_progress"] = progress_json(p);
  return out;
}

std::string Gateway::metrics() {
  std::string out;
  out +=
      "# HELP zol_register_value Last value of a register watched through the gateway.\n"
      "# TYPE zol_register_value gauge\n";
  std::string times =
      "# HELP zol_register_sample_time_seconds When the last value of the register arrived.\n"
      "# TYPE zol_register_sample_time_seconds gauge\n";
  std::string loads =
      "# HELP zol_fpga_load_state Last FPGA load through the gateway: 0 none, 1 running, "
      "2 loaded, 3 failed, 4 refused.\n"
      "# TYPE zol_fpga_load_state gauge\n";
  std::string up =
      "# HELP zol_board_up Whether the board's server accepts connections.\n"
      "# TYPE zol_board_up gauge\n";
  char line[256];
  std::lock_guard lock(mutex_);
  for (auto &[name, state] : boards_) {
    for (auto &[addr, w] : state.watched) {
      const Sample *last = w.history.last();
      if (!last) continue;
      std::snprintf(line, sizeof line, "zol_register_value{board=\"%s\",addr=\"0x%X\"} %u\n",
                    name.c_str(), addr, last->value);
      out += line;
      std::snprintf(line, sizeof line,
                    "zol_register_sample_time_seconds{board=\"%s\",addr=\"0x%X\"} %.3f\n",
                    name.c_str(), addr, static_cast<double>(last->time_ms) / 1000.0);
      times += line;
    }
    const std::string &s = state.load.state;
    const int code = s == "running"   ? 1
                     : s == "loaded"  ? 2
                     : s == "failed"  ? 3
                     : s == "refused" ? 4
                                      : 0;
    std::snprintf(line, sizeof line, "zol_fpga_load_state{board=\"%s\"} %d\n", name.c_str(), code);
    loads += line;
  }
  for (const json &b : listing_) {
    std::snprintf(line, sizeof line, "zol_board_up{board=\"%s\"} %d\n",
                  b["prefix"].get<std::string>().c_str(), b["answers"].get<bool>() ? 1 : 0);
    up += line;
  }
  std::snprintf(line, sizeof line,
                "# HELP zol_web_event_streams Open live-update streams.\n"
                "# TYPE zol_web_event_streams gauge\nzol_web_event_streams %zu\n",
                hub_.listeners());
  return out + times + loads + up + line;
}

}  // namespace zolweb
