#include "constants/constants.h"

#include "float/arithmetic.h"

namespace corx {
namespace {

BigFloat integerAt(std::int64_t n, std::int64_t precision) {
    return initBigFloat(static_cast<double>(n), precision);
}

}  // namespace

BigFloat atanTaylor(const BigFloat& x, std::int64_t terms) {
    BigFloat sum = x;
    BigFloat power = x;
    const BigFloat x2 = x * x;
    for (std::int64_t i = 1; i < terms; ++i) {
        power = power * x2;
        const BigFloat term = power / integerAt(2 * i + 1, WorkingPrecision);
        sum = (i % 2 == 1) ? sum - term : sum + term;
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

}  // namespace corx
