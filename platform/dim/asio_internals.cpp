#include "platform/dim/asio_internals.h"

#if ASIO_VERSION == 102201 && defined(ASIO_HAS_EPOLL) && !defined(ASIO_HAS_IO_URING_AS_DEFAULT)
#define DIM_ASIO_INTERNALS 1
#else
#define DIM_ASIO_INTERNALS 0
#endif

namespace dim::asio_internals {

#if DIM_ASIO_INTERNALS

namespace {

using asio::detail::epoll_reactor;
using asio::detail::scheduler;

// A private member is named through a pointer to it taken in an explicit instantiation, the
// one place where the language does not check access. Each Tag's friend function returns it.
template <class Tag, auto Member>
struct Reach {
  friend constexpr auto member_of(Tag) { return Member; }
};

struct SchedulerMutex {
  friend constexpr auto member_of(SchedulerMutex);
};
struct SchedulerQueue {
  friend constexpr auto member_of(SchedulerQueue);
};
struct SchedulerTaskOp {
  friend constexpr auto member_of(SchedulerTaskOp);
};
struct SchedulerInterrupted {
  friend constexpr auto member_of(SchedulerInterrupted);
};
struct SchedulerStopped {
  friend constexpr auto member_of(SchedulerStopped);
};
struct ReactorEpollFd {
  friend constexpr auto member_of(ReactorEpollFd);
};

template struct Reach<SchedulerMutex, &scheduler::mutex_>;
template struct Reach<SchedulerQueue, &scheduler::op_queue_>;
template struct Reach<SchedulerTaskOp, &scheduler::task_operation_>;
template struct Reach<SchedulerInterrupted, &scheduler::task_interrupted_>;
template struct Reach<SchedulerStopped, &scheduler::stopped_>;
template struct Reach<ReactorEpollFd, &epoll_reactor::epoll_fd_>;

scheduler &scheduler_of(asio::io_context &context) { return asio::use_service<scheduler>(context); }

// Handlers other than the reactor's own place in the queue. Called with the mutex held.
bool handlers_queued(scheduler &s) {
  auto &queue = s.*member_of(SchedulerQueue{});
  scheduler::operation *front = queue.front();
  if (front == nullptr) return false;
  const scheduler::operation *task = &(s.*member_of(SchedulerTaskOp{}));
  return front != task || asio::detail::op_queue_access::next(front) != nullptr;
}

}  // namespace

bool supported() { return true; }

int reactor_fd(asio::io_context &context) {
  auto &reactor = asio::use_service<epoll_reactor>(context);
  return reactor.*member_of(ReactorEpollFd{});
}

bool has_handlers(asio::io_context &context) {
  scheduler &s = scheduler_of(context);
  auto &mutex = s.*member_of(SchedulerMutex{});
  asio::detail::conditionally_enabled_mutex::scoped_lock lock(mutex);
  return handlers_queued(s);
}

bool waiting(asio::io_context &context, bool on) {
  scheduler &s = scheduler_of(context);
  auto &mutex = s.*member_of(SchedulerMutex{});
  asio::detail::conditionally_enabled_mutex::scoped_lock lock(mutex);
  if (on && (s.*member_of(SchedulerStopped{}) || handlers_queued(s))) return false;
  // asio reads it as "the reactor's sleep was already cut short": false lets the next post
  // interrupt the reactor.
  s.*member_of(SchedulerInterrupted{}) = !on;
  return true;
}

#else

bool supported() { return false; }
int reactor_fd(asio::io_context &) { return -1; }
bool has_handlers(asio::io_context &) { return true; }
bool waiting(asio::io_context &, bool) { return false; }

#endif

}  // namespace dim::asio_internals
