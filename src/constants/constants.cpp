// SPDX-License-Identifier: BSD-3-Clause
#include "constants/constants.h"

#include "float/arithmetic.h"

namespace corx_internal {
namespace {

BigFloat integerAt(std::int64_t n, std::int64_t precision) {
    return initBigFloat(static_cast<double>(n), precision);
}

}  // namespace

BigFloat atanTaylor(const BigFloat& x, std::int64_t terms) {
    BigFloat sum = x;
    BigFloat power = x;
    const BigFloat x2 = x * x;
    // The running values are updated in place (the same rounded steps as
    // the operators), so the loop reuses their storage instead of making
    // new values every step.
    BigFloat divisor;
    BigFloat term;
    for (std::int64_t i = 1; i < terms; ++i) {
        mulRoundedInto(power, power, x2, WorkingPrecision, rmNearest);  // power * x2
        initBigFloatInto(divisor, static_cast<double>(2 * i + 1), WorkingPrecision);
        divRoundedInto(term, power, divisor, WorkingPrecision, rmNearest);  // power / (2i + 1)
        // sum - term is sum + (-term), as the subtraction operator forms it.
        if (i % 2 == 1 && !isZero(term)) term.negative = !term.negative;
        addRoundedInto(sum, sum, term, WorkingPrecision, rmNearest);
    }
    return sum;
}

BigFloat piBigFloat(std::int64_t precision, std::int64_t terms) {
    const BigFloat one = integerAt(1, precision);
    const BigFloat five = integerAt(5, precision);
    const BigFloat v239 = integerAt(239, precision);
    const BigFloat sixteen = integerAt(16, precision);
    const BigFloat four = integerAt(4, precision);

    const BigFloat a1 = one / five;
    const BigFloat a2 = one / v239;
    const BigFloat t1 = atanTaylor(a1, terms);
    const BigFloat t2 = atanTaylor(a2, terms);
    const BigFloat scaled1 = sixteen * t1;
    const BigFloat scaled2 = four * t2;
    return scaled1 - scaled2;
}

}  // namespace corx_internal
