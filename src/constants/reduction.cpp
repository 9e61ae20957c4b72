// SPDX-License-Identifier: BSD-3-Clause
#include "constants/reduction.h"

#include "constants/constants.h"
#include "float/arithmetic.h"

namespace corx_internal {
namespace {

CORX_CACHE_CONSTINIT CacheSlot<BigFloat> gPi;
CORX_CACHE_CONSTINIT CacheSlot<BigFloat> gTwoPi;

constexpr std::int64_t kPiTerms = 96;

}  // namespace

const BigFloat& piCache = gPi.value;
const BigFloat& twoPiCache = gTwoPi.value;

void initReduction() {
    gPi.value = piBigFloat(WorkingPrecision, kPiTerms);
    gTwoPi.value = gPi.value + gPi.value;
}

void teardownReduction() noexcept {
    gTwoPi.value = BigFloat{};
    gPi.value = BigFloat{};
}

}  // namespace corx_internal
