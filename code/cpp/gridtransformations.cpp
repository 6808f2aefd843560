#include "gridtransformations.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "containers_detail.h"
#include "interpolation3D.h"
#include "mySDM.h"

namespace {

// The single-precision value of pi used by the angle conversions.
constexpr float pi = 3.1415927f;

void requireSixParameters(Vector<float> const& p, const char* operation)
{
    if (p.size() < 6)
        throw std::runtime_error(std::string(operation) + ": six motion parameters are needed, got " +
                                 std::to_string(p.size()));
}

float sign(float v) { return v > 0.0f ? 1.0f : (v < 0.0f ? -1.0f : 0.0f); }

} // namespace

glm::tmat4x4<float> getTrfMatrix(Vector<float> const& p)
{
    glm::tmat4x4<float> m(1.0f);
    const int n = p.size();
    if (n == 6 || n == 9) {
        const float a = p[0], b = p[1], c = p[2];
        const float sa = std::sin(a), ca = std::cos(a);
        const float sb = std::sin(b), cb = std::cos(b);
        const float sc = std::sin(c), cc = std::cos(c);
        m[0][0] = cb * cc;
        m[0][1] = cb * sc;
        m[0][2] = -sb;
        m[0][3] = p[3];
        m[1][0] = sa * sb * cc - ca * sc;
        m[1][1] = sa * sb * sc + ca * cc;
        m[1][2] = sa * cb;
        m[1][3] = p[4];
        m[2][0] = ca * sb * cc + sa * sc;
        m[2][1] = ca * sb * sc - sa * cc;
        m[2][2] = ca * cb;
        m[2][3] = p[5];
        m[3] = glm::tvec4<float>(0.0f, 0.0f, 0.0f, 1.0f);
    } else if (n == 12) {
        for (int k = 0; k < 12; ++k) m[k / 4][k % 4] = p[k];
        m[3] = glm::tvec4<float>(0.0f, 0.0f, 0.0f, 1.0f);
    }
    return m;
}

glm::tmat4x4<float> getTrfMatrixTM(Vector<float> const& p)
{
    return getTrfMatrix(convertTMtoInternalParameters(p));
}

Vector<float> convertTMtoInternalParameters(Vector<float> const& p)
{
    requireSixParameters(p, "convertTMtoInternalParameters");
    Vector<float> q(6);
    q[0] = p[3] * pi / 180.0f;
    q[1] = p[4] * pi / 180.0f;
    q[2] = p[5] * pi / 180.0f;
    q[3] = -p[0];
    q[4] = -p[1];
    q[5] = -p[2];
    return q;
}

Vector<float> convertInternaltoTMParameters(Vector<float> const& q)
{
    requireSixParameters(q, "convertInternaltoTMParameters");
    Vector<float> p(6);
    p[0] = -q[3];
    p[1] = -q[4];
    p[2] = -q[5];
    p[3] = q[0] * 180.0f / pi;
    p[4] = q[1] * 180.0f / pi;
    p[5] = q[2] * 180.0f / pi;
    return p;
}

Vector<float> getParametersFromRigidTrfMatrix(glm::tmat4x4<float> m)
{
    Vector<float> r(6, 0.0f);
    const float b = std::asin(-m[0][2]);
    r[1] = b;
    const float cb = std::cos(b);
    // The cosines of c and a follow from the first and last diagonal terms;
    // the sign of the angle from the matching sine term.
    const float x = m[0][0] / cb;
    if (std::fabs(x) < 1.0f) {
        const float c = std::acos(x);
        r[2] = c;
        if (sign(m[0][1]) != sign(std::sin(c) * cb)) r[2] = -c;
    }
    const float y = m[2][2] / cb;
    if (std::fabs(y) < 1.0f) {
        const float a = std::acos(y);
        r[0] = a;
        if (sign(m[1][2]) != sign(std::sin(a) * cb)) r[0] = -a;
    }
    r[3] = m[0][3];
    r[4] = m[1][3];
    r[5] = m[2][3];
    return r;
}

