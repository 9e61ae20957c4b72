/* SPDX-License-Identifier: BSD-3-Clause */
// Module `reduction`: pi and 2·pi at 256 bits, computed once at start-up.
//
// The caches hold the zero record until the start-up fills them and again
// after the global teardown has released them. The library reads them for
// nothing else; they are exposed read-only.
#pragma once

#include "float/big_float.h"

namespace corx_internal {

extern const BigFloat& piCache;     // piBigFloat(256, 96)
extern const BigFloat& twoPiCache;  // piCache + piCache (exact)

// Start-up: piCache, then twoPiCache. May raise (the start-up reports it).
void initReduction();

// Releases twoPiCache, then piCache, leaving both as the zero record.
void teardownReduction() noexcept;

}  // namespace corx_internal
