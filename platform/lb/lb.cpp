// The four local-bus calls, dispatching to the hardware window or the simulated board.
#include "platform/lb/lb.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/lb/hw_window.h"
#include "platform/lb/sim/board_model.h"
#include "platform/lb/sim/shared_board.h"

namespace {

enum Stage : int { kClosed = 0, kOpened = 1, kMapped = 2 };
enum class Backend { kNone, kSimulated, kHardware };

// Lives until the process ends and is never destroyed: exit handlers (the server switches
// the JTAG port off in one) still reach the bus after static destructors have run.
struct Bus {
  std::mutex open_mutex;  // serialises lb_init_s and lb_map
  Backend backend = Backend::kNone;
  std::unique_ptr<lbsim::SharedBoard> board;
  std::unique_ptr<lb::HwWindow> window;
  // Set last, read first by every access: what the fast paths below may use.
  std::atomic<int> stage{kClosed};
  lbsim::SharedBoard *sim = nullptr;
  volatile uint32_t *hw_base = nullptr;
  uint32_t hw_size = 0;
};

Bus &bus() {
  static Bus *const instance = new Bus;
  return *instance;
}

int fail(int err) {
  errno = err;
  return -1;
}

int init_simulated(Bus &b) {
  const std::string name = lbsim::board_name_from_env();
  std::fprintf(stderr, "lb: simulated board '%s'\n", name.c_str());
  if (!b.board) {
    b.board = lbsim::SharedBoard::open(name);
    if (!b.board) return fail(errno);
  }
  int injected;
  {
    lbsim::BoardLock lock(*b.board);
    injected = b.board->state().faults.init_errno;
  }
  if (injected != 0) return fail(injected);
  b.backend = Backend::kSimulated;
  b.stage.store(kOpened, std::memory_order_release);
  return 0;
}

int init_hardware(Bus &b, const char *device, const lb_desc &desc) {
  std::fprintf(stderr, "lb: hardware window %s\n", device);
  lb::HwWindow::Opened opened = lb::HwWindow::open(device, desc.phys_addr, desc.size);
  if (!opened.window) {
    std::fprintf(stderr, "lb: %s\n", opened.reason.c_str());
    return fail(opened.error);
  }
  b.window = std::move(opened.window);
  b.backend = Backend::kHardware;
  b.stage.store(kOpened, std::memory_order_release);
  return 0;
}

}  // namespace

int lb_init_s(lb_desc *desc) {
  if (desc == nullptr) return fail(EINVAL);
  Bus &b = bus();
  std::lock_guard<std::mutex> guard(b.open_mutex);
  if (b.stage.load(std::memory_order_acquire) != kClosed) return 0;
  const char *device = std::getenv("LB_DEVICE");
  if (device && *device) return init_hardware(b, device, *desc);
  return init_simulated(b);
}

int lb_map(void **base, unsigned size, unsigned, unsigned, unsigned) {
  Bus &b = bus();
  std::lock_guard<std::mutex> guard(b.open_mutex);
  const int stage = b.stage.load(std::memory_order_acquire);
  if (stage == kClosed) return fail(EBADF);
  if (stage == kMapped) {
    if (base)
      *base = b.backend == Backend::kHardware ? const_cast<uint32_t *>(b.hw_base)
                                              : b.board->state().regs;
    return 0;
  }
  if (size == 0) return fail(EINVAL);
  if (b.backend == Backend::kSimulated) {
    if (size > lbsim::kWindowSize) return fail(EINVAL);
    int injected;
    {
      lbsim::BoardLock lock(*b.board);
      injected = b.board->state().faults.map_errno;
    }
    if (injected != 0) return fail(injected);
    b.sim = b.board.get();
    if (base) *base = b.board->state().regs;
  } else {
    std::string reason;
    if (const int err = b.window->map(size, &reason)) {
      std::fprintf(stderr, "lb: %s\n", reason.c_str());
      return fail(err);
    }
    b.hw_base = b.window->base();
    b.hw_size = b.window->size();
    if (base) *base = const_cast<uint32_t *>(b.hw_base);
  }
  b.stage.store(kMapped, std::memory_order_release);
  return 0;
}

int lb_read_word(uint32_t addr, uint32_t *value) {
  Bus &b = bus();
  if (b.stage.load(std::memory_order_acquire) != kMapped) return fail(EBADF);
  if (value == nullptr) return fail(EINVAL);
  if (b.sim) {
    b.sim->lock();
    const int err = lbsim::board_read(b.sim->state(), addr, value);
    b.sim->unlock();
    return err ? fail(err) : 0;
  }
  if (addr >= b.hw_size || (addr & 3)) return fail(EINVAL);
  *value = b.hw_base[addr / 4];
  return 0;
}

int lb_write_word(uint32_t addr, uint32_t value) {
  Bus &b = bus();
  if (b.stage.load(std::memory_order_acquire) != kMapped) return fail(EBADF);
  if (b.sim) {
    b.sim->lock();
    const int err = lbsim::board_write(b.sim->state(), addr, value);
    b.sim->unlock();
    return err ? fail(err) : 0;
  }
  if (addr >= b.hw_size || (addr & 3)) return fail(EINVAL);
  b.hw_base[addr / 4] = value;
  return 0;
}
