// fpgaload: a station's download tool. Sends a whole byte-code file to a board's
// "DownloadFPGA" command and reports the load status the server publishes afterwards.
//
// Exit status: 0 loaded, 1 load failed, 2 no answer or no link (and for usage errors and
// files that cannot be sent).
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/wire.h"
#include "platform/version.h"
#include "tools/src/fpgaload/image_check.h"
#include "tools/src/fpgaload/load_options.h"

namespace {

constexpr int kLoaded = 0;
constexpr int kFailed = 1;
constexpr int kNoAnswer = 2;

const char kNoLink[8] = "No Link";

// Largest command the messaging layer carries.
constexpr uint64_t kMaxCommandBytes = dim::wire::kMaxPayload;

// What the status subscription has delivered so far; written on the messaging thread.
struct StatusWatch {
  std::mutex mutex;
  std::condition_variable changed;
  int deliveries = 0;
  bool no_link = false;
  int32_t status = 0;
};

StatusWatch watch;

void on_status(long *, void *data, int *size) {
  std::lock_guard lock(watch.mutex);
  if (*size == sizeof(kNoLink) && std::memcmp(data, kNoLink, sizeof(kNoLink)) == 0) {
    watch.no_link = true;
  } else if (*size >= 4) {
    std::memcpy(&watch.status, data, 4);
    watch.no_link = false;
  } else {
    return;  // not a status word; keep waiting
  }
  ++watch.deliveries;
  watch.changed.notify_all();
}

// Waits until more than `seen` deliveries arrived or the deadline passed.
bool wait_for_delivery(int seen, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(watch.mutex);
  return watch.changed.wait_until(lock, deadline, [&] { return watch.deliveries > seen; });
}

void print_usage() {
  std::printf(
      "usage: fpgaload -TBOARD [-LSECONDS] [-F] FILE\n"
      "  Sends the byte-code FILE to the board's server, which runs its action\n"
      "  \"configure\" over JTAG, and prints the load status it publishes.\n"
      "  FILE is checked first: a file that is no byte-code file, whose CRC does not\n"
      "  match, or that has no action \"configure\" is not sent.\n"
      "  -TBOARD    target board, e.g. KeshV2_00\n"
      "  -LSECONDS  how long to wait for the outcome (default 600)\n"
      "  -F         send FILE without checking it (the server reports what it finds)\n"
      "  --help, --version\n"
      "  DIM_DNS_NODE (and DIM_DNS_PORT) must be set.\n"
      "  Exit status: 0 loaded, 1 load failed, 2 no answer, no link or unusable input.\n");
}

bool read_file(const std::string &path, std::vector<char> &bytes, std::string &error) {
  // A directory opens like a file and reports a nonsense size.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = path + " is a directory";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) {
    error = "cannot read " + path;
    return false;
  }
  if (static_cast<uint64_t>(size) > kMaxCommandBytes) {
    error = path + " is " + std::to_string(size) + " bytes; a command carries at most " +
            std::to_string(kMaxCommandBytes) + " bytes";
    return false;
  }
  bytes.resize(static_cast<size_t>(size));
  in.seekg(0);
  if (size > 0 && !in.read(bytes.data(), size)) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int asks = asks_help_or_version(argc, argv);
  if (asks == ASKS_HELP || (argc == 2 && std::strcmp(argv[1], "-h") == 0)) {
    print_usage();
    return 0;
  }
  if (asks == ASKS_VERSION) {
    print_version("fpgaload");
    return 0;
  }
  std::string error;
  auto options = parse_load_options(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "fpgaload: %s\n", error.c_str());
    print_usage();
    return kNoAnswer;
  }
  std::vector<char> image;
  if (!read_file(options->file, image, error)) {
    std::fprintf(stderr, "fpgaload: %s\n", error.c_str());
    return kNoAnswer;
  }
  if (!options->unchecked && !check_image(image, error)) {
    std::fprintf(stderr, "fpgaload: %s %s; not sent\n", options->file.c_str(), error.c_str());
    return kNoAnswer;
  }
  if (!std::getenv("DIM_DNS_NODE")) {
    std::fprintf(stderr, "fpgaload: DIM_DNS_NODE is not set\n");
    return kNoAnswer;
  }

  std::string prefix = "/ZOL/" + options->board;
  std::string service = prefix + "/SVC/FPGALoadStatus";
  std::string command = prefix + "/CMD/DownloadFPGA";
  auto now = std::chrono::steady_clock::now;

  // The first delivery is the status as it stands before our download; only a later one
  // answers our file. The server publishes after every download, so two good loads in a
  // row are told apart even though both publish 1.
  dic_info_service_(service.c_str(), MONITORED, 0, nullptr, 0, on_status, 0,
                    const_cast<char *>(kNoLink), sizeof(kNoLink));
  if (!wait_for_delivery(0, now() + std::chrono::seconds(10))) {
    std::fprintf(stderr, "fpgaload: no answer from the name server or %s\n", service.c_str());
    return kNoAnswer;
  }
  {
    std::lock_guard lock(watch.mutex);
    if (watch.no_link) {
      std::fprintf(stderr, "fpgaload: the server of board %s cannot be reached\n",
                   options->board.c_str());
      return kNoAnswer;
    }
  }

  std::printf("Sending %s (%zu bytes) to %s\n", options->file.c_str(), image.size(),
              command.c_str());
  auto started = now();
  dic_cmnd_service_(command.c_str(), image.data(), static_cast<int>(image.size()));

  auto deadline = started + std::chrono::seconds(options->timeout_seconds);
  if (!wait_for_delivery(1, deadline)) {
    std::fprintf(stderr, "fpgaload: no load status within %d seconds\n", options->timeout_seconds);
    return kNoAnswer;
  }
  std::lock_guard lock(watch.mutex);
  if (watch.no_link) {
    std::fprintf(stderr, "fpgaload: lost the link to board %s during the download\n",
                 options->board.c_str());
    return kNoAnswer;
  }
  double seconds = std::chrono::duration<double>(now() - started).count();
  if (watch.status == 1) {
    std::printf("FPGALoadStatus 1: loaded (%.1f s)\n", seconds);
    return kLoaded;
  }
  std::printf("FPGALoadStatus %d: load failed (%.1f s); the server's log tells why\n", watch.status,
              seconds);
  return kFailed;
}
