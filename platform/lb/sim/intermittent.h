// When an injected fault acts: always, on every Nth access it applies to, or on each such
// access with a probability drawn from a seeded generator kept in the board, so that a run
// with the same seed and the same accesses fails at the same places again.
#pragma once

#include <cstdint>

namespace lbsim {

inline constexpr uint32_t kPpm = 1000000;

struct Intermittent {
  uint32_t every;     // > 0: the fault acts on accesses every, 2*every, ...
  uint32_t seen;      // accesses counted for `every`
  uint32_t prob_ppm;  // > 0: the fault acts with this probability (parts per million)
  uint32_t pad;
  uint64_t rng;  // generator state, from the seed
};

inline Intermittent intermittent_always() { return Intermittent{}; }

inline Intermittent intermittent_every(uint32_t every) {
  Intermittent w{};
  w.every = every;
  return w;
}

inline Intermittent intermittent_random(uint32_t prob_ppm, uint64_t seed) {
  Intermittent w{};
  w.prob_ppm = prob_ppm == 0 ? 1 : prob_ppm;
  w.rng = seed;
  return w;
}

inline bool intermittent_is_always(const Intermittent &w) {
  return w.every == 0 && w.prob_ppm == 0;
}

// Called once per access the fault applies to: whether it acts on this one.
inline bool intermittent_fires(Intermittent &w) {
  if (w.every != 0) return ++w.seen % w.every == 0;
  if (w.prob_ppm != 0) {
    // splitmix64: one step per access, so the sequence depends only on the seed.
    uint64_t z = (w.rng += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return z % kPpm < w.prob_ppm;
  }
  return true;
}

}  // namespace lbsim
