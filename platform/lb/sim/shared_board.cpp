#include "platform/lb/sim/shared_board.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "platform/lb/sim/board_model.h"

namespace lbsim {

namespace {

constexpr uint64_t kMagic = 0x4C42'5349'4D42'5244ull;  // "LBSIMBRD"
// Changes whenever BoardState changes shape or meaning, so an object left by an older build
// is initialised afresh instead of misread (2: device 0 became an FPGA; 3: timed I2C master,
// trace with time, process and folding, intermittent faults, lock holder, device registers).
constexpr uint32_t kLayoutVersion = 3;

std::string object_name(const std::string &name) { return "/lbsim." + name; }

// Owns a file descriptor for the duration of open().
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

struct SharedBoard::Layout {
  std::atomic<uint64_t> magic;
  uint32_t version;
  uint32_t state_size;
  pthread_mutex_t mutex;
  std::atomic<uint32_t> holder;  // process id of the lock's holder, 0 when free
  alignas(64) BoardState state;
};

std::string board_name_from_env() {
  const char *name = std::getenv("LB_SIM");
  return (name && *name) ? std::string(name) : std::string("default");
}

bool board_name_valid(const std::string &name) {
  if (name.empty() || name.size() > 100) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::unique_ptr<SharedBoard> SharedBoard::open(const std::string &name) {
  if (!board_name_valid(name)) {
    errno = EINVAL;
    return nullptr;
  }
  Fd fd(::shm_open(object_name(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660));
  if (fd.get() < 0) return nullptr;
  // Whoever holds the file lock decides whether the object needs its power-on contents;
  // the kernel drops the lock if that process dies, so nobody waits for a dead creator.
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return nullptr;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return nullptr;
  const bool sized = st.st_size == static_cast<off_t>(sizeof(Layout));
  if (!sized && ::ftruncate(fd.get(), sizeof(Layout)) != 0) return nullptr;
  void *mem = ::mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (mem == MAP_FAILED) return nullptr;
  auto *layout = static_cast<Layout *>(mem);
  if (!sized || layout->magic.load(std::memory_order_acquire) != kMagic ||
      layout->version != kLayoutVersion || layout->state_size != sizeof(BoardState)) {
    layout->magic.store(0, std::memory_order_relaxed);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&layout->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    layout->holder.store(0, std::memory_order_relaxed);
    board_power_on(layout->state);
    layout->version = kLayoutVersion;
    layout->state_size = sizeof(BoardState);
    layout->magic.store(kMagic, std::memory_order_release);
  }
  ::flock(fd.get(), LOCK_UN);
  return std::unique_ptr<SharedBoard>(new SharedBoard(name, layout));
}

int SharedBoard::remove(const std::string &name) {
  if (!board_name_valid(name)) return EINVAL;
  return ::shm_unlink(object_name(name).c_str()) == 0 ? 0 : errno;
}

SharedBoard::SharedBoard(std::string name, Layout *layout)
    : name_(std::move(name)), layout_(layout), state_(&layout->state) {}

SharedBoard::~SharedBoard() { ::munmap(layout_, sizeof(Layout)); }

namespace {

timespec realtime_in(long ms) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += (ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_nsec -= 1000000000L;
    ++ts.tv_sec;
  }
  return ts;
}

}  // namespace

std::string process_name(uint32_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!comm || !std::getline(comm, name) || name.empty()) return "gone";
  return name;
}

// A locker that got the mutex after its holder died finds EOWNERDEAD. The holder's access was
// a handful of stores into the board; the board stays usable, as a real one would after a
// crashed program.
bool SharedBoard::taken(int rc) {
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&layout_->mutex);
  } else if (rc != 0) {
    return false;
  }
  layout_->holder.store(current_process_id(), std::memory_order_relaxed);
  return true;
}

void SharedBoard::lock() {
  int rc = pthread_mutex_trylock(&layout_->mutex);
  if (rc == EBUSY) {
    // A holder stopped with the lock (Ctrl-Z, a debugger) would block this process without a
    // word; after a second it is named, once, and the wait goes on.
    const timespec limit = realtime_in(kLockPatienceMs);
    do {
      rc = pthread_mutex_timedlock(&layout_->mutex, &limit);
    } while (rc == EINTR);
    if (rc == ETIMEDOUT) {
      const uint32_t holder = layout_->holder.load(std::memory_order_relaxed);
      std::fprintf(stderr,
                   "lb: simulated board '%s': waiting for its lock, held by process %u (%s)\n",
                   name_.c_str(), holder, process_name(holder).c_str());
      rc = pthread_mutex_lock(&layout_->mutex);
    }
  }
  if (!taken(rc)) {
    // Only reachable if the mutex memory was overwritten from outside.
    std::fprintf(stderr, "lb: simulated board '%s': lock failed (%d)\n", name_.c_str(), rc);
    std::abort();
  }
}

bool SharedBoard::try_lock_for(long ms) {
  int rc = pthread_mutex_trylock(&layout_->mutex);
  if (rc == EBUSY) {
    const timespec limit = realtime_in(ms);
    do {
      rc = pthread_mutex_timedlock(&layout_->mutex, &limit);
    } while (rc == EINTR);
  }
  if (rc == ETIMEDOUT || rc == EBUSY) return false;
  if (!taken(rc)) {
    std::fprintf(stderr, "lb: simulated board '%s': lock failed (%d)\n", name_.c_str(), rc);
    std::abort();
  }
  return true;
}

uint32_t SharedBoard::holder() const { return layout_->holder.load(std::memory_order_relaxed); }

void SharedBoard::unlock() {
  layout_->holder.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&layout_->mutex);
}

}  // namespace lbsim
