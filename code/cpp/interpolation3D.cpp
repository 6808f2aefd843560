#include "interpolation3D.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double sixth = 0.16666666666666666;

// The interpolation condition f[i] = (c[i-1] + 4c[i] + c[i+1]) / 6 with zero
// coefficients outside is a symmetric tridiagonal system; its elimination
// factors depend only on the position along the line, so one table for the
// longest axis serves every line of every axis.
struct ThomasTables {
    std::vector<double> pivot, ratio;
    explicit ThomasTables(int n) : pivot(std::max(n, 1)), ratio(std::max(n - 1, 1))
    {
        pivot[0] = 1.5;
        ratio[0] = 0.25;
        for (int k = 1; k < n - 1; ++k) {
            pivot[k] = 1.0 / ((4.0 - ratio[k - 1]) * sixth);
            ratio[k] = pivot[k] * sixth;
        }
        if (n >= 2) pivot[n - 1] = 1.0 / ((4.0 - ratio[n - 2]) * sixth);
    }
};

// Solves one line of m values at the given stride in place.
void solveLine(double* g, int m, long long stride, const ThomasTables& t)
{
    if (m <= 0) return;
    g[0] = g[0] * t.pivot[0];
    for (int k = 1; k < m; ++k) g[k * stride] = (g[(k - 1) * stride] * (-sixth) + g[k * stride]) * t.pivot[k];
    for (int k = m - 2; k >= 0; --k) g[k * stride] = g[k * stride] - t.ratio[k] * g[(k + 1) * stride];
}

// Continuous voxel index of a position along one axis.
inline float toIndex(float p, float extent, int n)
{
    const float step = extent / static_cast<float>(n);
    return (p - (step - extent) * 0.5f) / step;
}

inline glm::tvec3<float> toIndex(glm::tvec3<float> p, glm::tvec3<float> extent, glm::tvec3<int> dims)
{
    if (extent.x == 0.0f) return p;
    return {toIndex(p.x, extent.x, dims.x), toIndex(p.y, extent.y, dims.y), toIndex(p.z, extent.z, dims.z)};
}

// The four samples f+2, f+1, f, f-1 of one axis with their cubic B-spline
// weights (and optionally the weights' derivatives); samples outside the
// axis get weight 0. Returns false when none of them lies inside.
struct AxisSamples {
    int index[4];
    double w[4];
    double d[4];
};

bool axisSamples(float u, int n, bool withDerivative, AxisSamples& s)
{
    const double f = std::floor(static_cast<double>(u));
    // Also false for NaN: no index of a far or undefined position is formed.
    if (!(f >= -2.0 && f <= static_cast<double>(n))) return false;
    const double t = static_cast<double>(u) - f;
    const int fi = static_cast<int>(f);
    s.w[0] = t * sixth * t * t;
    s.w[3] = (t - 1.0) * (t * 0.5) + sixth - s.w[0];
    s.w[1] = t - 2.0 * s.w[0] + s.w[3];
    s.w[2] = 1.0 - s.w[0] - s.w[1] - s.w[3];
    if (withDerivative) {
        s.d[0] = t * 0.5 * t;
        s.d[3] = t - 0.5 - s.d[0];
        s.d[1] = 1.0 - 2.0 * s.d[0] + s.d[3];
        s.d[2] = -s.d[0] - s.d[1] - s.d[3];
    }
    for (int k = 0; k < 4; ++k) {
        s.index[k] = fi + 2 - k;
        if (s.index[k] < 0 || s.index[k] >= n) {
            s.index[k] = 0;
            s.w[k] = 0.0;
            s.d[k] = 0.0;
        }
    }
    return true;
}

} // namespace

std::vector<double> computeBSplineCoeff3D(float const* data, glm::tvec3<int> dims)
{
    const int nx = dims.x, ny = dims.y, nz = dims.z;
    if (nx <= 0 || ny <= 0 || nz <= 0) return {};
    const long long plane = static_cast<long long>(nx) * ny;
    std::vector<double> c(static_cast<std::size_t>(plane * nz));
    const ThomasTables tables(std::max({nx, ny, nz}));

    // Along z, reading the float voxels.
    for (int x = 0; x < nx; ++x)
        for (int y = 0; y < ny; ++y) {
            const long long o = x + static_cast<long long>(nx) * y;
            for (int z = 0; z < nz; ++z) c[o + z * plane] = data[o + z * plane];
            solveLine(c.data() + o, nz, plane, tables);
        }
    // Along y.
    for (int x = 0; x < nx; ++x)
        for (int z = 0; z < nz; ++z) solveLine(c.data() + x + plane * z, ny, nx, tables);
    // Along x.
    for (int y = 0; y < ny; ++y)
        for (int z = 0; z < nz; ++z) solveLine(c.data() + static_cast<long long>(nx) * (y + static_cast<long long>(ny) * z), nx, 1, tables);
    return c;
}

