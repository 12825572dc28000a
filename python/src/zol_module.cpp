// The extension module behind the Python package zol: the station library's calls with the
// interpreter lock released while they wait. The package (zol/__init__.py) gives them their
// Python shape; this layer only converts.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/station/board.h"

namespace py = pybind11;

namespace {

// The samples of a watch, queued by the library's thread (which never takes the interpreter
// lock) and taken by Python code, which waits with the lock released.
class WatchQueue {
 public:
  using Item = std::tuple<double, uint32_t, uint32_t>;

  WatchQueue(station::Board &board, std::vector<uint32_t> addrs, int interval_s, size_t limit)
      : shared_(std::make_shared<Shared>()) {
    shared_->limit = limit;
    std::weak_ptr<Shared> weak = shared_;
    watch_ = board.watch(std::move(addrs), interval_s, [weak](const station::Sample &s) {
      auto q = weak.lock();
      if (!q) return;
      const double t = std::chrono::duration<double>(s.when.time_since_epoch()).count();
      {
        std::lock_guard lock(q->m);
        if (q->items.size() >= q->limit) {
          q->items.pop_front();
          ++q->dropped;
        }
        q->items.emplace_back(t, s.addr, s.value);
      }
      q->ready.notify_all();
    });
  }

  // The oldest sample not yet taken; nothing after timeout_s (< 0: wait without limit) or
  // once the watch is stopped.
  std::optional<Item> get(double timeout_s) {
    std::unique_lock lock(shared_->m);
    auto have = [this] { return !shared_->items.empty() || shared_->stopped; };
    if (timeout_s < 0)
      shared_->ready.wait(lock, have);
    else
      shared_->ready.wait_for(lock, std::chrono::duration<double>(timeout_s), have);
    if (shared_->items.empty()) return std::nullopt;
    Item item = shared_->items.front();
    shared_->items.pop_front();
    return item;
  }

  void stop() {
    if (watch_) watch_->stop();
    {
      std::lock_guard lock(shared_->m);
      shared_->stopped = true;
    }
    shared_->ready.notify_all();
  }

  bool linked() const { return watch_ && watch_->linked(); }
  bool stopped() const {
    std::lock_guard lock(shared_->m);
    return shared_->stopped;
  }
  unsigned long dropped() const {
    std::lock_guard lock(shared_->m);
    return shared_->dropped;
  }

 private:
  struct Shared {
    mutable std::mutex m;
    std::condition_variable ready;
    std::deque<Item> items;
    size_t limit = 0;
    unsigned long dropped = 0;
    bool stopped = false;
  };
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<station::Watch> watch_;
};

py::dict progress_dict(const LOADPROGRESS &p) {
  py::dict d;
  d["state"] = p.state;
  d["download"] = p.download;
  d["action"] = std::string(p.action, strnlen(p.action, sizeof p.action));
  d["file_size"] = p.file_size;
  d["file_crc"] = p.file_crc;
  d["bits_shifted"] = p.bits_shifted;
  d["bits_total"] = p.bits_total;
  d["elapsed_ms"] = p.elapsed_ms;
  return d;
}

// The Python progress function of one download. The library's thread may hold the last
// reference, so releasing it takes the interpreter lock.
struct ProgressCall {
  py::object fn;
  std::optional<py::error_already_set> failure;  // the first, raised after the download
  ~ProgressCall() {
    py::gil_scoped_acquire gil;
    failure.reset();
    fn = py::object();
  }
};

py::dict load(station::Board &board, const std::string &path, const std::string &action,
              const std::vector<std::string> &defines, py::object progress) {
  std::function<void(const LOADPROGRESS &)> on_progress;
  std::shared_ptr<ProgressCall> call;
  if (!progress.is_none()) {
    call = std::make_shared<ProgressCall>();
    call->fn = progress;
    on_progress = [call](const LOADPROGRESS &p) {
      py::gil_scoped_acquire gil;
      if (call->failure.has_value()) return;
      try {
        call->fn(progress_dict(p));
      } catch (py::error_already_set &e) {
        call->failure.emplace(std::move(e));
      }
    };
  }
  station::LoadResult r;
  {
    py::gil_scoped_release unlocked;
    r = board.load_fpga(path, action, defines, on_progress);
  }
  if (call && call->failure.has_value()) {
    py::error_already_set e = std::move(*call->failure);
    call->failure.reset();
    throw e;
  }
  py::dict d;
  d["exit_code"] = r.exit_code;
  d["exit_text"] = r.exit_text;
  d["lines"] = r.lines;
  d["loaded"] = r.loaded;
  return d;
}

}  // namespace

