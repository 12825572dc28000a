// `stapl asm SOURCE -o FILE`
#include <cstdio>
#include <string>

#include "tools/src/stapl/assembler.h"
#include "tools/src/stapl/bytecode_writer.h"
#include "tools/src/stapl/commands.h"
#include "tools/src/stapl/file_io.h"

namespace stapl {
namespace {

constexpr size_t kMaxSource = 64u << 20;

void usage(std::FILE *to) {
  std::fputs(
      "Usage: stapl asm SOURCE -o FILE\n"
      "Builds a byte-code file (\"Jam 1.1\" or \"Jam STAPL\" format) from its text form:\n"
      "notes, actions and procedures, symbols, and code with labels and mnemonics.\n"
      "Boolean arrays marked 'compressed' are stored as compressed blocks; the CRC is\n"
      "computed. Errors are reported as SOURCE:LINE: message, and no FILE is written.\n"
      "The text form is described in tools/src/stapl/README.md.\n",
      to);
}

}  // namespace

int asm_command(const Args &args) {
  std::string source, output;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    if (a == "-o") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "stapl asm: -o needs a file name\n");
        return 2;
      }
      output = args[++i];
    } else if (a.rfind("-o", 0) == 0 && a.size() > 2) {
      output = a.substr(2);
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::fprintf(stderr, "stapl asm: unknown option '%s'\n", a.c_str());
      usage(stderr);
      return 2;
    } else if (source.empty()) {
      source = a;
    } else {
      std::fprintf(stderr, "stapl asm: more than one source file ('%s')\n", a.c_str());
      return 2;
    }
  }
  if (source.empty() || output.empty()) {
    usage(stderr);
    return 2;
  }
  std::string error;
  auto text = read_file(source, kMaxSource, error);
  if (!text) {
    std::fprintf(stderr, "stapl asm: cannot read %s: %s\n", source.c_str(), error.c_str());
    return 1;
  }
  AsmResult result = assemble(
      std::string_view(reinterpret_cast<const char *>(text->data()), text->size()), source);
  for (const std::string &message : result.errors) {
    std::fprintf(stderr, "%s\n", message.c_str());
  }
  if (!result.errors.empty()) return 1;
  WriteResult file = write_bytecode(result.program);
  if (!file.error.empty()) {
    std::fprintf(stderr, "%s: %s\n", source.c_str(), file.error.c_str());
    return 1;
  }
  if (!write_file(output, file.bytes, error)) {
    std::fprintf(stderr, "stapl asm: cannot write %s: %s\n", output.c_str(), error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace stapl
