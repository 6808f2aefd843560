// Interpolation kernels and sampling grids: splines reproduce the voxels,
// gradients and parameter derivatives match finite differences in double.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <random>

#include "gridtransformations.h"
#include "interpolation3D.h"
#include "rotations.h"

namespace {

using Grid = std::vector<glm::vec3>;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

MRVolume<float> randomVolume(glm::ivec3 dims, glm::vec3 voxelSize, unsigned seed, float lo = 1, float hi = 100)
{
    MRVolume<float> v(dims, glm::vec3(dims) * voxelSize);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(lo, hi);
    for (int i = 0; i < v.size(); ++i) v[i] = value(rng);
    return v;
}

// The voxel indices themselves as positions (for an x extent of 0).
Grid indexGrid(glm::ivec3 dims)
{
    Grid g;
    for (int z = 0; z < dims.z; ++z)
        for (int y = 0; y < dims.y; ++y)
            for (int x = 0; x < dims.x; ++x) g.emplace_back(x, y, z);
    return g;
}

// Voxel (x, y, z) holds a·x + b·y + c·z.
MRVolume<float> ramp(glm::ivec3 dims, glm::vec3 abc, glm::vec3 extent)
{
    MRVolume<float> v(dims, extent);
    const Grid index = indexGrid(dims);
    for (int i = 0; i < v.size(); ++i) v[i] = glm::dot(abc, index[std::size_t(i)]);
    return v;
}

// Rz(c)·Ry(b)·Rx(a) applied to p, in double.
support::V3 rotate(double a, double b, double c, glm::vec3 p) { return support::mul(support::zyx(a, b, c), support::V3{p.x, p.y, p.z}); }

} // namespace

TEST(BSpline, ReproducesTheVoxelsAndIsZeroFarOutside)
{
    // Values up to 100 summed in float: 1e-4 is a few float ulps of them.
    const std::pair<glm::ivec3, glm::vec3> cases[] = {{{7, 5, 6}, {1, 1, 1}}, {{6, 1, 4}, {2.5f, 3, 3.5f}}, {{4, 9, 3}, {1.5f, 1.5f, 2.2f}}};
    for (const auto& [dims, voxelSize] : cases) {
        const MRVolume<float> v = randomVolume(dims, voxelSize, 4);
        std::vector<double> c = computeBSplineCoeff3D(v.data(), dims);
        const Grid physical = getGrid3D(dims, v.extent);
        std::vector<float> out(physical.size(), -1.0f), byIndex(physical.size(), -1.0f);
        evalBSpline3D(c.data(), dims, physical, out.data(), v.extent);
        evalBSpline3D(c.data(), dims, indexGrid(dims), byIndex.data(), glm::vec3(0, 7, 7));
        const std::vector<float> sampled = evaluateGridSpline3D(v, physical);
        for (int i = 0; i < v.size(); ++i) {
            EXPECT_NEAR(out[std::size_t(i)], v[i], 1e-4) << "voxel " << i;
            EXPECT_NEAR(byIndex[std::size_t(i)], v[i], 1e-4) << "voxel " << i << " by index";
            EXPECT_EQ(sampled[std::size_t(i)], out[std::size_t(i)]) << "voxel " << i;
        }
    }
    // Far outside, value and gradient 0.
    const std::vector<float> ones(8 * 8 * 8, 1.0f);
    std::vector<double> c = computeBSplineCoeff3D(ones.data(), glm::ivec3(8));
    const Grid far = {{-3.5f, 2, 2}, {11.5f, 2, 2}, {2, -1e9f, 2}, {kNaN, 2, 2}, {2, 2, 1e30f}};
    std::vector<float> out(far.size(), -1.0f), gv(out), gx(out), gy(out), gz(out);
    evalBSpline3D(c.data(), glm::ivec3(8), far, out.data(), glm::vec3(0));
    evalBSplineAndGrad3D(c.data(), glm::ivec3(8), far, gv.data(), gx.data(), gy.data(), gz.data(), glm::vec3(0));
    for (const auto* o : {&out, &gv, &gx, &gy, &gz}) EXPECT_EQ(*o, std::vector<float>(far.size(), 0.0f));
}

