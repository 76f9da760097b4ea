#include "korbalt/random.h"

#include <math.h>

namespace korbalt {

CutExponential::CutExponential() {
  // x(u) = -ln(1 - u/2) for u in [0, 1] inverts the law's distribution below ln2.
  for (int i = 0; i <= kCutTableSize; ++i) x[i] = -log(1.0 - 0.5 * i / kCutTableSize);
}

const CutExponential kCutExponential;

}  // namespace korbalt