void evalBSpline3D(double* coeff, glm::tvec3<int> dims, std::vector<glm::tvec3<float>> const& grid, float* value,
                   glm::tvec3<float> extent)
{
    const long long nx = dims.x, plane = nx * dims.y;
    const std::size_t n = grid.size();
    if (dims.x <= 0 || dims.y <= 0 || dims.z <= 0) {
        std::fill_n(value, n, 0.0f);
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const glm::tvec3<float> u = toIndex(grid[i], extent, dims);
        AxisSamples sx, sy, sz;
        float v = 0.0f;
        if (axisSamples(u.x, dims.x, false, sx) && axisSamples(u.y, dims.y, false, sy) &&
            axisSamples(u.z, dims.z, false, sz)) {
            for (int a = 0; a < 4; ++a) {
                double byY = 0.0;
                for (int b = 0; b < 4; ++b) {
                    double byZ = 0.0;
                    const long long row = sx.index[a] + nx * sy.index[b];
                    for (int c = 0; c < 4; ++c) byZ += sz.w[c] * coeff[row + plane * sz.index[c]];
                    byY += sy.w[b] * byZ;
                }
                v += static_cast<float>(sx.w[a] * byY);
            }
        }
        value[i] = v;
    }
}

void evalBSplineAndGrad3D(double* coeff, glm::tvec3<int> dims, std::vector<glm::tvec3<float>> const& grid,
                          float* value, float* dx, float* dy, float* dz, glm::tvec3<float> extent)
{
    const long long nx = dims.x, plane = nx * dims.y;
    const std::size_t n = grid.size();
    const bool empty = dims.x <= 0 || dims.y <= 0 || dims.z <= 0;
    for (std::size_t i = 0; i < n; ++i) {
        value[i] = dx[i] = dy[i] = dz[i] = 0.0f;
        if (empty) continue;
        const glm::tvec3<float> u = toIndex(grid[i], extent, dims);
        AxisSamples sx, sy, sz;
        if (!axisSamples(u.x, dims.x, true, sx) || !axisSamples(u.y, dims.y, true, sy) ||
            !axisSamples(u.z, dims.z, true, sz))
            continue;
        for (int a = 0; a < 4; ++a) {
            double valueY = 0.0, dyY = 0.0, dzY = 0.0;
            for (int b = 0; b < 4; ++b) {
                double valueZ = 0.0, dzZ = 0.0;
                const long long row = sx.index[a] + nx * sy.index[b];
                for (int c = 0; c < 4; ++c) {
                    const double k = coeff[row + plane * sz.index[c]];
                    valueZ += sz.w[c] * k;
                    dzZ += sz.d[c] * k;
                }
                valueY += sy.w[b] * valueZ;
                dyY += sy.d[b] * valueZ;
                dzY += sy.w[b] * dzZ;
            }
            value[i] += static_cast<float>(sx.w[a] * valueY);
            dx[i] += static_cast<float>(sx.d[a] * valueY);
            dy[i] += static_cast<float>(sx.w[a] * dyY);
            dz[i] += static_cast<float>(sx.w[a] * dzY);
        }
    }
}

void evalLinearAndGrad3D(float const* data, glm::tvec3<int> dims, std::vector<glm::tvec3<float>> const& grid,
                         float* value, float* dx, float* dy, float* dz, glm::tvec3<float> extent)
{
    const long long nx = dims.x, plane = nx * dims.y;
    const std::size_t n = grid.size();
    for (std::size_t i = 0; i < n; ++i) {
        const glm::tvec3<float> u = toIndex(grid[i], extent, dims);
        if (!(u.x > 0.0f && u.x < static_cast<float>(dims.x - 1) && u.y > 0.0f &&
              u.y < static_cast<float>(dims.y - 1) && u.z > 0.0f && u.z < static_cast<float>(dims.z - 1))) {
            value[i] = dx[i] = dy[i] = dz[i] = 0.0f;
            continue;
        }
        const int i0 = static_cast<int>(u.x), j0 = static_cast<int>(u.y), k0 = static_cast<int>(u.z);
        const float fx = u.x - static_cast<float>(i0), fy = u.y - static_cast<float>(j0), fz = u.z - static_cast<float>(k0);
        const float gx = 1.0f - fx, gy = 1.0f - fy, gz = 1.0f - fz;
        const float* p = data + i0 + nx * j0 + plane * k0;
        // f[a][b][c] = voxel (i0 + a, j0 + b, k0 + c)
        float f[2][2][2];
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b)
                for (int c = 0; c < 2; ++c) f[a][b][c] = p[a + nx * b + plane * c];

        const float x00 = f[0][0][0] * gx + f[1][0][0] * fx, x10 = f[0][1][0] * gx + f[1][1][0] * fx;
        const float x01 = f[0][0][1] * gx + f[1][0][1] * fx, x11 = f[0][1][1] * gx + f[1][1][1] * fx;
        value[i] = (x00 * gy + x10 * fy) * gz + (x01 * gy + x11 * fy) * fz;

        const float e00 = f[1][0][0] - f[0][0][0], e10 = f[1][1][0] - f[0][1][0];
        const float e01 = f[1][0][1] - f[0][0][1], e11 = f[1][1][1] - f[0][1][1];
        dx[i] = (e00 * gy + e10 * fy) * gz + (e01 * gy + e11 * fy) * fz;

        const float y0 = (f[0][1][0] - f[0][0][0]) * gx + (f[1][1][0] - f[1][0][0]) * fx;
        const float y1 = (f[0][1][1] - f[0][0][1]) * gx + (f[1][1][1] - f[1][0][1]) * fx;
        dy[i] = y0 * gz + y1 * fz;

        const float z0 = (f[0][0][1] - f[0][0][0]) * gx + (f[1][0][1] - f[1][0][0]) * fx;
        const float z1 = (f[0][1][1] - f[0][1][0]) * gx + (f[1][1][1] - f[1][1][0]) * fx;
        dz[i] = z0 * gy + z1 * fy;
    }
}
