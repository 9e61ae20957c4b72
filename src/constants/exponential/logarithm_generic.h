/* SPDX-License-Identifier: BSD-3-Clause */
// The natural logarithm at the working precision, by the series of the
// inverse hyperbolic tangent.
#pragma once

#include <cstdint>

#include "float/big_float.h"

namespace corx_internal {

// ln x = 2 atanh(t) with t = (x - 1) / (x + 1): twice the sum over
// k = 0 .. terms-1 of t^(2k+1) / (2k+1), every step at 256 bits rounded to
// nearest. There is no argument reduction: the terms shrink by t^2, so the
// accuracy for a given term count falls as x moves away from 1. With
// terms <= 1 the result is 2t.
// Raises ValueError ("lnGeneric: input <= 0 (real log undefined)") for x <= 0,
// before any series work.
BigFloat lnGeneric(const BigFloat& x, std::int64_t terms);

}  // namespace corx_internal
