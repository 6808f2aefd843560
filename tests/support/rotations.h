// Rotations in double from the right-handed elementary rotations: the
// references of the motion suites, written apart from the library's code.
#pragma once

#include <array>
#include <cmath>

namespace support {

using V3 = std::array<double, 3>;
using M3 = std::array<V3, 3>; // [row][column]

inline double dot(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline V3 mul(const M3& a, const V3& v) { return {dot(a[0], v), dot(a[1], v), dot(a[2], v)}; }
inline M3 transpose(const M3& a) { return {{{a[0][0], a[1][0], a[2][0]}, {a[0][1], a[1][1], a[2][1]}, {a[0][2], a[1][2], a[2][2]}}}; }
inline M3 mul(const M3& a, const M3& b)
{
    const M3 t = transpose(b);
    return {mul(t, a[0]), mul(t, a[1]), mul(t, a[2])};
}
// Rz(θ) turns +x toward +y.
inline M3 Rx(double a) { return {{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}}; }
inline M3 Ry(double a) { return {{{std::cos(a), 0, std::sin(a)}, {0, 1, 0}, {-std::sin(a), 0, std::cos(a)}}}; }
inline M3 Rz(double a) { return {{{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}}}; }
// Rz(c)·Ry(b)·Rx(a), the order of the rigid-body transforms.
inline M3 zyx(double a, double b, double c) { return mul(mul(Rz(c), Ry(b)), Rx(a)); }

} // namespace support
