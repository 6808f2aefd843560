// Rigid transforms, the RMS displacement between them, and sampling grids.
#include <cmath>
#include <fstream>
#include <random>

#include "gridtransformations.h"
#include "testing.h"

namespace {

Vector<float> vec(std::initializer_list<float> values) { return Vector<float>(std::vector<float>(values)); }

glm::tvec3<float> apply(const glm::tmat4x4<float>& m, glm::tvec3<float> p)
{
    return getTransformedGrid3D({p}, m)[0];
}

// Rotation block and translation of a rigid matrix in double, by the layout of the matrix.
struct Rigid {
    double r[3][3]; // r[row][column]
    double t[3];
};
Rigid rigidOf(const glm::tmat4x4<float>& m)
{
    Rigid q{};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) q.r[row][col] = m[col][row];
        q.t[row] = m[row][3];
    }
    return q;
}

double closedForm(const glm::tmat4x4<float>& a, const glm::tmat4x4<float>& b, double radius)
{
    const Rigid ra = rigidOf(a), rb = rigidOf(b);
    double f = 0, d = 0;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) f += (rb.r[i][j] - ra.r[i][j]) * (rb.r[i][j] - ra.r[i][j]);
        d += (rb.t[i] - ra.t[i]) * (rb.t[i] - ra.t[i]);
    }
    return std::sqrt(radius * radius / 5.0 * f + d);
}

} // namespace

TEST(RigidTransforms, LayoutAndWorkedCases)
{
    const glm::tmat4x4<float> identity(1.0f);
    EXPECT_EQ(getTrfMatrix(Vector<float>(6, 0.0f)), identity);
    for (int n : {5, 7, 13, 0}) EXPECT_EQ(getTrfMatrix(Vector<float>(n, 0.3f)), identity) << n << " elements";

    const glm::tmat4x4<float> shift = getTrfMatrixTM(vec({1, 2, 3, 0, 0, 0}));
    EXPECT_EQ(shift[0][3], -1.0f);
    EXPECT_EQ(shift[1][3], -2.0f);
    EXPECT_EQ(shift[2][3], -3.0f);
    EXPECT_EQ(shift[3], glm::tvec4<float>(0, 0, 0, 1));

    const glm::tvec3<float> turned = apply(getTrfMatrixTM(vec({0, 0, 0, 0, 0, 90})), {1, 0, 0});
    EXPECT_NEAR(turned.x, 0.0f, 1e-6f);
    EXPECT_NEAR(turned.y, 1.0f, 1e-6f);
    EXPECT_NEAR(turned.z, 0.0f, 1e-6f);

    // The twelve-element affine form fills storage elements 0..11.
    Vector<float> affine(12);
    for (int k = 0; k < 12; ++k) affine[k] = static_cast<float>(k + 1);
    const glm::tmat4x4<float> m = getTrfMatrix(affine);
    for (int k = 0; k < 12; ++k) EXPECT_EQ(m[k / 4][k % 4], static_cast<float>(k + 1));
    EXPECT_EQ(m[3], glm::tvec4<float>(0, 0, 0, 1));
}

TEST(RigidTransforms, ParameterRoundTrips)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> angle(-1.4f, 1.4f), shift(-20.0f, 20.0f), degrees(-30.0f, 30.0f);
    for (int trial = 0; trial < 200; ++trial) {
        const Vector<float> q = vec({angle(random), angle(random), angle(random), shift(random), shift(random), shift(random)});
        const Vector<float> back = getParametersFromRigidTrfMatrix(getTrfMatrix(q));
        // asin/acos near their ends amplify float rounding; 2e-3 rad is far below any motion of interest.
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(back[k], q[k], 2e-3f) << "trial " << trial << " angle " << k;
        for (int k = 3; k < 6; ++k) EXPECT_EQ(back[k], q[k]);

        const Vector<float> tm = vec({shift(random), shift(random), shift(random), degrees(random), degrees(random), degrees(random)});
        const Vector<float> again = convertInternaltoTMParameters(convertTMtoInternalParameters(tm));
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(again[k], tm[k], 1e-5f * (1 + std::fabs(tm[k])));
    }
    EXPECT_EQ(getParametersFromRigidTrfMatrix(getTrfMatrix(Vector<float>(6, 0.0f)))[0], 0.0f)
        << "a cosine that rounds to 1 gives exactly 0";
}

