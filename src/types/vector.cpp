// SPDX-License-Identifier: BSD-3-Clause
#include "types/vector.h"

#include <cmath>

namespace corx_internal {

CorxVec2 add(CorxVec2 a, CorxVec2 b) { return {a.x + b.x, a.y + b.y}; }
CorxVec3 add(CorxVec3 a, CorxVec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
CorxVec4 add(CorxVec4 a, CorxVec4 b) { return {a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w}; }
CorxVec2 sub(CorxVec2 a, CorxVec2 b) { return {a.x - b.x, a.y - b.y}; }
CorxVec3 sub(CorxVec3 a, CorxVec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
CorxVec4 sub(CorxVec4 a, CorxVec4 b) { return {a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w}; }
CorxVec2 scale(CorxVec2 v, double f) { return {v.x * f, v.y * f}; }
CorxVec3 scale(CorxVec3 v, double f) { return {v.x * f, v.y * f, v.z * f}; }
CorxVec4 scale(CorxVec4 v, double f) { return {v.x * f, v.y * f, v.z * f, v.w * f}; }

double dot(CorxVec2 a, CorxVec2 b) {
    double s = 0.0;
    s = s + a.x * b.x;
    s = s + a.y * b.y;
    return s;
}

double dot(CorxVec3 a, CorxVec3 b) {
    double s = 0.0;
    s = s + a.x * b.x;
    s = s + a.y * b.y;
    s = s + a.z * b.z;
    return s;
}

double dot(CorxVec4 a, CorxVec4 b) {
    double s = 0.0;
    s = s + a.x * b.x;
    s = s + a.y * b.y;
    s = s + a.z * b.z;
    s = s + a.w * b.w;
    return s;
}

double length(CorxVec2 v) { return std::sqrt(dot(v, v)); }
double length(CorxVec3 v) { return std::sqrt(dot(v, v)); }
double length(CorxVec4 v) { return std::sqrt(dot(v, v)); }

CorxVec2 normalize(CorxVec2 v) {
    const double l = length(v);
    if (l == 0.0) return {0.0, 0.0};
    return {v.x / l, v.y / l};
}

CorxVec3 normalize(CorxVec3 v) {
    const double l = length(v);
    if (l == 0.0) return {0.0, 0.0, 0.0};
    return {v.x / l, v.y / l, v.z / l};
}

CorxVec4 normalize(CorxVec4 v) {
    const double l = length(v);
    if (l == 0.0) return {0.0, 0.0, 0.0, 0.0};
    return {v.x / l, v.y / l, v.z / l, v.w / l};
}

bool almostEqual(CorxVec2 a, CorxVec2 b, double e) {
    return e > std::fabs(a.x - b.x) && e > std::fabs(a.y - b.y);
}

bool almostEqual(CorxVec3 a, CorxVec3 b, double e) {
    return e > std::fabs(a.x - b.x) && e > std::fabs(a.y - b.y) && e > std::fabs(a.z - b.z);
}

double cross2d(CorxVec2 a, CorxVec2 b) { return a.x * b.y - a.y * b.x; }
CorxVec2 perp(CorxVec2 v) { return {-v.y, v.x}; }
CorxVec2 perpCw(CorxVec2 v) { return {v.y, -v.x}; }

CorxVec3 cross(CorxVec3 a, CorxVec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

}  // namespace corx_internal
