// Building register and subscription records as the 32-bit words a station sends.
#pragma once

#include <cstdint>
#include <vector>

namespace zoltest {

inline std::vector<uint32_t> write_rec(int32_t method, uint32_t addr, uint32_t val, uint32_t mask,
                                       int32_t write) {
  return {static_cast<uint32_t>(method), addr, val, mask, static_cast<uint32_t>(write)};
}

inline std::vector<uint32_t> cntreq(uint32_t addr, int32_t interval) {
  return {addr, static_cast<uint32_t>(interval)};
}

inline std::vector<uint32_t> join(std::initializer_list<std::vector<uint32_t>> parts) {
  std::vector<uint32_t> out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace zoltest
