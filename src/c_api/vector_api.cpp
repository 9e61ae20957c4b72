// SPDX-License-Identifier: BSD-3-Clause
// Exported fixed-size vector functions: thin wrappers, no allocation. They
// compute with doubles, so they run in the library's environment too.
#include <corx/corx.h>

#include "c_api/boundary.h"
#include "types/vector.h"

using corx_internal::guarded;

extern "C" {

CORX_API CorxVec2 corx_vec2_add(CorxVec2 a, CorxVec2 b) { return guarded([&] { return corx_internal::add(a, b); }); }
CORX_API CorxVec2 corx_vec2_sub(CorxVec2 a, CorxVec2 b) { return guarded([&] { return corx_internal::sub(a, b); }); }
CORX_API CorxVec2 corx_vec2_scale(CorxVec2 v, double f) { return guarded([&] { return corx_internal::scale(v, f); }); }
CORX_API double corx_vec2_dot(CorxVec2 a, CorxVec2 b) { return guarded([&] { return corx_internal::dot(a, b); }); }
CORX_API double corx_vec2_length(CorxVec2 v) { return guarded([&] { return corx_internal::length(v); }); }
CORX_API CorxVec2 corx_vec2_normalize(CorxVec2 v) { return guarded([&] { return corx_internal::normalize(v); }); }
CORX_API bool corx_vec2_almost_equal(CorxVec2 a, CorxVec2 b, double e) { return guarded([&] { return corx_internal::almostEqual(a, b, e); }); }
CORX_API double corx_vec2_cross2d(CorxVec2 a, CorxVec2 b) { return guarded([&] { return corx_internal::cross2d(a, b); }); }
CORX_API CorxVec2 corx_vec2_perp(CorxVec2 v) { return guarded([&] { return corx_internal::perp(v); }); }
CORX_API CorxVec2 corx_vec2_perp_cw(CorxVec2 v) { return guarded([&] { return corx_internal::perpCw(v); }); }

CORX_API CorxVec3 corx_vec3_add(CorxVec3 a, CorxVec3 b) { return guarded([&] { return corx_internal::add(a, b); }); }
CORX_API CorxVec3 corx_vec3_sub(CorxVec3 a, CorxVec3 b) { return guarded([&] { return corx_internal::sub(a, b); }); }
CORX_API CorxVec3 corx_vec3_scale(CorxVec3 v, double f) { return guarded([&] { return corx_internal::scale(v, f); }); }
CORX_API double corx_vec3_dot(CorxVec3 a, CorxVec3 b) { return guarded([&] { return corx_internal::dot(a, b); }); }
CORX_API double corx_vec3_length(CorxVec3 v) { return guarded([&] { return corx_internal::length(v); }); }
CORX_API CorxVec3 corx_vec3_normalize(CorxVec3 v) { return guarded([&] { return corx_internal::normalize(v); }); }
CORX_API bool corx_vec3_almost_equal(CorxVec3 a, CorxVec3 b, double e) { return guarded([&] { return corx_internal::almostEqual(a, b, e); }); }
CORX_API CorxVec3 corx_vec3_cross(CorxVec3 a, CorxVec3 b) { return guarded([&] { return corx_internal::cross(a, b); }); }

CORX_API CorxVec4 corx_vec4_add(CorxVec4 a, CorxVec4 b) { return guarded([&] { return corx_internal::add(a, b); }); }
CORX_API CorxVec4 corx_vec4_sub(CorxVec4 a, CorxVec4 b) { return guarded([&] { return corx_internal::sub(a, b); }); }
CORX_API CorxVec4 corx_vec4_scale(CorxVec4 v, double f) { return guarded([&] { return corx_internal::scale(v, f); }); }
CORX_API double corx_vec4_dot(CorxVec4 a, CorxVec4 b) { return guarded([&] { return corx_internal::dot(a, b); }); }
CORX_API double corx_vec4_length(CorxVec4 v) { return guarded([&] { return corx_internal::length(v); }); }
CORX_API CorxVec4 corx_vec4_normalize(CorxVec4 v) { return guarded([&] { return corx_internal::normalize(v); }); }

}