TEST(BSpline, GradientMatchesFiniteDifferences)
{
    const glm::ivec3 dims(9, 8, 7);
    const MRVolume<float> v = randomVolume(dims, glm::vec3(1), 9, 0, 1);
    std::vector<double> c = computeBSplineCoeff3D(v.data(), dims);
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> ux(-1.5f, 9.5f), uy(-1.5f, 8.5f), uz(-1.5f, 7.5f);
    Grid points;
    for (int i = 0; i < 200; ++i) points.emplace_back(ux(rng), uy(rng), uz(rng));
    const std::size_t n = points.size();
    std::vector<float> value(n), dx(n), dy(n), dz(n), plain(n);
    evalBSplineAndGrad3D(c.data(), dims, points, value.data(), dx.data(), dy.data(), dz.data(), glm::vec3(0));
    evalBSpline3D(c.data(), dims, points, plain.data(), glm::vec3(0));
    EXPECT_EQ(value, plain);
    EXPECT_EQ(evaluateGridSplineAndGrad3D(MRVolume<float>(v, glm::vec3(0)), points), (std::vector<std::vector<float>>{value, dx, dy, dz}));
    // Central differences, h = 0.01: truncation of order h²·|f'''| (below 1e-3
    // for values in [0, 1]) plus float rounding / h.
    const float h = 0.01f;
    for (int axis = 0; axis < 3; ++axis) {
        Grid up = points, down = points;
        for (std::size_t i = 0; i < n; ++i) up[i][axis] += h, down[i][axis] -= h;
        std::vector<float> fu(n), fd(n);
        evalBSpline3D(c.data(), dims, up, fu.data(), glm::vec3(0));
        evalBSpline3D(c.data(), dims, down, fd.data(), glm::vec3(0));
        const std::vector<float>& grad = axis == 0 ? dx : (axis == 1 ? dy : dz);
        for (std::size_t i = 0; i < n; ++i) {
            const float u = points[i][axis];
            if (std::fabs(u - std::round(u)) < 2 * h) continue; // the third derivative jumps at knots
            EXPECT_NEAR(grad[i], (fu[i] - fd[i]) / (2 * h), 3e-3) << "axis " << axis << " point " << i;
        }
    }
}

TEST(LinearWithGradient, RampsAndThePointsCountedOutside)
{
    const glm::ivec3 dims(6, 5, 4);
    // Values of a few tens interpolated in float: 1e-5 relative.
    for (glm::vec3 abc : {glm::vec3(1, 0, 0), glm::vec3(0, 1, 0), glm::vec3(0, 0, 1), glm::vec3(1, 2, 3)}) {
        const MRVolume<float> v = ramp(dims, abc, glm::vec3(0));
        const Grid inside = {{0.5f, 0.5f, 0.5f}, {2.25f, 3.5f, 1.75f}, {4.99f, 3.01f, 2.5f}, {3, 2, 1}};
        const auto r = evaluateGridLinearAndGrad3D(v, inside);
        for (std::size_t i = 0; i < inside.size(); ++i) {
            EXPECT_NEAR(r[0][i], glm::dot(abc, inside[i]), 1e-4) << "point " << i;
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(r[std::size_t(k + 1)][i], abc[k], 1e-5) << "point " << i << " axis " << k;
        }
        const Grid outside = {{0, 2, 2}, {5, 2, 2}, {-0.5f, 2, 2}, {2, 0, 2}, {2, 4, 2}, {2, 2, 3}, {2, 2, 0}, {kNaN, 2, 2}, {1e20f, 2, 2}};
        for (const auto& o : evaluateGridLinearAndGrad3D(v, outside)) EXPECT_EQ(o, std::vector<float>(outside.size(), 0.0f));
    }
    // With a physical extent the gradient stays per voxel step:
    // u = (-3 - (3 - 18) / 2) / 3 = 1.5.
    const auto r = evaluateGridLinearAndGrad3D(ramp(dims, glm::vec3(1, 0, 0), glm::vec3(dims) * glm::vec3(3, 3, 4)), {{-3.0f, 0.5f, 0.3f}});
    EXPECT_NEAR(r[0][0], 1.5f, 1e-5);
    EXPECT_NEAR(r[1][0], 1.0f, 1e-5);
}

TEST(SamplingGrid, VoxelCentresCentredAtTheOriginAndMovedRigidly)
{
    EXPECT_EQ(getGrid3D({2, 1, 1}, {4, 1, 1}), (Grid{{-1, 0, 0}, {1, 0, 0}}));
    EXPECT_TRUE(getGrid3D({0, 4, 4}, {1, 1, 1}).empty());
    EXPECT_THROW(getGrid3D({-2, -2, 1}, {1, 1, 1}), std::bad_alloc);
    // Voxel centres, x fastest, half a voxel inside −extent/2 and symmetric
    // about 0: a few float ulps of the 100 mm extent.
    const glm::ivec3 dims(64, 48, 25);
    const glm::vec3 voxel(3.5f, 3.5f, 4.2f), extent = glm::vec3(dims) * voxel;
    const Grid big = getGrid3D(dims, extent), index = indexGrid(dims);
    ASSERT_EQ(big.size(), index.size());
    for (std::size_t q = 0; q < big.size(); ++q)
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(big[q][k], (index[q][k] + 0.5) * voxel[k] - extent[k] / 2, 1e-4) << "point " << q;

    const Grid g = getGrid3D({5, 4, 3}, {10, 8, 9});
    EXPECT_EQ(getTransformedGrid3D(g, glm::mat4(1.0f)), g);
    EXPECT_EQ(getTransformedGrid3D(g, glm::mat3(2.0f))[7], 2.0f * g[7]);
    // A general rigid motion against R·p + t in double; 1e-5 mm covers float
    // rounding of sin, cos and three products for coordinates below 5 mm.
    const std::vector<float> q = {0.3f, -0.2f, 1.1f, 4, 5, -6};
    const Grid turned = getTransformedGrid3D(g, getTrfMatrix(Vector<float>(q)));
    ASSERT_EQ(turned.size(), g.size());
    for (std::size_t i = 0; i < g.size(); ++i) {
        const support::V3 r = rotate(q[0], q[1], q[2], g[i]);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(turned[i][k], r[std::size_t(k)] + q[std::size_t(3 + k)], 1e-5) << "point " << i << " axis " << k;
    }
}

