#include "platform/dim/runtime.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/dim/client_side.h"
#include "platform/dim/server_side.h"
#include "platform/dim/timers.h"

namespace dim {

namespace {
// std::mutex has a trivial destructor here, so it stays usable while the process exits.
std::mutex g_runtime_mutex;
// Deliberately never freed at exit; only Runtime::shutdown() deletes it. Read without the
// lock on every call of the API once made; made and cleared under it.
std::atomic<Runtime *> g_runtime{nullptr};
std::atomic<long long> g_name_server_timeout_ms{5000};
}  // namespace

std::chrono::milliseconds name_server_timeout() {
  return std::chrono::milliseconds(g_name_server_timeout_ms.load());
}

void set_name_server_timeout(std::chrono::milliseconds t) {
  g_name_server_timeout_ms = t.count() > 0 ? t.count() : 1;
}

Runtime &Runtime::get() {
  if (Runtime *rt = g_runtime.load(std::memory_order_acquire)) return *rt;
  std::lock_guard lock(g_runtime_mutex);
  Runtime *rt = g_runtime.load(std::memory_order_relaxed);
  if (!rt) {
    rt = new Runtime();
    g_runtime.store(rt, std::memory_order_release);
  }
  return *rt;
}

void Runtime::shutdown() {
  Runtime *rt = nullptr;
  {
    std::lock_guard lock(g_runtime_mutex);
    rt = g_runtime;
    g_runtime = nullptr;
  }
  if (!rt) return;
  rt->stop_threads();
  delete rt;
}

bool Runtime::halt(std::chrono::milliseconds wait) {
  Runtime *rt = nullptr;
  {
    std::lock_guard lock(g_runtime_mutex);
    rt = g_runtime;
  }
  return rt ? rt->halt_here(wait) : true;
}

bool Runtime::halt_here(std::chrono::milliseconds wait) {
  halted_.store(true, std::memory_order_release);
  // Stopping a context lets the completion it is running finish and starts no other; the
  // flag covers what that completion would still start itself (the next frame of a batch).
  dispatch_.stop();
  net_.stop();
  if (on_dispatch()) return true;
  {
    std::unique_lock lock(ended_mutex_);
    if (!ended_cv_.wait_for(lock, wait, [this] { return dispatch_ended_; })) return false;
  }
  std::lock_guard lock(join_mutex_);
  if (dispatch_thread_.joinable()) dispatch_thread_.join();
  // The network thread may be the caller: a refusal from the name server ends the process
  // from there.
  if (net_thread_.joinable() && !on_net()) net_thread_.join();
  return true;
}

// Each context is run by its one thread (posting from others stays safe), which spares asio
// the work of handing completions between threads.
Runtime::Runtime()
    : net_(1),
      dispatch_(1),
      net_work_(asio::make_work_guard(net_)),
      dispatch_work_(asio::make_work_guard(dispatch_)),
      dispatch_ring_(RingLoop::create(dispatch_)),
      server_(std::make_unique<ServerSide>(*this)),
      client_(std::make_unique<ClientSide>(*this)),
      timers_(std::make_unique<Timers>(*this)) {
  dispatch_loop_.use_ring(dispatch_ring_.get());
  net_thread_ = std::thread([this] { net_.run(); });
  dispatch_thread_ = std::thread([this] {
    dispatch_loop_.run_dispatch_thread();
    std::lock_guard lock(ended_mutex_);
    dispatch_ended_ = true;
    ended_cv_.notify_all();
  });
  net_id_ = net_thread_.get_id();
}

void Runtime::stop_threads() {
  net_.stop();
  dispatch_.stop();
  std::lock_guard lock(join_mutex_);
  if (net_thread_.joinable()) net_thread_.join();
  if (dispatch_thread_.joinable()) dispatch_thread_.join();
}

Runtime::~Runtime() {
  // Sockets and timers go before the contexts they belong to.
  timers_.reset();
  client_.reset();
  server_.reset();
}

}  // namespace dim