float dRMS(glm::tmat4x4<float> A, glm::tmat4x4<float> B, float radius)
{
    // D takes a point's image under A to its image under B. Averaged over a
    // solid ball of radius r, |(R - I)x + t|² has the mean r²/5·|R - I|²_F + |t|².
    const glm::tmat4x4<float> D = B * glm::inverse(A);
    float S = 0.0f;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const float e = D[i][j] - (i == j ? 1.0f : 0.0f);
            S += e * e;
        }
    const float d2 = D[0][3] * D[0][3] + D[1][3] * D[1][3] + D[2][3] * D[2][3];
    return std::sqrt(0.2f * radius * radius * S + d2);
}

std::vector<float> getDistanceRMSfrom3DMCSDM(SDM const& sdm)
{
    const int n = sdm.NrOfDataPoints;
    if (n <= 0) return {};
    if (sdm.Predictors.size() < 6)
        throw std::runtime_error("The motion SDM " + sdm.FileName + " has " + std::to_string(sdm.Predictors.size()) +
                                 " predictors; the six motion parameters are needed");
    for (int k = 0; k < 6; ++k)
        if (static_cast<int>(sdm.Predictors[k].size()) < n)
            throw std::runtime_error("The motion SDM " + sdm.FileName + " has predictor " + std::to_string(k + 1) +
                                     " with " + std::to_string(sdm.Predictors[k].size()) + " values for " +
                                     std::to_string(n) + " data points");
    std::vector<float> result(n, 0.0f);
    // The radius of a ball about the size of a head, in mm.
    const float radius = 65.0f;
    Vector<float> p(6);
    auto parametersAt = [&](int t) {
        for (int k = 0; k < 6; ++k) p[k] = sdm.Predictors[k][t];
        return getTrfMatrixTM(p);
    };
    glm::tmat4x4<float> previous = parametersAt(0);
    for (int t = 1; t < n; ++t) {
        const glm::tmat4x4<float> current = parametersAt(t);
        result[t] = dRMS(previous, current, radius);
        previous = current;
    }
    return result;
}

// ---- Sampling grids ---------------------------------------------------------

static_assert(sizeof(glm::tvec3<float>) == 3 * sizeof(float), "grid points must be packed float triples");

namespace {

using Grid = std::vector<glm::tvec3<float>>;

// The continuous voxel index of a grid coordinate: the inverse of getGrid3D.
inline float voxelIndex(float p, float extent, int n)
{
    const float step = extent / static_cast<float>(n);
    return (p - (step - extent) * 0.5f) / step;
}

} // namespace

Grid getGrid3D(glm::tvec3<int> dims, glm::tvec3<float> extent)
{
    const int n = containers_detail::elementCount(dims.x, dims.y, dims.z);
    Grid grid(static_cast<std::size_t>(n));
    if (n == 0) return grid;
    const glm::tvec3<float> step = extent / glm::tvec3<float>(dims);
    // The first centre lies half a voxel inside the lower edge at -extent/2.
    const glm::tvec3<float> first = (step - extent) * 0.5f;
    std::size_t q = 0;
    for (int k = 0; k < dims.z; ++k)
        for (int j = 0; j < dims.y; ++j)
            for (int i = 0; i < dims.x; ++i)
                grid[q++] = glm::tvec3<float>(static_cast<float>(i) * step.x + first.x,
                                              static_cast<float>(j) * step.y + first.y,
                                              static_cast<float>(k) * step.z + first.z);
    return grid;
}

