// Running a built image through jbi_execute in the core tests, with the outputs gathered and
// the player's heap checked afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbistub.h"
#include "stapl/src/tests/support/test_port.h"

namespace playertest::run {

// Sentinels show whether the player wrote an output.
constexpr long kUnwrittenAddress = -777;
constexpr int kUnwrittenExit = -555;
constexpr int kUnwrittenFormat = -333;

struct Outcome {
  int result = -1;
  long error_address = kUnwrittenAddress;
  int exit_code = kUnwrittenExit;
  int format_version = kUnwrittenFormat;
  std::string printed;   // standard output of the run
  long live_blocks = 0;  // player heap blocks still held after the run
};

inline Outcome run(const std::vector<uint8_t> &image, const char *action = "main",
                   std::vector<const char *> init = {}, long size = -1) {
  Outcome o;
  playertest::port::reset();
  const long before = jbi_malloc_live_blocks;
  std::vector<const char *> list = init;
  list.push_back(nullptr);
  testing::internal::CaptureStdout();
  o.result = jbi_execute(image.data(), size < 0 ? static_cast<long>(image.size()) : size, action,
                         init.empty() ? nullptr : list.data(), 0, &o.error_address, &o.exit_code,
                         &o.format_version);
  o.printed = testing::internal::GetCapturedStdout();
  o.live_blocks = jbi_malloc_live_blocks - before;
  return o;
}

}  // namespace playertest::run