TEST(RigidTransforms, RmsDisplacementIdentities)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<float> small(-0.05f, 0.05f), shift(-3.0f, 3.0f);
    for (int trial = 0; trial < 200; ++trial) {
        const auto a = getTrfMatrix(vec({small(random), small(random), small(random), shift(random), shift(random), shift(random)}));
        const auto b = getTrfMatrix(vec({small(random), small(random), small(random), shift(random), shift(random), shift(random)}));
        const double expected = closedForm(a, b, 65.0);
        // Single precision through a 4x4 inverse: a few 1e-6 relative, plus 1e-4 mm absolute.
        EXPECT_NEAR(dRMS(a, b, 65.0f), expected, 1e-4 + 2e-5 * expected) << "trial " << trial;
        EXPECT_NEAR(dRMS(a, b, 65.0f), dRMS(b, a, 65.0f), 1e-4 + 2e-5 * expected);
        EXPECT_NEAR(dRMS(a, a, 65.0f), 0.0f, 2e-3f);
    }
    const auto t = getTrfMatrix(vec({0, 0, 0, 3, 4, 12}));
    for (float r : {1.0f, 65.0f, 500.0f}) EXPECT_NEAR(dRMS(glm::tmat4x4<float>(1.0f), t, r), 13.0f, 1e-5f);
    const auto quarter = getTrfMatrixTM(vec({0, 0, 0, 90, 0, 0}));
    EXPECT_NEAR(dRMS(glm::tmat4x4<float>(1.0f), quarter, 65.0f), 65.0 * std::sqrt(4.0 / 5.0), 1e-3);
    EXPECT_NEAR(dRMS(glm::tmat4x4<float>(1.0f), quarter, 65.0f), 58.14f, 0.01f);
}

TEST(RigidTransforms, RelativeDisplacementOfTheRealMotionTrace)
{
    std::ifstream in(support::sharedData("mcflirt_movpar.txt"));
    std::vector<std::array<double, 6>> rows; // TM order: translations mm, rotations degrees
    double rx, ry, rz, tx, ty, tz;
    while (in >> rx >> ry >> rz >> tx >> ty >> tz) {
        const double deg = 180.0 / 3.14159265358979323846;
        rows.push_back({tx, ty, tz, rx * deg, ry * deg, rz * deg});
    }
    ASSERT_EQ(rows.size(), 365u);
    SDM sdm;
    sdm.NrOfDataPoints = static_cast<int>(rows.size());
    for (std::size_t p = 0; p < 6; ++p) {
        std::vector<float> values;
        for (const auto& r : rows) values.push_back(static_cast<float>(r[p]));
        sdm.AddPredictor(values, "p", 0, 0, 0);
    }
    const std::vector<float> d = getDistanceRMSfrom3DMCSDM(sdm);
    ASSERT_EQ(d.size(), rows.size());
    EXPECT_EQ(d[0], 0.0f);

    // The same formula in double precision, written out independently: the
    // rotation R = Rz·Ry·Rx and x' = R·x − t (TM translations are negated).
    const auto rigid = [](const std::array<double, 6>& p) {
        const double pi = 3.14159265358979323846;
        const double a = static_cast<float>(p[3]) * pi / 180, b = static_cast<float>(p[4]) * pi / 180,
                     c = static_cast<float>(p[5]) * pi / 180;
        const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b), cc = std::cos(c),
                     sc = std::sin(c);
        Rigid q{};
        const double r[3][3] = {{cb * cc, sa * sb * cc - ca * sc, ca * sb * cc + sa * sc},
                                {cb * sc, sa * sb * sc + ca * cc, ca * sb * sc - sa * cc},
                                {-sb, sa * cb, ca * cb}};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) q.r[i][j] = r[i][j];
            q.t[i] = -static_cast<float>(p[i]);
        }
        return q;
    };
    double worst = 0;
    for (std::size_t t = 1; t < rows.size(); ++t) {
        const Rigid a = rigid(rows[t - 1]), b = rigid(rows[t]);
        // With the translation stored in the fourth element of the first three
        // columns, D = B·A⁻¹ carries R_B·R_Aᵀ and a translation of length
        // ‖t_B − t_A‖, so the measure is r²/5·‖R_B − R_A‖²_F + ‖t_B − t_A‖².
        double f = 0, d2 = 0;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) f += (b.r[i][j] - a.r[i][j]) * (b.r[i][j] - a.r[i][j]);
            d2 += (b.t[i] - a.t[i]) * (b.t[i] - a.t[i]);
        }
        const double expected = std::sqrt(65.0 * 65.0 / 5.0 * f + d2);
        worst = std::max(worst, std::fabs(d[t] - expected));
    }
    // The float path loses about 1e-7 relative in the rotation entries, which
    // 65 mm turns into a few 1e-4 mm at most.
    EXPECT_LT(worst, 5e-4) << "largest difference to the double computation (mm)";
}

