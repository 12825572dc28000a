// The bridge's register window reached through a device or file (LB_DEVICE).
//
// Only three kinds of path can be a window: /dev/mem (a character device with the memory
// device's numbers, whatever its name), mapped at the bridge's physical address; a PCI
// resource file, which sysfs shows as a regular file as long as the bridge's registers; and
// a regular file standing in for the window in tests. Anything else (/dev/zero, other
// devices, pipes, directories) is refused when it is opened: a mapping of it would either
// fail or, worse, map something that is not the bridge and turn accesses beyond its end into
// SIGBUS. A regular file must hold the whole window, checked at open and again at map.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace lb {

class HwWindow {
 public:
  struct Opened {
    std::unique_ptr<HwWindow> window;  // null on failure
    int error = 0;                     // errno value when `window` is null
    std::string reason;                // one line naming the path when `window` is null
  };

  // Opens `path` for a window of `size` bytes at `phys_addr` (used only for /dev/mem; files
  // are mapped from offset 0).
  static Opened open(const std::string &path, uint32_t phys_addr, uint32_t size);
  ~HwWindow();
  HwWindow(const HwWindow &) = delete;
  HwWindow &operator=(const HwWindow &) = delete;

  // Maps `size` bytes. 0 or an errno value, with a line naming the path in *reason. A second
  // call after success changes nothing.
  int map(uint32_t size, std::string *reason);
  volatile uint32_t *base() const { return base_; }
  uint32_t size() const { return size_; }

 private:
  HwWindow(std::string path, int fd, off_t offset, bool is_file)
      : path_(std::move(path)), fd_(fd), offset_(offset), is_file_(is_file) {}

  std::string path_;
  int fd_;
  off_t offset_;
  bool is_file_;
  volatile uint32_t *base_ = nullptr;
  uint32_t size_ = 0;
};

}  // namespace lb
