/* SPDX-License-Identifier: BSD-3-Clause */
// Module `float_math`: the logarithm (see exponential/logarithm_generic.h)
// and the constants derived from pi and ln 2 at 256 bits, computed once at
// start-up after module `reduction`, whose piCache they start from.
//
// The caches hold the zero record until the start-up fills them and again
// after the global teardown has released them; they are exposed read-only.
#pragma once

#include "constants/exponential/logarithm_generic.h"
#include "float/big_float.h"

namespace corx_internal {

extern const BigFloat& halfPiCache;          // piCache with the exponent one lower
extern const BigFloat& quarterPiCache;       // piCache with the exponent two lower
extern const BigFloat& threeQuarterPiCache;  // halfPiCache + quarterPiCache
extern const BigFloat& ln2Cache;             // lnGeneric(2, 200 terms)

// Start-up, in the order of the declarations above. Needs piCache; may
// raise (the start-up reports it).
void initFloatMath();

// Releases the four caches in the reverse order of their creation, leaving
// each as the zero record.
void teardownFloatMath() noexcept;

}  // namespace corx_internal
