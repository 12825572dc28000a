// The library's threads and the process-wide state behind the C calls of dim.h.
//
// Two threads, started by the first call. The dispatch thread (`dispatch`) runs every handler,
// buffer routine, timer routine and client callback, one at a time, and also the sockets that
// carry commands and updates: a frame is read, handled, and its answer written by that one
// thread, with no hand-off between threads. The network thread (`net`) keeps the server's
// registration with the name server, which must stay up while a long handler runs. A command
// sent from any other thread (a station's main thread) is written from that thread when its
// connection is idle, and otherwise crosses to the dispatch thread once. A thread that waits
// for an answer through wait_for_dispatch takes the dispatch work over while it waits (see
// dispatch_loop.h), so the answer wakes it with no hand-off either.
//
// The runtime is never destroyed at process exit: its threads may still be running while
// static destructors run, so nothing they touch may be a static with a destructor. A process
// that must know nothing of it runs any more (a server that switches hardware off as it ends)
// halts it first.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/dim/dispatch_loop.h"
#include "platform/dim/ring_loop.h"

namespace dim {

class ServerSide;
class ClientSide;
class Timers;

// How long a request to the name server may stay unanswered (connecting included) before the
// name server counts as unreachable and the request is retried later. 5 s by default.
std::chrono::milliseconds name_server_timeout();
void set_name_server_timeout(std::chrono::milliseconds t);

class Runtime {
 public:
  static Runtime &get();
  // Stops the threads and forgets every server, client and timer (for in-process tests).
  // Must not be called from a library thread.
  static void shutdown();
  // Ends the calling of handlers, buffer routines, timer routines and callbacks for good. The
  // one running (if any) goes on to its end, and the library calls it makes meanwhile still
  // work; nothing starts after it. Returns true once that one has ended and both threads are
  // gone, false when it is still running after `wait` (call again to keep waiting). From a
  // library thread it cannot wait for itself: it then only forbids the rest and returns true.
  // Without a runtime there is nothing to halt.
  static bool halt(std::chrono::milliseconds wait);
  // True from the start of halt on; checked before each routine that a frame would start.
  bool halted() const { return halted_.load(std::memory_order_acquire); }

  asio::io_context &net() { return net_; }
  asio::io_context &dispatch() { return dispatch_; }
  // The dispatch context's ring, for its connections; none where the kernel has no io_uring
  // (ring_loop.h).
  RingLoop *dispatch_ring() { return dispatch_ring_.get(); }
  // True on the thread that runs the dispatch work now: the dispatch thread, or a caller
  // inside wait_for_dispatch.
  bool on_dispatch() const { return DispatchLoop::here(); }
  bool on_net() const { return std::this_thread::get_id() == net_id_; }

  template <class F>
  void to_net(F &&f) {
    asio::post(net_, std::forward<F>(f));
  }
  template <class F>
  void to_dispatch(F &&f) {
    asio::post(dispatch_, std::forward<F>(f));
  }

  // Runs the dispatch work on the calling thread until done() or the deadline (see
  // DispatchLoop::wait).
  bool wait_for_dispatch(const std::function<bool()> &done,
                         std::chrono::steady_clock::time_point deadline) {
    return dispatch_loop_.wait(done, deadline);
  }

  ServerSide &server() { return *server_; }
  ClientSide &client() { return *client_; }
  Timers &timers() { return *timers_; }

  ~Runtime();

 private:
  Runtime();
  void stop_threads();
  bool halt_here(std::chrono::milliseconds wait);

  asio::io_context net_;
  asio::io_context dispatch_;
  asio::executor_work_guard<asio::io_context::executor_type> net_work_;
  asio::executor_work_guard<asio::io_context::executor_type> dispatch_work_;
  // Goes after the connections it may still hold, before the context.
  std::unique_ptr<RingLoop> dispatch_ring_;
  DispatchLoop dispatch_loop_{dispatch_};
  std::unique_ptr<ServerSide> server_;
  std::unique_ptr<ClientSide> client_;
  std::unique_ptr<Timers> timers_;
  std::thread net_thread_;
  std::thread dispatch_thread_;
  std::thread::id net_id_;

  std::atomic<bool> halted_{false};
  std::mutex ended_mutex_;  // guards dispatch_ended_
  std::condition_variable ended_cv_;
  bool dispatch_ended_ = false;
  std::mutex join_mutex_;  // one thread at a time joins the library's threads
};

}  // namespace dim