TEST(GridSampling, OwnGridGivesTheVoxelsAndBackgroundIsRemoved)
{
    const MRVolume<float> v = randomVolume({6, 5, 4}, {3.5f, 3.5f, 4.2f}, 17), w = randomVolume({6, 5, 4}, {3.5f, 3.5f, 4.2f}, 18);
    const Grid g = getGrid3D(v.dimensions(), v.extent);
    const std::vector<float> samples = evaluateGridLinear3D(v, g);
    ASSERT_EQ(samples.size(), g.size());
    // Positions carry float rounding of about 1e-6 voxel: 1e-3 of values up to 100.
    for (int i = 0; i < v.size(); ++i) EXPECT_NEAR(samples[std::size_t(i)], v[i], 1e-3) << "voxel " << i;
    EXPECT_EQ(evaluateAllGridLinear3D({v, w}, g), (std::vector<std::vector<float>>{samples, evaluateGridLinear3D(w, g)}));
    // Unit voxels make the positions exact voxel indices, so a point samples
    // exactly 0 when its own voxel is 0: keep x >= 3. A NaN voxel at (1, 1, 1)
    // also reaches, with weight 0 (0·NaN is NaN), the points whose upper
    // corners include it: all eight with x, y, z <= 1 stay.
    MRVolume<float> half = ramp({6, 2, 2}, glm::vec3(1, 0, 0), glm::vec3(6, 2, 2));
    for (int i = 0; i < half.size(); ++i)
        if (i % 6 < 3) half[i] = 0;
    half.at(1, 1, 1) = kNaN;
    Grid grid = getGrid3D(half.dimensions(), half.extent), expected;
    for (int i = 0; i < half.size(); ++i)
        if (i % 6 >= 3 || i % 6 <= 1) expected.push_back(grid[std::size_t(i)]);
    grid.emplace_back(1000, 0, 0); // outside the volume: samples 0
    removeBackgroundGridPoints(grid, half);
    EXPECT_EQ(grid, expected);
}

TEST(GridDerivatives, FieldCountsAndAgreementWithFiniteDifferences)
{
    const Grid g = getGrid3D({4, 3, 2}, {8, 9, 6});
    for (auto [parameters, fields] : {std::pair{0, 0}, {5, 0}, {6, 6}, {7, 0}, {9, 9}, {12, 12}, {13, 0}}) {
        const auto d = getGridDerivatives(g, Vector<float>(parameters, 0.1f));
        EXPECT_EQ(d.size(), std::size_t(fields)) << parameters << " parameters";
        for (const Grid& field : d) EXPECT_EQ(field.size(), g.size());
    }
    // Rotation fields against central differences of R·p in double (h = 1e-5
    // rad: truncation 1e-10); the float fields carry about 1e-6 mm of rounding.
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> angle(-1.5f, 1.5f);
    for (int trial = 0; trial < 10; ++trial) {
        const std::vector<float> q = {angle(rng), angle(rng), angle(rng), 1, 2, 3};
        const auto d = getGridDerivatives(g, Vector<float>(q));
        ASSERT_EQ(d.size(), 6u);
        for (int k = 0; k < 3; ++k)
            for (std::size_t i = 0; i < g.size(); ++i) {
                std::array<double, 3> up{q[0], q[1], q[2]}, down = up;
                up[std::size_t(k)] += 1e-5, down[std::size_t(k)] -= 1e-5;
                const auto pu = rotate(up[0], up[1], up[2], g[i]), pd = rotate(down[0], down[1], down[2], g[i]);
                for (int axis = 0; axis < 3; ++axis)
                    EXPECT_NEAR(d[std::size_t(k)][i][axis], (pu[std::size_t(axis)] - pd[std::size_t(axis)]) / 2e-5, 1e-5)
                        << "trial " << trial << " angle " << k << " point " << i << " axis " << axis;
            }
        for (std::size_t i = 0; i < g.size(); ++i)
            EXPECT_TRUE(d[3][i] == glm::vec3(1, 0, 0) && d[4][i] == glm::vec3(0, 1, 0) && d[5][i] == glm::vec3(0, 0, 1)) << i;
    }
    // Twelve affine elements, read row by row.
    const auto d12 = getGridDerivatives(g, Vector<float>(12, 0.0f));
    const glm::vec3 p = g[5];
    const glm::vec3 expected[12] = {{p.x, 0, 0}, {p.y, 0, 0}, {p.z, 0, 0}, {1, 0, 0}, {0, p.x, 0}, {0, p.y, 0},
                                    {0, p.z, 0}, {0, 1, 0},   {0, 0, p.x}, {0, 0, p.y}, {0, 0, p.z}, {0, 0, 1}};
    for (std::size_t k = 0; k < 12; ++k) EXPECT_EQ(d12[k][5], expected[k]) << "field " << k;
}
