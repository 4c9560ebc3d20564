// The vocabulary of separable filtering: a short 1-D filter and the choice of border rule.
#pragma once

namespace yv {

// N taps in correlation order: out(p) = sum_i coeff[i] * in(p + i - offset). Built as an
// aggregate by its user, e.g. Filter<float, 3> d = {{-0.5f, 0.f, 0.5f}, 1}.
template <class T, int N>
struct Filter {
  T coeff[N];
  int offset;  // the tap that lies on the output sample, 0 .. N - 1
};

// Fixed to int: any 32-bit value can be passed in (and is refused by the checks).
enum BorderTreatment : int { MIRROR = 0, CLAMP = 1, ZERO = 2 };

}  // namespace yv
