// `stapl run [-aACTION] [-dNAME=value ...] [--max-steps N] [--svf OUT] FILE`
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "board/jtag_port.h"
#include "board/pci_init.h"
#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbistub.h"
#include "stapl/src/svf_writer.h"
#include "tools/src/stapl/commands.h"
#include "tools/src/stapl/file_io.h"

namespace stapl {
namespace {

void usage(std::FILE *to) {
  std::fputs(
      "Usage: stapl run [-aACTION] [-dNAME=value ...] [--max-steps N] [--svf OUT] FILE\n"
      "Runs one action of a byte-code file over the board's JTAG port, through the same\n"
      "driver as the server's download: CRC check, listing of notes and actions, the run,\n"
      "the exit code and the elapsed time. The board is the local bus: the hardware window\n"
      "when LB_DEVICE is set, otherwise the simulated board that LB_SIM names.\n"
      "  -aACTION       action to run (default \"configure\"; a \"Jam 1.1\" file ignores it)\n"
      "  -dNAME=value   initial value: a procedure choice (\"Jam STAPL\": 1 runs an optional\n"
      "                 procedure, 0 skips a recommended one) or a symbol (\"Jam 1.1\");\n"
      "                 an entry without \"=\" is ignored\n"
      "  --max-steps N  end the run with \"execution cancelled\" after N instructions\n"
      "  --svf OUT      record every TCK cycle of the run as an SVF file OUT, which\n"
      "                 `stapl svf` or another SVF player plays back on the same chain\n"
      "Exit status: 0 when the action succeeded with exit code 0, 99 for a file that is not\n"
      "recognised, 1 for any other failure, 2 for a usage error.\n",
      to);
}

}  // namespace

int run_command(const Args &args) {
  std::string action = "configure";
  std::vector<std::string> init;
  std::string path;
  long max_steps = 0;
  std::string svf_path;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    auto value = [&](size_t prefix, const char *what) -> std::optional<std::string> {
      if (a.size() > prefix) return a.substr(prefix);
      if (i + 1 < args.size()) return args[++i];
      std::fprintf(stderr, "stapl run: %s needs %s\n", a.c_str(), what);
      return std::nullopt;
    };
    if (a.rfind("-a", 0) == 0) {
      auto v = value(2, "an action name");
      if (!v) return 2;
      action = *v;
    } else if (a.rfind("-d", 0) == 0) {
      auto v = value(2, "NAME=value");
      if (!v) return 2;
      // Handed on as given: the player itself ignores an entry without "=", as the server's
      // own downloads would, so the tool runs the file the same way.
      init.push_back(*v);
    } else if (a == "--max-steps") {
      auto v = value(a.size(), "a count");
      if (!v) return 2;
      char *end = nullptr;
      max_steps = std::strtol(v->c_str(), &end, 10);
      if (v->empty() || *end != 0 || max_steps <= 0) {
        std::fprintf(stderr, "stapl run: --max-steps expects a positive count, not '%s'\n",
                     v->c_str());
        return 2;
      }
    } else if (a == "--svf") {
      auto v = value(a.size(), "a file name");
      if (!v) return 2;
      svf_path = *v;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "stapl run: unknown option '%s'\n", a.c_str());
      usage(stderr);
      return 2;
    } else if (path.empty()) {
      path = a;
    } else {
      std::fprintf(stderr, "stapl run: more than one file ('%s')\n", a.c_str());
      return 2;
    }
  }
  if (path.empty()) {
    usage(stderr);
    return 2;
  }
  std::string error;
  auto image = read_file(path, kMaxImage, error);
  if (!image) {
    std::fprintf(stderr, "stapl run: cannot read %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  std::vector<const char *> init_list;
  for (const std::string &entry : init) init_list.push_back(entry.c_str());
  init_list.push_back(nullptr);

  if (!svf_path.empty() && svf_record_open(svf_path.c_str()) != 0) {
    std::fprintf(stderr, "stapl run: cannot write %s: %s\n", svf_path.c_str(),
                 std::strerror(errno));
    return 1;
  }
  open_local_bus();
  jbi_instruction_limit = max_steps;
  int result = jbi_download(image->data(), static_cast<long>(image->size()), action.c_str(),
                            init_list.data());
  if (!svf_path.empty() && svf_record_close() != 0) {
    std::fprintf(stderr, "stapl run: writing %s failed\n", svf_path.c_str());
    if (result == 0) result = 1;
  }
  // A local run leaves the port as it found it; the server does the same at its exit.
  close_jtag_hardware();
  return result;
}

}  // namespace stapl
