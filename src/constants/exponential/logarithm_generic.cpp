#include "constants/exponential/logarithm_generic.h"

#include "float/arithmetic.h"
#include "float/comparison.h"
#include "runtime/errors.h"

namespace corx {

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
    for (std::int64_t i = 1; i < terms; ++i) {
        power = power * t2;
        sum = sum + power / initBigFloat(static_cast<double>(2 * i + 1), WorkingPrecision);
    }
    return initBigFloat(2.0, WorkingPrecision) * sum;
}

}  // namespace corx
