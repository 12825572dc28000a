#include "platform/lb/hw_window.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace lb {

std::unique_ptr<HwWindow> HwWindow::open(const std::string &path, uint32_t phys_addr) {
  const int fd = ::open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return nullptr;
  }
  const bool chardev = S_ISCHR(st.st_mode);
  const off_t offset = chardev ? static_cast<off_t>(phys_addr) : 0;
  return std::unique_ptr<HwWindow>(new HwWindow(fd, offset, S_ISREG(st.st_mode), st.st_size));
}

HwWindow::~HwWindow() {
  if (base_) ::munmap(const_cast<uint32_t *>(base_), size_);
  ::close(fd_);
}

int HwWindow::map(uint32_t size) {
  if (base_) return 0;
  if (size == 0 || size % 4 != 0) return EINVAL;
  // A file shorter than the window would turn accesses past its end into SIGBUS.
  if (is_file_ && file_size_ < static_cast<off_t>(size)) return EINVAL;
  void *mem = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, offset_);
  if (mem == MAP_FAILED) return errno;
  base_ = static_cast<volatile uint32_t *>(mem);
  size_ = size;
  return 0;
}

}  // namespace lb
