#include "dim/src/zol_records.h"

#include <cstdio>

int register_requests_to_serve(const void *data, const int *size) {
  int bytes = (data != nullptr && size != nullptr && *size > 0) ? *size : 0;
  int count = bytes / static_cast<int>(sizeof(WRITE));
  if (count > MAX_REGISTERS) {
    std::printf("ReadWriteRegisters: %d requests beyond the first %d ignored\n",
                count - MAX_REGISTERS, MAX_REGISTERS);
    count = MAX_REGISTERS;
  }
  return count;
}
