#include "platform/lb/hw_window.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace lb {
namespace {

// Linux's numbers for /dev/mem; a node of another name with them is the same device.
constexpr unsigned kMemMajor = 1;
constexpr unsigned kMemMinor = 1;

bool is_physical_memory(const struct stat &st) {
  return S_ISCHR(st.st_mode) && major(st.st_rdev) == kMemMajor && minor(st.st_rdev) == kMemMinor;
}

std::string too_short(const std::string &path, off_t length, uint32_t size) {
  return path + " holds " + std::to_string(length) + " bytes, fewer than the " +
         std::to_string(size) + "-byte register window";
}

// Why a path of this kind and length cannot be a window of `size` bytes: 0, or an errno
// value with a line in *reason.
int unfit(const std::string &path, const struct stat &st, uint32_t size, std::string *reason) {
  if (S_ISDIR(st.st_mode)) {
    *reason = path + " cannot be the register window: it is a directory";
    return EISDIR;
  }
  if (!S_ISREG(st.st_mode) && !is_physical_memory(st)) {
    *reason = path + " cannot be the register window: it is neither /dev/mem nor a file";
    return ENODEV;
  }
  if (S_ISREG(st.st_mode) && st.st_size < static_cast<off_t>(size)) {
    *reason = too_short(path, st.st_size, size);
    return EINVAL;
  }
  return 0;
}

HwWindow::Opened refuse(int error, std::string reason) {
  HwWindow::Opened failed;
  failed.error = error;
  failed.reason = std::move(reason);
  return failed;
}

}  // namespace

HwWindow::Opened HwWindow::open(const std::string &path, uint32_t phys_addr, uint32_t size) {
  std::string reason;
  // Looked at before opening, since opening some devices already does something, and again
  // after, on what was actually opened.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    return refuse(err, "cannot open " + path + ": " + std::strerror(err));
  }
  if (const int err = unfit(path, st, size, &reason)) return refuse(err, reason);

  const int fd = ::open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    return refuse(err, "cannot open " + path + ": " + std::strerror(err));
  }
  const int err = ::fstat(fd, &st) != 0 ? errno : unfit(path, st, size, &reason);
  if (err != 0) {
    if (reason.empty()) reason = "cannot examine " + path + ": " + std::strerror(err);
    ::close(fd);
    return refuse(err, reason);
  }
  const bool file = S_ISREG(st.st_mode);
  const off_t offset = file ? 0 : static_cast<off_t>(phys_addr);
  Opened opened;
  opened.window.reset(new HwWindow(path, fd, offset, file));
  return opened;
}

HwWindow::~HwWindow() {
  if (base_) ::munmap(const_cast<uint32_t *>(base_), size_);
  ::close(fd_);
}

int HwWindow::map(uint32_t size, std::string *reason) {
  if (base_) return 0;
  if (size == 0 || size % 4 != 0) {
    *reason = "a register window of " + std::to_string(size) + " bytes cannot be mapped";
    return EINVAL;
  }
  // Looked at again: the file may have been cut since it was opened, and an access past its
  // end would be SIGBUS.
  if (is_file_) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      const int err = errno;
      *reason = "cannot examine " + path_ + ": " + std::strerror(err);
      return err;
    }
    if (st.st_size < static_cast<off_t>(size)) {
      *reason = too_short(path_, st.st_size, size);
      return EINVAL;
    }
  }
  void *mem = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, offset_);
  if (mem == MAP_FAILED) {
    const int err = errno;
    *reason = "cannot map " + path_ + ": " + std::strerror(err);
    return err;
  }
  base_ = static_cast<volatile uint32_t *>(mem);
  size_ = size;
  return 0;
}

}  // namespace lb