Grid getTransformedGrid3D(Grid const& grid, glm::tmat4x4<float> const& m)
{
    const std::size_t n = grid.size();
    Grid out(n);
    if (n == 0) return out;
    const float m00 = m[0][0], m10 = m[1][0], m20 = m[2][0], t0 = m[0][3];
    const float m01 = m[0][1], m11 = m[1][1], m21 = m[2][1], t1 = m[1][3];
    const float m02 = m[0][2], m12 = m[1][2], m22 = m[2][2], t2 = m[2][3];
    const float* __restrict in = &grid[0].x;
    float* __restrict to = &out[0].x;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = in[3 * i], y = in[3 * i + 1], z = in[3 * i + 2];
        to[3 * i] = (m00 * x + m10 * y) + m20 * z + t0;
        to[3 * i + 1] = (m01 * x + m11 * y) + m21 * z + t1;
        to[3 * i + 2] = (m02 * x + m12 * y) + m22 * z + t2;
    }
    return out;
}

Grid getTransformedGrid3D(Grid const& grid, glm::tmat3x3<float> const& m)
{
    const std::size_t n = grid.size();
    Grid out(n);
    if (n == 0) return out;
    const float m00 = m[0][0], m10 = m[1][0], m20 = m[2][0];
    const float m01 = m[0][1], m11 = m[1][1], m21 = m[2][1];
    const float m02 = m[0][2], m12 = m[1][2], m22 = m[2][2];
    const float* __restrict in = &grid[0].x;
    float* __restrict to = &out[0].x;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = in[3 * i], y = in[3 * i + 1], z = in[3 * i + 2];
        to[3 * i] = m00 * x + m10 * y + m20 * z;
        to[3 * i + 1] = m01 * x + m11 * y + m21 * z;
        to[3 * i + 2] = m02 * x + m12 * y + m22 * z;
    }
    return out;
}

std::vector<float> evaluateGridLinear3D(MRVolume<float> const& vol, Grid const& grid)
{
    std::vector<float> samples(grid.size(), 0.0f);
    const glm::tvec3<int> dims = vol.dimensions();
    for (std::size_t i = 0; i < grid.size(); ++i) {
        const glm::tvec3<float>& p = grid[i];
        samples[i] = vol.linear(voxelIndex(p.x, vol.extent.x, dims.x), voxelIndex(p.y, vol.extent.y, dims.y),
                                voxelIndex(p.z, vol.extent.z, dims.z));
    }
    return samples;
}

std::vector<std::vector<float>> evaluateAllGridLinear3D(std::vector<MRVolume<float>> const& vols, Grid const& grid)
{
    std::vector<std::vector<float>> all;
    all.reserve(vols.size());
    for (const MRVolume<float>& vol : vols) all.push_back(evaluateGridLinear3D(vol, grid));
    return all;
}

std::vector<std::vector<float>> evaluateGridLinearAndGrad3D(MRVolume<float> const& vol, Grid const& grid)
{
    std::vector<std::vector<float>> r(4, std::vector<float>(grid.size(), 0.0f));
    if (grid.empty()) return r;
    evalLinearAndGrad3D(vol.data(), vol.dimensions(), grid, r[0].data(), r[1].data(), r[2].data(), r[3].data(),
                        vol.extent);
    return r;
}

std::vector<float> evaluateGridSpline3D(MRVolume<float> const& vol, Grid const& grid)
{
    std::vector<float> samples(grid.size(), 0.0f);
    if (grid.empty() || vol.size() == 0) return samples;
    std::vector<double> coeff = computeBSplineCoeff3D(vol.data(), vol.dimensions());
    evalBSpline3D(coeff.data(), vol.dimensions(), grid, samples.data(), vol.extent);
    return samples;
}

std::vector<std::vector<float>> evaluateAllGridSpline3D(std::vector<MRVolume<float>> const& vols, Grid const& grid)
{
    std::vector<std::vector<float>> all;
    all.reserve(vols.size());
    for (const MRVolume<float>& vol : vols) all.push_back(evaluateGridSpline3D(vol, grid));
    return all;
}

std::vector<std::vector<float>> evaluateGridSplineAndGrad3D(MRVolume<float> const& vol, Grid const& grid)
{
    std::vector<std::vector<float>> r(4, std::vector<float>(grid.size(), 0.0f));
    if (grid.empty() || vol.size() == 0) return r;
    std::vector<double> coeff = computeBSplineCoeff3D(vol.data(), vol.dimensions());
    evalBSplineAndGrad3D(coeff.data(), vol.dimensions(), grid, r[0].data(), r[1].data(), r[2].data(), r[3].data(),
                         vol.extent);
    return r;
}

