// Random numbers for the stream generator: cheap enough to draw one per event at a hundred
// million events per second.
#ifndef RAVIK_KORBALT_RANDOM_H
#define RAVIK_KORBALT_RANDOM_H

#include <stdint.h>

namespace korbalt {

// SplitMix64: one add and a few multiplies per number, a 64-bit state, any seed is good.
class Random {
public:
  explicit Random(uint64_t seed = 0) : _state(seed) {}
  uint64_t next() {
    uint64_t z = (_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

private:
  uint64_t _state;
};

// Mixes two numbers into a seed, so that related seeds give unrelated sequences.
inline uint64_t mixSeed(uint64_t a, uint64_t b) {
  Random r(a ^ (b * 0xD6E8FEB86659FD93ull));
  r.next();
  return r.next();
}

constexpr int kCutTableBits = 10;
constexpr int kCutTableSize = 1 << kCutTableBits;
// The quantiles of the exponential law cut to [0, ln2), at kCutTableSize + 1 even steps.
struct CutExponential {
  CutExponential();
  double x[kCutTableSize + 1];
};
extern const CutExponential kCutExponential;

// A standard exponential variate (mean 1) from one 64-bit random number, leaving bits 32..47
// of `bits` for the caller. Exp = k ln2 + x, where k counts fair coin flips (trailing zeros of
// the top 16 bits, more from `more` in the rare case that all 16 are zero) and x follows the
// exponential law cut to [0, ln2), interpolated in a table.
inline double exponential(uint64_t bits, Random& more) {
  constexpr double kLn2 = 0.69314718055994530942;
  const uint32_t index = bits & (kCutTableSize - 1);
  const double fraction = ((bits >> kCutTableBits) & 0x3FFFFF) * (1.0 / 0x400000);
  const double* table = kCutExponential.x;
  const double x = table[index] + (table[index + 1] - table[index]) * fraction;
  uint32_t coins = static_cast<uint32_t>(bits >> 48);
  int k = 0;
  while (coins == 0) {
    k += 16;
    coins = static_cast<uint32_t>(more.next() >> 48);
  }
  return (k + __builtin_ctz(coins)) * kLn2 + x;
}

constexpr int kNormalTableBits = 12;
constexpr int kNormalTableSize = 1 << kNormalTableBits;
// The quantiles of the standard normal law at kNormalTableSize + 1 even steps of probability;
// the two ends, which would be infinite, are the quantiles of 1/4 step from them (about 3.8).
struct NormalQuantiles {
  NormalQuantiles();
  double x[kNormalTableSize + 1];
};
// Built at the first call (a millisecond), so that programs without jitter do not pay for it.
const NormalQuantiles& normalQuantiles();

// The quantile of probability u (0 to 1) interpolated in the table: of the normal law with its
// tails cut at about 3.8.
inline double tableQuantile(double u, const NormalQuantiles& table) {
  const double scaled = u * kNormalTableSize;
  const int index = scaled < kNormalTableSize ? int(scaled) : kNormalTableSize - 1;
  return table.x[index] + (table.x[index + 1] - table.x[index]) * (scaled - index);
}

}  // namespace korbalt

#endif
