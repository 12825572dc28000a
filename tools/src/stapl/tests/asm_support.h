// Shared helpers of the tool's tests: assemble a text and lay it out in one step.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/src/stapl/assembler.h"
#include "tools/src/stapl/bytecode_writer.h"

namespace stapl_test {

// The file for `source`; fails the test (and returns an empty vector) on any error.
inline std::vector<uint8_t> build(const std::string &source) {
  stapl::AsmResult r = stapl::assemble(source, "test.stapl");
  for (const std::string &e : r.errors) ADD_FAILURE() << e;
  if (!r.errors.empty()) return {};
  stapl::WriteResult w = stapl::write_bytecode(r.program);
  EXPECT_EQ(w.error, "");
  return w.bytes;
}

// The messages for a source that must not assemble.
inline std::vector<std::string> errors_of(const std::string &source) {
  return stapl::assemble(source, "bad.stapl").errors;
}

inline uint32_t be32(const std::vector<uint8_t> &f, size_t at) {
  return (uint32_t{f.at(at)} << 24) | (uint32_t{f.at(at + 1)} << 16) |
         (uint32_t{f.at(at + 2)} << 8) | f.at(at + 3);
}

}  // namespace stapl_test
