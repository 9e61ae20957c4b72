/* SPDX-License-Identifier: BSD-3-Clause */
// Series evaluation at the working precision: the arctangent by its Taylor
// series and pi by Machin's formula.
//
// Every step uses the BigFloat operators (256 bits, rounded to nearest) and
// every small integer enters through initBigFloat. The series run the number
// of terms they are given; there is no convergence test, so the result for a
// given argument and term count is fixed bit for bit.
#pragma once

#include <cstdint>
#include <version>

#include "float/big_float.h"

namespace corx_internal {

// Storage of a module-level cache: the zero record from load time on
// (constant-initialised, so nothing runs before the start-up fills it), and
// never destroyed implicitly at exit. Only the global teardown entry
// releases a cache, and it stays safe to run after the library's static
// destructors, from a host's exit handler for instance.
//
// The zero record is a constant only where the standard library's vector
// has a constant default constructor (C++20's constexpr vector: libstdc++
// 12 has it, emscripten 3.1's libc++ has not). Without one the slots are
// initialised when the module loads, still before any entry can run the
// start-up: nothing in the library starts it from a static initialiser.
#if defined(__cpp_lib_constexpr_vector)
#define CORX_CACHE_CONSTINIT constinit
#else
#define CORX_CACHE_CONSTINIT
#endif

template <class T>
union CacheSlot {
    T value;
    constexpr CacheSlot() : value() {}
    CacheSlot(const CacheSlot&) = delete;
    CacheSlot& operator=(const CacheSlot&) = delete;
    ~CacheSlot() {}
};

// Sum over k = 0 .. terms-1 of (-1)^k x^(2k+1) / (2k+1). With terms <= 1 the
// result is a copy of x.
BigFloat atanTaylor(const BigFloat& x, std::int64_t terms);

// pi = 16 atan(1/5) - 4 atan(1/239), both series with `terms` terms.
// `precision` is the precision at which the integers 1, 5, 239, 16 and 4 are
// converted; the arithmetic runs at 256 bits whatever it is.
BigFloat piBigFloat(std::int64_t precision, std::int64_t terms);

}  // namespace corx_internal
