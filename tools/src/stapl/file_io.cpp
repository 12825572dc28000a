#include "tools/src/stapl/file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace stapl {
namespace {

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

std::optional<std::vector<uint8_t>> read_file(const std::string &path, size_t limit,
                                              std::string &error) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  while (true) {
    size_t got = std::fread(chunk, 1, sizeof chunk, f.get());
    if (bytes.size() + got > limit) {
      error = "larger than " + std::to_string(limit) + " bytes";
      return std::nullopt;
    }
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (got < sizeof chunk) break;
  }
  if (std::ferror(f.get())) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  return bytes;
}

namespace {

// Writes straight into `path`: for a device or a pipe (/dev/null, /dev/stdout, a FIFO), which
// a rename would replace by a regular file.
bool write_in_place(const std::string &path, const std::vector<uint8_t> &bytes,
                    std::string &error) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) {
    error = std::strerror(errno);
    return false;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size() &&
                  std::fflush(f.get()) == 0;
  if (!ok) error = std::strerror(errno);
  return ok;
}

}  // namespace

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
    return write_in_place(path, bytes, error);
  const std::string temp = path + ".tmp." + std::to_string(getpid());
  {
    File f(std::fopen(temp.c_str(), "wb"));
    if (!f) {
      error = std::strerror(errno);
      return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
    ok = std::fflush(f.get()) == 0 && ok;
    if (!ok) {
      error = std::strerror(errno);
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    error = std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace stapl