void removeBackgroundGridPoints(Grid& grid, MRVolume<float> const& vol)
{
    const std::vector<float> samples = evaluateGridLinear3D(vol, grid);
    Grid kept;
    kept.reserve(grid.size());
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (samples[i] != 0.0f) kept.push_back(grid[i]);  // a NaN sample keeps its point
    grid = std::move(kept);
}

std::vector<Grid> getGridDerivatives(Grid const& grid, Vector<float> const& p)
{
    std::vector<Grid> fields;
    const std::size_t n = grid.size();
    if (p.size() == 6 || p.size() == 9) {
        const float sa = std::sin(p[0]), ca = std::cos(p[0]);
        const float sb = std::sin(p[1]), cb = std::cos(p[1]);
        const float sc = std::sin(p[2]), cc = std::cos(p[2]);
        using V = glm::tvec3<float>;
        // The partial derivatives of R = Rz(c)·Ry(b)·Rx(a), glm column by column.
        const glm::tmat3x3<float> dRda(V(0, 0, 0), V(ca * sb * cc + sa * sc, ca * sb * sc - sa * cc, ca * cb),
                                       V(ca * sc - sa * sb * cc, -ca * cc - sa * sb * sc, -sa * cb));
        const glm::tmat3x3<float> dRdb(V(-sb * cc, -sb * sc, -cb), V(sa * cb * cc, sa * cb * sc, -sa * sb),
                                       V(ca * cb * cc, ca * cb * sc, -ca * sb));
        const glm::tmat3x3<float> dRdc(V(-cb * sc, cb * cc, 0), V(-sa * sb * sc - ca * cc, sa * sb * cc - ca * sc, 0),
                                       V(-ca * sb * sc + sa * cc, ca * sb * cc + sa * sc, 0));
        fields.push_back(getTransformedGrid3D(grid, dRda));
        fields.push_back(getTransformedGrid3D(grid, dRdb));
        fields.push_back(getTransformedGrid3D(grid, dRdc));
        // A translation moves every point alike.
        fields.emplace_back(n, V(1, 0, 0));
        fields.emplace_back(n, V(0, 1, 0));
        fields.emplace_back(n, V(0, 0, 1));
        if (p.size() == 9) {
            const glm::tmat4x4<float> m = getTrfMatrix(p);
            const V row0(m[0][0], m[1][0], m[2][0]), row1(m[0][1], m[1][1], m[2][1]), row2(m[0][2], m[1][2], m[2][2]);
            Grid fx(n), fy(n), fz(n);
            for (std::size_t i = 0; i < n; ++i) {
                fx[i] = grid[i].x * row0;
                fy[i] = grid[i].y * row1;
                fz[i] = grid[i].z * row2;
            }
            fields.push_back(std::move(fx));
            fields.push_back(std::move(fy));
            fields.push_back(std::move(fz));
        }
    } else if (p.size() == 12) {
        // The affine form read row by row: x' = e0·x + e1·y + e2·z + e3, and so on.
        fields.assign(12, Grid(n, glm::tvec3<float>(0.0f)));
        for (std::size_t i = 0; i < n; ++i) {
            const float x = grid[i].x, y = grid[i].y, z = grid[i].z;
            fields[0][i] = {x, 0, 0};
            fields[1][i] = {y, 0, 0};
            fields[2][i] = {z, 0, 0};
            fields[3][i] = {1, 0, 0};
            fields[4][i] = {0, x, 0};
            fields[5][i] = {0, y, 0};
            fields[6][i] = {0, z, 0};
            fields[7][i] = {0, 1, 0};
            fields[8][i] = {0, 0, x};
            fields[9][i] = {0, 0, y};
            fields[10][i] = {0, 0, z};
            fields[11][i] = {0, 0, 1};
        }
    }
    return fields;
}
