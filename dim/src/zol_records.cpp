#include "dim/src/zol_records.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/dim/log_limit.h"

namespace {

// A station that sends nothing but oversized batches gets a few lines, then a count.
dim::LogLimit &beyond_log() {
  static auto *limit = new dim::LogLimit(10, std::chrono::seconds(60), stdout);
  return *limit;
}

}  // namespace

int register_requests_to_serve(const void *data, const int *size) {
  int bytes = (data != nullptr && size != nullptr && *size > 0) ? *size : 0;
  int count = bytes / static_cast<int>(sizeof(WRITE));
  if (count > MAX_REGISTERS) {
    beyond_log().print("ReadWriteRegisters: " + std::to_string(count - MAX_REGISTERS) +
                       " requests beyond the first " + std::to_string(MAX_REGISTERS) + " ignored");
    count = MAX_REGISTERS;
  }
  return count;
}
