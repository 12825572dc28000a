// Who runs the dispatch context: the dispatch thread, or a thread that waits for something the
// dispatch work will bring (the update that answers its command).
//
// A waiting thread that left the reading to the dispatch thread would be woken by it, a
// hand-off of some microseconds on every round trip. Instead the waiter takes the context over
// and runs it itself: the answer's arrival wakes the waiter straight from the socket, and its
// callback runs on the waiter's thread. One thread at a time holds the turn, so handlers,
// callbacks and timer routines still run one at a time, and the turn's lock orders everything
// one holder wrote before the next one reads it.
//
// The dispatch thread steps aside when a waiter asks (one wake-up of the dispatch thread, off
// the waiter's path when it asks right after sending). A waiter that is done leaves the turn
// lying without waking anyone, so a loop of send-and-wait takes it straight back with no system
// call; the dispatch thread picks a turn up once it has lain abandoned for kLookAgain, within
// two kLookAgain. A waiter that finds its answer already taken by the dispatch thread (it was
// held up between sending and waiting) counts as one that was done: the dispatch thread steps
// aside after its round and leaves the turn lying, so the next wait of the loop takes it.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace dim {

class RingLoop;

class DispatchLoop {
 public:
  using Clock = std::chrono::steady_clock;
  // How late the dispatch thread may notice that the last waiter left the turn. Events that
  // arrive meanwhile wait in the kernel and are handled then.
  static constexpr std::chrono::milliseconds kLookAgain{1};

  explicit DispatchLoop(asio::io_context &context) : context_(context) {}
  DispatchLoop(const DispatchLoop &) = delete;
  DispatchLoop &operator=(const DispatchLoop &) = delete;

  // The context's waits go through `ring` (ring_loop.h) instead of asio's reactor. Set before
  // any thread runs the context.
  void use_ring(RingLoop *ring) { ring_ = ring; }

  // The dispatch thread's whole life: runs the context until it is stopped, stepping aside
  // while waiters run it. Returns once no waiter runs it any more.
  void run_dispatch_thread();

  // Runs the context on the calling thread until done() is true, the deadline passes or the
  // context is stopped; returns the last done(). done() is called on this thread, also while
  // another thread runs callbacks, so it reads what they write through atomics or a lock. Must
  // not be called where here() is true (a callback cannot wait for the next one).
  bool wait(const std::function<bool()> &done, Clock::time_point deadline);

  // True on the thread that holds the turn and runs the context now.
  static bool here();

 private:
  enum class Holder { kNone, kDispatchThread, kWaiter };
  void step_aside(std::unique_lock<std::mutex> &lock);
  // Runs ready work, sleeping for it until the deadline at most.
  void run_once(Clock::time_point deadline);

  asio::io_context &context_;
  RingLoop *ring_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Changed under mutex_; the dispatch thread reads them without it while it stands aside.
  std::atomic<Holder> holder_{Holder::kDispatchThread};
  std::atomic<Clock::rep> left_at_{0};  // when a waiter last left the turn
  // A waiter found its answer taken by the dispatch thread; the dispatch thread steps aside.
  std::atomic<bool> step_aside_asked_{false};
  // Threads inside wait(); changed under mutex_, read without it by the holder between
  // handlers.
  std::atomic<int> waiters_{0};
};

}  // namespace dim
