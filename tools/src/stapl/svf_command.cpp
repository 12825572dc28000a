// `stapl svf FILE`
#include <cstdio>
#include <string>

#include "board/jtag_port.h"
#include "board/pci_init.h"
#include "stapl/src/svf_player.h"
#include "tools/src/stapl/commands.h"
#include "tools/src/stapl/file_io.h"

namespace stapl {
namespace {

void usage(std::FILE *to) {
  std::fputs(
      "Usage: stapl svf FILE\n"
      "Plays an SVF file on the board's JTAG port and stops at the first TDO that differs\n"
      "from the file's, printing its line and the bits that differ. The board is the local\n"
      "bus: the hardware window when LB_DEVICE is set, otherwise the simulated board that\n"
      "LB_SIM names. FREQUENCY and TRST are ignored with a note; PIO and PIOMAP are refused.\n"
      "Exit status: 0 when every statement ran and every compared TDO bit matched, 1 for a\n"
      "mismatch or a file that cannot be played, 2 for a usage error.\n",
      to);
}

}  // namespace

int svf_command(const Args &args) {
  int usage_status = 0;
  const std::optional<std::string> file = only_file_argument(args, "svf", usage, usage_status);
  if (!file) return usage_status;
  const std::string &path = *file;
  std::string error;
  auto text = read_file(path, kMaxSvf, error);
  if (!text) {
    std::fprintf(stderr, "stapl svf: cannot read %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  open_local_bus();
  const int result =
      svf_play(reinterpret_cast<const char *>(text->data()), static_cast<int64_t>(text->size()));
  std::fflush(stdout);
  close_jtag_hardware();
  return result == SVF_OK ? 0 : 1;
}

}  // namespace stapl
