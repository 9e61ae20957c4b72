// SPDX-License-Identifier: BSD-3-Clause
#include "constants/float_math.h"

#include "constants/constants.h"
#include "constants/reduction.h"
#include "float/arithmetic.h"

namespace corx_internal {
namespace {

CORX_CACHE_CONSTINIT CacheSlot<BigFloat> gHalfPi;
CORX_CACHE_CONSTINIT CacheSlot<BigFloat> gQuarterPi;
CORX_CACHE_CONSTINIT CacheSlot<BigFloat> gThreeQuarterPi;
CORX_CACHE_CONSTINIT CacheSlot<BigFloat> gLn2;

constexpr std::int64_t kLn2Terms = 200;

}  // namespace

const BigFloat& halfPiCache = gHalfPi.value;
const BigFloat& quarterPiCache = gQuarterPi.value;
const BigFloat& threeQuarterPiCache = gThreeQuarterPi.value;
const BigFloat& ln2Cache = gLn2.value;

void initFloatMath() {
    gHalfPi.value = piCache;
    gHalfPi.value.exponent -= 1;
    gQuarterPi.value = piCache;
    gQuarterPi.value.exponent -= 2;
    gThreeQuarterPi.value = gHalfPi.value + gQuarterPi.value;
    gLn2.value = lnGeneric(initBigFloat(2.0, WorkingPrecision), kLn2Terms);
}

void teardownFloatMath() noexcept {
    gLn2.value = BigFloat{};
    gThreeQuarterPi.value = BigFloat{};
    gQuarterPi.value = BigFloat{};
    gHalfPi.value = BigFloat{};
}

}  // namespace corx_internal
