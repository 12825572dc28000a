// The bridge's register window reached through a device or file (LB_DEVICE).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace lb {

class HwWindow {
 public:
  // Opens `path` for a window at `phys_addr` (used only for character devices such as
  // /dev/mem; files are mapped from offset 0). nullptr with errno set on failure.
  static std::unique_ptr<HwWindow> open(const std::string &path, uint32_t phys_addr);
  ~HwWindow();
  HwWindow(const HwWindow &) = delete;
  HwWindow &operator=(const HwWindow &) = delete;

  // Maps `size` bytes. 0 or an errno value. A second call after success changes nothing.
  int map(uint32_t size);
  volatile uint32_t *base() const { return base_; }
  uint32_t size() const { return size_; }

 private:
  HwWindow(int fd, off_t offset, bool is_file, off_t file_size)
      : fd_(fd), offset_(offset), is_file_(is_file), file_size_(file_size) {}

  int fd_;
  off_t offset_;
  bool is_file_;
  off_t file_size_;
  volatile uint32_t *base_ = nullptr;
  uint32_t size_ = 0;
};

}  // namespace lb