PYBIND11_MODULE(_zol, m) {
  m.doc() = "Station access to the board's register servers (the compiled part of zol).";

  auto error = py::register_exception<station::Error>(m, "Error", PyExc_Exception);
  py::register_exception<station::NoLink>(m, "NoLink", error.ptr());
  py::register_exception<station::Timeout>(m, "Timeout", error.ptr());
  py::register_exception<station::BoardBusy>(m, "BoardBusy", error.ptr());

  m.def("use_name_server", &station::use_name_server, py::arg("node"), py::arg("port") = 0);
  m.def(
      "boards",
      [](int timeout_ms) {
        std::vector<station::BoardEntry> boards;
        {
          py::gil_scoped_release unlocked;
          boards = station::list_boards(timeout_ms);
        }
        py::list out;
        for (const auto &b : boards)
          out.append(py::make_tuple(b.name, b.host, b.port, b.pid, b.services));
        return out;
      },
      py::arg("timeout_ms"));

  py::class_<WatchQueue>(m, "WatchQueue")
      .def("get", &WatchQueue::get, py::arg("timeout"), py::call_guard<py::gil_scoped_release>())
      .def("stop", &WatchQueue::stop, py::call_guard<py::gil_scoped_release>())
      .def_property_readonly("linked", &WatchQueue::linked)
      .def_property_readonly("stopped", &WatchQueue::stopped)
      .def_property_readonly("dropped", &WatchQueue::dropped);

  py::class_<station::Board>(m, "Board")
      .def(py::init<std::string, int>(), py::arg("name"), py::arg("timeout_ms"),
           py::call_guard<py::gil_scoped_release>())
      .def_property_readonly("name", &station::Board::name)
      .def_property_readonly("prefix", &station::Board::prefix)
      .def_property_readonly("timeout_ms", &station::Board::timeout_ms)
      .def(
          "transact",
          [](station::Board &b,
             const std::vector<std::tuple<int, uint32_t, uint32_t, uint32_t, bool>> &requests) {
            std::vector<station::Request> rs;
            rs.reserve(requests.size());
            for (const auto &[method, addr, value, mask, write] : requests)
              rs.push_back(station::Request{method, addr, value, mask, write});
            std::vector<station::Answer> answers;
            {
              py::gil_scoped_release unlocked;
              answers = b.transact(rs);
            }
            py::list out;
            for (const auto &a : answers)
              out.append(py::make_tuple(a.method, a.addr, a.value, a.mask));
            return out;
          },
          py::arg("requests"))
      .def("read", &station::Board::read, py::arg("addr"), py::call_guard<py::gil_scoped_release>())
      .def("write", &station::Board::write, py::arg("addr"), py::arg("value"), py::arg("mask"),
           py::call_guard<py::gil_scoped_release>())
      .def("read_i2c", &station::Board::read_i2c, py::arg("addr"),
           py::call_guard<py::gil_scoped_release>())
      .def("write_i2c", &station::Board::write_i2c, py::arg("addr"), py::arg("value"),
           py::call_guard<py::gil_scoped_release>())
      .def(
          "watch",
          [](station::Board &b, std::vector<uint32_t> addrs, int interval_s, size_t limit) {
            py::gil_scoped_release unlocked;
            return std::make_unique<WatchQueue>(b, std::move(addrs), interval_s, limit);
          },
          py::arg("addrs"), py::arg("interval_s"), py::arg("limit"))
      .def("load_fpga", &load, py::arg("path"), py::arg("action"), py::arg("defines"),
           py::arg("progress"))
      .def("last_progress", [](const station::Board &b) -> py::object {
        LOADPROGRESS p;
        if (!b.last_progress(p)) return py::none();
        return progress_dict(p);
      });
}
