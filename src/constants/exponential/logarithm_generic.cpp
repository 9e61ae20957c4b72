// SPDX-License-Identifier: BSD-3-Clause
#include "constants/exponential/logarithm_generic.h"

#include "float/arithmetic.h"
#include "float/comparison.h"
#include "runtime/errors.h"

namespace corx_internal {

BigFloat lnGeneric(const BigFloat& x, std::int64_t terms) {
    const BigFloat one = initBigFloat(1.0, WorkingPrecision);
    const BigFloat zero = initBigFloat(0.0, WorkingPrecision);
    if (cmp(x, zero) <= 0) throw ValueError("lnGeneric: input <= 0 (real log undefined)");

    const BigFloat num = x - one;
    const BigFloat den = x + one;
    const BigFloat t = num / den;
    const BigFloat t2 = t * t;

    BigFloat sum = t;
    BigFloat power = t;
    // The running values are updated in place (the same rounded steps as
    // the operators), reusing their storage from step to step.
    BigFloat divisor;
    BigFloat term;
    for (std::int64_t i = 1; i < terms; ++i) {
        mulRoundedInto(power, power, t2, WorkingPrecision, rmNearest);  // power * t2
        initBigFloatInto(divisor, static_cast<double>(2 * i + 1), WorkingPrecision);
        divRoundedInto(term, power, divisor, WorkingPrecision, rmNearest);  // power / (2i + 1)
        addRoundedInto(sum, sum, term, WorkingPrecision, rmNearest);
    }
    return initBigFloat(2.0, WorkingPrecision) * sum;
}

}  // namespace corx_internal
