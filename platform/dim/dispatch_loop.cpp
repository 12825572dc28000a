#include "platform/dim/dispatch_loop.h"

#include <thread>

#include "platform/dim/ring_loop.h"

namespace dim {

namespace {
thread_local bool t_holds_turn = false;
}  // namespace

bool DispatchLoop::here() { return t_holds_turn; }

void DispatchLoop::run_dispatch_thread() {
  t_holds_turn = true;
  while (!context_.stopped()) {
    if (waiters_.load(std::memory_order_acquire) > 0 ||
        step_aside_asked_.load(std::memory_order_relaxed)) {
      std::unique_lock lock(mutex_);
      step_aside_asked_.store(false, std::memory_order_relaxed);
      step_aside(lock);
      continue;
    }
    run_once(Clock::time_point::max());
  }
  t_holds_turn = false;
  // A waiter may still be finishing the routine it runs; the thread ends after it.
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return holder_ != Holder::kWaiter; });
  holder_ = Holder::kNone;
}

void DispatchLoop::step_aside(std::unique_lock<std::mutex> &lock) {
  t_holds_turn = false;
  holder_ = Holder::kNone;
  changed_.notify_all();
  // Taken back once nobody waits. A waiter that is done does not wake us (that would cost it
  // a system call on every round trip), so look again now and then, without the lock: a
  // waiter that found it taken would have to wake us when it lets go. A turn left less than
  // kLookAgain ago is left lying: a thread that sends and waits in a loop is between two
  // waits, and taking the turn back would make its next wait wake us and wait for us.
  const auto abandoned = [this] {
    const Clock::time_point left{Clock::duration(left_at_.load(std::memory_order_acquire))};
    return holder_.load(std::memory_order_acquire) == Holder::kNone &&
           waiters_.load(std::memory_order_acquire) == 0 && Clock::now() - left >= kLookAgain;
  };
  for (;;) {
    lock.unlock();
    while (!context_.stopped() && !abandoned()) std::this_thread::sleep_for(kLookAgain);
    lock.lock();
    if (context_.stopped() || abandoned()) break;
  }
  if (holder_ == Holder::kNone) {
    holder_ = Holder::kDispatchThread;
    t_holds_turn = true;
  }
}

void DispatchLoop::run_once(Clock::time_point deadline) {
  if (ring_ != nullptr)
    ring_->run_one(deadline);
  else if (deadline == Clock::time_point::max())
    context_.run_one();
  else
    context_.run_one_until(deadline);
}

bool DispatchLoop::wait(const std::function<bool()> &done, Clock::time_point deadline) {
  if (done()) {
    // Answered before this thread came to wait: the sender was held up between sending and
    // waiting (on one CPU the answering process takes it over), and the dispatch thread took
    // the answer. In a loop of send-and-wait it would take every next one too, and wake this
    // thread each time: ask it to leave the turn lying, as a waiter that held it does, so that
    // the next wait takes it.
    if (holder_.load(std::memory_order_acquire) == Holder::kDispatchThread) {
      left_at_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
      step_aside_asked_.store(true, std::memory_order_relaxed);
    }
    return true;
  }
  if (t_holds_turn) return false;
  std::unique_lock lock(mutex_);
  waiters_.fetch_add(1, std::memory_order_acq_rel);
  // The dispatch thread may sleep in the context for ever: give it something to return for.
  if (holder_ == Holder::kDispatchThread) asio::post(context_, [] {});
  bool ok = false;
  bool mine = false;
  for (;;) {
    if (done()) {
      ok = true;
      break;
    }
    if (context_.stopped() || Clock::now() >= deadline) break;
    if (holder_ == Holder::kNone) {
      holder_ = Holder::kWaiter;
      mine = true;
      break;
    }
    changed_.wait_until(lock, deadline);
  }
  if (!mine) {
    waiters_.fetch_sub(1, std::memory_order_acq_rel);
    return ok;
  }
  lock.unlock();

  t_holds_turn = true;
  for (;;) {
    if (done()) {
      ok = true;
      break;
    }
    if (context_.stopped() || Clock::now() >= deadline) break;
    run_once(deadline);
    // Another waiter's answer may have come with that routine.
    if (waiters_.load(std::memory_order_acquire) > 1) {
      std::lock_guard others(mutex_);
      changed_.notify_all();
    }
  }
  t_holds_turn = false;

  lock.lock();
  holder_ = Holder::kNone;
  left_at_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
  const int left = waiters_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left > 0 || context_.stopped()) changed_.notify_all();
  return ok;
}

}  // namespace dim
