// A simulated board in a POSIX shared-memory object, so that every process naming the
// same board sees one set of registers, devices and faults.
//
// The object is "/lbsim.NAME" (NAME from LB_SIM, default "default"). The first opener
// creates it with power-on contents; openers serialise that step with flock on the object,
// so a creator killed half-way leaves an object that the next opener initialises again.
// Every access to the state is made under a process-shared robust mutex in the object: a
// holder that dies is detected by the next locker (EOWNERDEAD), the mutex is marked
// consistent and the board stays usable. The holder's process id is kept beside the mutex,
// so a process that waits too long can say who keeps it waiting.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/lb/sim/board_state.h"

namespace lbsim {

// Board name from LB_SIM, "default" when unset or empty.
std::string board_name_from_env();
// A name is 1..100 characters of letters, digits, '.', '_' and '-'.
bool board_name_valid(const std::string &name);

class SharedBoard {
 public:
  // Opens board `name`, creating it when absent. nullptr on failure with errno set
  // (EINVAL for an unusable name).
  static std::unique_ptr<SharedBoard> open(const std::string &name);
  // Unlinks the board's object; processes that have it open keep using it. 0 or errno
  // (ENOENT when there was none).
  static int remove(const std::string &name);

  ~SharedBoard();
  SharedBoard(const SharedBoard &) = delete;
  SharedBoard &operator=(const SharedBoard &) = delete;

  const std::string &name() const { return name_; }
  BoardState &state() { return *state_; }

  // Waits for the lock however long it takes; when it is not free within a second, says so
  // once on standard error, naming the process that holds it.
  void lock();
  // True with the lock held, or false when it did not come free within `ms` milliseconds.
  bool try_lock_for(long ms);
  void unlock();
  // Process id of the lock's holder, 0 when it is free.
  uint32_t holder() const;

  static constexpr long kLockPatienceMs = 1000;

 private:
  bool taken(int rc);

  struct Layout;
  SharedBoard(std::string name, Layout *layout);

  std::string name_;
  Layout *layout_;
  BoardState *state_;
};

// The name of process `pid` (/proc/PID/comm), "gone" when there is none.
std::string process_name(uint32_t pid);

// Holds a board's lock for its lifetime.
class BoardLock {
 public:
  explicit BoardLock(SharedBoard &board) : board_(&board) { board_->lock(); }
  ~BoardLock() {
    if (board_) board_->unlock();
  }
  BoardLock(BoardLock &&other) noexcept : board_(other.board_) { other.board_ = nullptr; }
  BoardLock(const BoardLock &) = delete;
  BoardLock &operator=(const BoardLock &) = delete;
  BoardLock &operator=(BoardLock &&) = delete;

 private:
  SharedBoard *board_;
};

}  // namespace lbsim
