/* SPDX-License-Identifier: BSD-3-Clause */
// Fixed-size vectors: the by-value structs of the C interface and their
// operations. Components are processed in the order x, y, z, w; every
// operation is rounded on its own.
#pragma once

#include <corx/corx.h>

namespace corx_internal {

CorxVec2 add(CorxVec2 a, CorxVec2 b);
CorxVec3 add(CorxVec3 a, CorxVec3 b);
CorxVec4 add(CorxVec4 a, CorxVec4 b);
CorxVec2 sub(CorxVec2 a, CorxVec2 b);
CorxVec3 sub(CorxVec3 a, CorxVec3 b);
CorxVec4 sub(CorxVec4 a, CorxVec4 b);
CorxVec2 scale(CorxVec2 v, double factor);
CorxVec3 scale(CorxVec3 v, double factor);
CorxVec4 scale(CorxVec4 v, double factor);

// Accumulated from +0.0 in component order.
double dot(CorxVec2 a, CorxVec2 b);
double dot(CorxVec3 a, CorxVec3 b);
double dot(CorxVec4 a, CorxVec4 b);

// sqrt(dot(v, v)), unscaled: large components overflow, tiny ones vanish.
double length(CorxVec2 v);
double length(CorxVec3 v);
double length(CorxVec4 v);

// v / length(v); the zero vector when the length is exactly 0.
CorxVec2 normalize(CorxVec2 v);
CorxVec3 normalize(CorxVec3 v);
CorxVec4 normalize(CorxVec4 v);

// epsilon > |a.c - b.c| for every component, strictly.
bool almostEqual(CorxVec2 a, CorxVec2 b, double epsilon);
bool almostEqual(CorxVec3 a, CorxVec3 b, double epsilon);

double cross2d(CorxVec2 a, CorxVec2 b);
CorxVec2 perp(CorxVec2 v);
CorxVec2 perpCw(CorxVec2 v);
CorxVec3 cross(CorxVec3 a, CorxVec3 b);

}  // namespace corx_internal