TEST(RigidTransforms, TooFewPredictorsAreRefused)
{
    SDM sdm;
    sdm.NrOfDataPoints = 2;
    for (int p = 0; p < 5; ++p) sdm.AddPredictor({0, 1}, "p", 0, 0, 0);
    EXPECT_THROW(getDistanceRMSfrom3DMCSDM(sdm), std::runtime_error);
    SDM none;
    for (int p = 0; p < 6; ++p) none.AddPredictor({}, "p", 0, 0, 0);
    EXPECT_TRUE(getDistanceRMSfrom3DMCSDM(none).empty());
    SDM one;
    one.NrOfDataPoints = 1;
    for (int p = 0; p < 6; ++p) one.AddPredictor({0.5f}, "p", 0, 0, 0);
    EXPECT_EQ(getDistanceRMSfrom3DMCSDM(one), std::vector<float>{0.0f});
}

TEST(Grids, CentredVoxelPositions)
{
    const auto two = getGrid3D({2, 1, 1}, {4, 1, 1});
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], glm::tvec3<float>(-1, 0, 0));
    EXPECT_EQ(two[1], glm::tvec3<float>(1, 0, 0));
    const auto cube = getGrid3D({3, 3, 3}, {3, 3, 3});
    ASSERT_EQ(cube.size(), 27u);
    EXPECT_EQ(cube[13], glm::tvec3<float>(0, 0, 0));
    EXPECT_EQ(cube[1], glm::tvec3<float>(0, -1, -1)) << "x runs fastest";
    EXPECT_TRUE(getGrid3D({0, 3, 3}, {1, 1, 1}).empty());

    const auto grid = getGrid3D({4, 3, 2}, {8, 6, 5});
    EXPECT_EQ(getTransformedGrid3D(grid, glm::tmat4x4<float>(1.0f)), grid);
    const auto moved = getTransformedGrid3D(grid, getTrfMatrix(vec({0, 0, 0, 0.5f, -1, 2})));
    for (std::size_t i = 0; i < grid.size(); ++i) EXPECT_EQ(moved[i], grid[i] + glm::tvec3<float>(0.5f, -1, 2));
}

TEST(Grids, DerivativesOfTheTransformedPositions)
{
    const auto grid = getGrid3D({3, 2, 2}, {6, 4, 4});
    for (const auto& [n, fields] : std::vector<std::pair<int, std::size_t>>{{6, 6}, {9, 9}, {12, 12}, {7, 0}}) {
        const auto d = getGridDerivatives(grid, Vector<float>(n, 0.1f));
        ASSERT_EQ(d.size(), fields) << n;
        for (const auto& f : d) EXPECT_EQ(f.size(), grid.size());
    }
    // The rotation fields against central differences of the transform itself.
    const Vector<float> p = vec({0.2f, -0.3f, 0.4f, 1, 2, 3});
    const auto d = getGridDerivatives(grid, p);
    const float h = 1e-3f;
    for (int k = 0; k < 6; ++k) {
        Vector<float> up = p, down = p;
        up[k] += h;
        down[k] -= h;
        const auto gu = getTransformedGrid3D(grid, getTrfMatrix(up)), gd = getTransformedGrid3D(grid, getTrfMatrix(down));
        for (std::size_t i = 0; i < grid.size(); ++i) {
            const glm::tvec3<float> numeric = (gu[i] - gd[i]) / (2 * h);
            // Positions are a few mm; float differences over 2e-3 leave about 1e-2 of noise.
            EXPECT_NEAR(d[static_cast<std::size_t>(k)][i].x, numeric.x, 2e-2f) << "parameter " << k << " point " << i;
            EXPECT_NEAR(d[static_cast<std::size_t>(k)][i].y, numeric.y, 2e-2f) << "parameter " << k << " point " << i;
            EXPECT_NEAR(d[static_cast<std::size_t>(k)][i].z, numeric.z, 2e-2f) << "parameter " << k << " point " << i;
        }
    }
}
