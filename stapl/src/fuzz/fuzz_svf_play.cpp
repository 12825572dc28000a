// The SVF reader and player on arbitrary text, playing on the in-process simulated chain.
// The cycle limit keeps a statement that asks for billions of cycles from stalling the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "stapl/src/fuzz/sim_chain_port.h"
#include "stapl/src/svf_parser.h"
#include "stapl/src/svf_player.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  const auto length = static_cast<int64_t>(size);

  // Reading alone: every statement ends, and the reader never moves backwards.
  SVF_PARSER parser;
  svf_parser_init(&parser, text, length);
  SVF_STATEMENT st;
  char error[160];
  for (int64_t last = -1;;) {
    const int got = svf_parse_next(&parser, &st, error, sizeof error);
    if (got <= 0) break;
    if (parser.pos <= last || parser.pos > length) std::abort();
    last = parser.pos;
  }

  static FILE *devnull = std::freopen("/dev/null", "w", stdout);
  (void)devnull;
  fuzz_port::reset();
  svf_tck_limit = 1 << 16;
  const int rc = svf_play(text, length);
  if (rc < SVF_OK || rc > SVF_LIMIT) std::abort();
  if (fuzz_port::cycles() > static_cast<uint64_t>(svf_tck_limit) + 64) std::abort();
  return 0;
}
