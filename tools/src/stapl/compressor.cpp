#include "tools/src/stapl/compressor.h"

#include <algorithm>
#include <limits>

namespace stapl {
namespace {

constexpr uint32_t kMaxMatch = 255;  // the length field is 8 bits
constexpr uint32_t kMinMatch = 3;    // shorter references never beat literals
constexpr int kHashBits = 15;
constexpr int kChainLimit = 48;      // candidates tried per position
constexpr uint32_t kGoodMatch = 96;  // a match this long ends the search at a position

// Packs fields least significant bit first, as the expander's bit reader takes them.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t> &out) : out_(out) {}
  void put(uint32_t value, unsigned bits) {
    for (unsigned i = 0; i < bits; ++i) {
      if (used_ == 0) out_.push_back(0);
      if ((value >> i) & 1u) out_.back() |= static_cast<uint8_t>(1u << used_);
      used_ = (used_ + 1) % 8;
    }
  }

 private:
  std::vector<uint8_t> &out_;
  unsigned used_ = 0;  // bits of the last byte already written
};

unsigned bits_required(uint32_t n) {
  unsigned bits = 1;
  while ((n >> bits) != 0) ++bits;
  return bits;
}

uint32_t hash3(const uint8_t *p) {
  uint32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
  return (v * 2654435761u) >> (32 - kHashBits);
}

struct Match {
  uint32_t length = 0;
  uint32_t offset = 0;
};

// Longest earlier occurrence (within the window) of the bytes at each position.
std::vector<Match> find_matches(std::span<const uint8_t> data, uint32_t window) {
  const uint32_t n = static_cast<uint32_t>(data.size());
  std::vector<Match> best(n);
  if (n < kMinMatch) return best;
  constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
  std::vector<uint32_t> head(1u << kHashBits, kNone);
  std::vector<uint32_t> prev(n, kNone);
  for (uint32_t i = 0; i + kMinMatch <= n; ++i) {
    uint32_t h = hash3(&data[i]);
    uint32_t limit = std::min(kMaxMatch, n - i);
    int tries = 0;
    for (uint32_t j = head[h]; j != kNone && i - j <= window && tries < kChainLimit;
         j = prev[j], ++tries) {
      uint32_t len = 0;
      // The source may run into the bytes being produced: the expander copies byte by byte.
      while (len < limit && data[j + len] == data[i + len]) ++len;
      if (len > best[i].length) {
        best[i] = {len, i - j};
        if (len == limit || len >= kGoodMatch) break;
      }
    }
    if (best[i].length < kMinMatch) best[i] = {};
    prev[i] = head[h];
    head[h] = i;
  }
  return best;
}

}  // namespace

std::vector<uint8_t> compress_block(std::span<const uint8_t> data, int format_version) {
  const uint32_t window = format_version <= 1 ? 8192 : 8191;
  const uint32_t n = static_cast<uint32_t>(data.size());
  std::vector<Match> matches = find_matches(data, window);

  // Cheapest encoding of the tail from each position; step[i] is 0 for a literal group,
  // else the length of the reference taken there.
  std::vector<uint64_t> cost(n + 1, 0);
  std::vector<uint32_t> step(n + 1, 0);
  for (uint32_t i = n; i-- > 0;) {
    uint32_t literals = std::min<uint32_t>(3, n - i);
    cost[i] = 1 + 8 * literals + cost[i + literals];
    step[i] = 0;
    if (matches[i].length >= kMinMatch) {
      uint64_t head = 1 + bits_required(std::min(i, window)) + 8;
      for (uint32_t len = kMinMatch; len <= matches[i].length; ++len) {
        if (head + cost[i + len] < cost[i]) {
          cost[i] = head + cost[i + len];
          step[i] = len;
        }
      }
    }
  }

  std::vector<uint8_t> out;
  out.reserve(4 + cost[0] / 8 + 1);
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(n >> (8 * b)));
  BitWriter writer(out);
  for (uint32_t i = 0; i < n;) {
    if (step[i] == 0) {
      writer.put(0, 1);
      uint32_t literals = std::min<uint32_t>(3, n - i);
      for (uint32_t k = 0; k < literals; ++k) writer.put(data[i + k], 8);
      i += literals;
    } else {
      writer.put(1, 1);
      writer.put(matches[i].offset, bits_required(std::min(i, window)));
      writer.put(step[i], 8);
      i += step[i];
    }
  }
  return out;
}

}  // namespace stapl
