#include "korbalt/random.h"

#include <math.h>

namespace korbalt {

CutExponential::CutExponential() {
  // x(u) = -ln(1 - u/2) for u in [0, 1] inverts the law's distribution below ln2.
  for (int i = 0; i <= kCutTableSize; ++i) x[i] = -log(1.0 - 0.5 * i / kCutTableSize);
}

const CutExponential kCutExponential;

namespace {

// Probability below x of the standard normal law.
double belowNormal(double x) { return 0.5 * erfc(-x / sqrt(2.0)); }

// Newton's steps from `x` towards the quantile of `p`; each entry starts from the one before,
// close enough for a few steps to reach full precision.
double normalQuantile(double p, double x) {
  for (int step = 0; step < 50; ++step) {
    const double next = x - (belowNormal(x) - p) / (exp(-0.5 * x * x) / sqrt(2.0 * M_PI));
    if (fabs(next - x) < 1e-13) return next;
    x = next;
  }
  return x;
}

}  // namespace

NormalQuantiles::NormalQuantiles() {
  const double quarter = 0.25 / kNormalTableSize;
  x[0] = normalQuantile(quarter, -3.5);
  for (int i = 1; i < kNormalTableSize; ++i)
    x[i] = normalQuantile(double(i) / kNormalTableSize, x[i - 1]);
  x[kNormalTableSize] = -x[0];
}

const NormalQuantiles& normalQuantiles() {
  static const NormalQuantiles table;
  return table;
}

}  // namespace korbalt
