// Rigid-body transforms against rotations in double, RMS displacement against
// its closed form (also on the real trace), framewise displacement against the
// peer tool's values, summaries and censoring.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

#include "fixtures.h"
#include "gridtransformations.h"
#include "motionmeasures.h"
#include "mySDM.h"
#include "rotations.h"

using namespace qc; // the quality-control library (code/qc)

namespace {

constexpr double kPi = std::numbers::pi;

Vector<float> params(std::vector<float> values) { return Vector<float>(values); }

// The RMS displacement over a ball of radius r between two motions in SDM
// order (mm, degrees): sqrt(r²/5·|R_B − R_A|²_F + |t_B − t_A|²).
double closedFormRMS(const std::array<double, 6>& A, const std::array<double, 6>& B, double r)
{
    const double d = kPi / 180.0;
    const support::M3 ra = support::zyx(A[3] * d, A[4] * d, A[5] * d), rb = support::zyx(B[3] * d, B[4] * d, B[5] * d);
    double s = 0, t = 0;
    for (int i = 0; i < 3; ++i) {
        t += (B[i] - A[i]) * (B[i] - A[i]);
        for (int j = 0; j < 3; ++j) s += (rb[i][j] - ra[i][j]) * (rb[i][j] - ra[i][j]);
    }
    return std::sqrt(r * r / 5.0 * s + t);
}

glm::mat4 rigid(const std::array<double, 6>& p)
{
    return getTrfMatrixTM(params({float(p[0]), float(p[1]), float(p[2]), float(p[3]), float(p[4]), float(p[5])}));
}

} // namespace

TEST(TrfMatrix, LayoutTranslationAndRotationDirections)
{
    for (int n : {0, 1, 5, 7, 8, 10, 11, 13}) EXPECT_EQ(getTrfMatrix(Vector<float>(n, 0.5f)), glm::mat4(1.0f)) << n << " elements";
    const glm::mat4 t = getTrfMatrixTM(params({1, 2, 3, 0, 0, 0}));
    EXPECT_EQ(glm::vec3(t[0][3], t[1][3], t[2][3]), glm::vec3(-1, -2, -3));
    EXPECT_EQ(t[3], glm::vec4(0, 0, 0, 1));

    // The rotation block against Rz·Ry·Rx in double (a general motion moving a
    // grid: test_sampling); elements 6..8 of nine change nothing.
    const std::vector<float> q = {0.4f, -1.2f, 2.5f, 3, -4, 5};
    const glm::mat4 m6 = getTrfMatrix(params(q));
    EXPECT_EQ(getTrfMatrix(params({0.4f, -1.2f, 2.5f, 3, -4, 5, 9, 9, 9})), m6);
    const support::M3 r = support::zyx(q[0], q[1], q[2]);
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) EXPECT_NEAR(m6[col][row], r[row][col], 1e-6) << row << " " << col;
    EXPECT_EQ(glm::vec3(m6[0][3], m6[1][3], m6[2][3]), glm::vec3(3, -4, 5));
    // Twelve elements fill the storage row by row.
    std::vector<float> e(12);
    for (int k = 0; k < 12; ++k) e[k] = float(k + 1);
    const glm::mat4 m = getTrfMatrix(params(e));
    for (int k = 0; k < 12; ++k) EXPECT_EQ(m[k / 4][k % 4], float(k + 1)) << k;
    EXPECT_EQ(m[3], glm::vec4(0, 0, 0, 1));
}

TEST(ParameterConversion, RoundTripsAndParametersFromTheMatrix)
{
    const Vector<float> q = convertTMtoInternalParameters(params({1, -2, 3, 180, 90, -45, 77}));
    ASSERT_EQ(q.size(), 6);
    const float expected[6] = {3.1415927f, 1.5707964f, -0.7853982f, -1, 2, -3}, back[6] = {1, -2, 3, 180, 90, -45};
    for (int k = 0; k < 6; ++k) EXPECT_FLOAT_EQ(q[k], expected[k]) << k;
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(convertInternaltoTMParameters(q)[k], back[k], 4e-5f) << k;
    EXPECT_THROW(convertTMtoInternalParameters(params({1, 2, 3, 4, 5})), std::runtime_error);
    EXPECT_THROW(convertInternaltoTMParameters(Vector<float>()), std::runtime_error);
    EXPECT_THROW(getTrfMatrixTM(params({1, 2, 3})), std::runtime_error);

    // |b| < π/2 and |a|, |c| < π, away from 0 and π where acos loses accuracy:
    // with |sin| >= 0.2 the angles come back within 1e-5 rad.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> ac(0.21f, 2.9f), bb(-1.3f, 1.3f), shift(-20.0f, 20.0f);
    std::bernoulli_distribution negative(0.5);
    for (int trial = 0; trial < 200; ++trial) {
        const std::vector<float> p = {negative(rng) ? -ac(rng) : ac(rng), bb(rng), negative(rng) ? -ac(rng) : ac(rng),
                                      shift(rng), shift(rng), shift(rng)};
        const Vector<float> r = getParametersFromRigidTrfMatrix(getTrfMatrix(params(p)));
        ASSERT_EQ(r.size(), 6);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(r[k], p[k], 1e-5f) << "trial " << trial << " angle " << k;
        for (int k = 3; k < 6; ++k) EXPECT_EQ(r[k], p[k]) << "trial " << trial;
    }
    // Cosines that round to exactly 1 give exactly 0.
    const Vector<float> tiny = getParametersFromRigidTrfMatrix(getTrfMatrix(params({1e-5f, 0, -1e-5f, 0, 0, 0})));
    EXPECT_EQ(std::vector<float>(tiny.data(), tiny.data() + 3), std::vector<float>(3, 0.0f));
}

TEST(RMSDisplacement, ClosedFormsForShiftsTurnsAndRandomMotions)
{
    // A shift moves every point by its length, whatever the radius. A turn by
    // θ about one axis has |R − I|²_F = 4(1 − cos θ): r·sqrt(0.8(1 − cos θ)).
    EXPECT_NEAR(absoluteRMSDisplacement({{1, 2, 2, 0, 0, 0}}, 1000.0)[0], 3.0, 1e-12);
    EXPECT_NEAR(relativeRMSDisplacement({{1, 2, 2, 10, -4, 7}, {4, 6, 2, 10, -4, 7}})[1], 5.0, 1e-9);
    for (int axis = 3; axis < 6; ++axis)
        for (double theta : {0.5, 90.0, 180.0}) {
            MotionRow row{};
            row[std::size_t(axis)] = theta;
            const double turn = 65.0 * std::sqrt(0.8 * (1 - std::cos(theta * kPi / 180)));
            const MotionParameters still = {MotionRow{}, row, row};
            EXPECT_NEAR(absoluteRMSDisplacement(still)[1], turn, 1e-9) << "axis " << axis;
            EXPECT_NEAR(relativeRMSDisplacement(still)[1], turn, 1e-9) << "axis " << axis;
            EXPECT_NEAR(relativeRMSDisplacement(still)[2], 0.0, 1e-9) << "no motion between equal volumes";
            EXPECT_NEAR(absoluteRMSDisplacement({row}, 100.0)[0], turn * 100.0 / 65.0, 1e-9);
        }

    // Random small motions: dRMS against the closed form. The float result
    // carries rounding of the 3x3 block of B·inverse(A), about 1e-7 per
    // element, amplified by r²/5 inside the root: 5e-4 mm is safe.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-3, 3);
    for (int trial = 0; trial < 200; ++trial) {
        const std::array<double, 6> A = {u(rng), u(rng), u(rng), u(rng), u(rng), u(rng)}, B = {u(rng), u(rng), u(rng), u(rng), u(rng), u(rng)};
        const float ab = dRMS(rigid(A), rigid(B), 65.0f);
        EXPECT_NEAR(ab, closedFormRMS(A, B, 65.0), 5e-4) << "trial " << trial;
        EXPECT_NEAR(ab, dRMS(rigid(B), rigid(A), 65.0f), 5e-4) << "trial " << trial;
        EXPECT_NEAR(dRMS(rigid(A), rigid(A), 65.0f), 0.0f, 5e-4) << "trial " << trial;
    }
}

TEST(RMSDisplacement, OfAMotionSdmAndItsEdgeCases)
{
    EXPECT_TRUE(getDistanceRMSfrom3DMCSDM(SDM()).empty());
    EXPECT_EQ(getDistanceRMSfrom3DMCSDM(support::motionSdm({{1, 2, 3, 4, 5, 6}})), std::vector<float>{0.0f});
    // Standing still away from the reference: zero up to the rounding of the
    // float 4x4 inverse (a few 1e-7 per element, times 65 mm).
    for (float v : getDistanceRMSfrom3DMCSDM(support::motionSdm(support::MotionRows(5, {1, -2, 0.5, 2, 1, -1})))) EXPECT_NEAR(v, 0.0f, 2e-5);
    // Five predictors, or a predictor one value short, are refused.
    SDM five = support::motionSdm(support::stillRows(3)), shortOne = support::motionSdm(support::stillRows(2));
    five.Predictors.pop_back();
    five.NrOfPredictors = 5;
    shortOne.Predictors[4].pop_back();
    for (const SDM* bad : {&five, &shortOne}) {
        EXPECT_THROW(getDistanceRMSfrom3DMCSDM(*bad), std::runtime_error);
        EXPECT_THROW(motionParametersFromSDM(*bad), std::runtime_error);
    }
}

TEST(RMSDisplacement, RealTraceAgainstTheClosedFormInDouble)
{
    // The closed form starts from the float parameters an SDM holds.
    support::MotionRows rows = support::realTraceRows();
    for (auto& row : rows)
        for (double& v : row) v = double(float(v));
    const SDM sdm = support::motionSdm(rows);
    const std::vector<float> plugin = getDistanceRMSfrom3DMCSDM(sdm);
    const std::vector<double> measure = relativeRMSDisplacement(motionParametersFromSDM(sdm));
    ASSERT_EQ(plugin.size(), 365u);
    ASSERT_EQ(measure.size(), 365u);
    EXPECT_EQ(plugin[0], 0.0f);
    EXPECT_EQ(measure[0], 0.0);
    double largest = 0;
    for (std::size_t t = 1; t < rows.size(); ++t) {
        const double expected = closedFormRMS(rows[t - 1], rows[t], 65.0);
        largest = std::max(largest, expected);
        // Motions below a millimetre and a degree: the single-precision path
        // stays within a few 1e-6 mm; the double one far closer. A composition
        // that rotated the previous translation would be up to 5e-4 mm off.
        EXPECT_NEAR(plugin[t], expected, 2e-5) << "volume " << t;
        EXPECT_NEAR(measure[t], expected, 1e-7) << "volume " << t;
    }
    EXPECT_GT(largest, 0.01) << "the trace holds real motion";
}

TEST(FramewiseDisplacement, PeerToolOnTheRealTraceAndWorkedCases)
{
    const std::vector<double> peer = support::realTracePeerFD();
    ASSERT_EQ(peer.size(), 364u);
    const std::vector<double> fd = framewiseDisplacement(support::realTraceRows());
    ASSERT_EQ(fd.size(), 365u);
    EXPECT_EQ(fd[0], 0.0);
    // The peer prints six significant digits of values below 1 mm.
    for (std::size_t t = 1; t < fd.size(); ++t) ASSERT_NEAR(fd[t], peer[t - 1], 1e-5) << "volume " << t;

    // 1 mm along y, then 1 degree about z: 50 mm · π/180 of arc.
    const MotionParameters motion = {{0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 1}, {0, 0, 0, 0, 0, 0}};
    const std::vector<double> worked = framewiseDisplacement(motion), arc = {0, 1, 50.0 * kPi / 180.0, 1 + 50.0 * kPi / 180.0};
    for (std::size_t t = 0; t < 4; ++t) EXPECT_NEAR(worked.at(t), arc[t], 1e-12) << "volume " << t;
    EXPECT_NEAR(framewiseDisplacement(motion, 80.0)[2], 80.0 * kPi / 180.0, 1e-12);
    EXPECT_TRUE(framewiseDisplacement({}).empty());
    for (double bad : {0.0, -5.0, std::nan("")}) {
        EXPECT_THROW(framewiseDisplacement(motion, bad), std::invalid_argument) << bad;
        EXPECT_THROW(relativeRMSDisplacement(motion, bad), std::invalid_argument) << bad;
    }
}

TEST(MotionSeries, SummaryAndCensoring)
{
    const auto s = summarizeSeries({0.1, 0.6, 0.2, 0.9, 0.5}, 0.5);
    EXPECT_NEAR(s.mean, 0.46, 1e-12);
    EXPECT_EQ(s.max, 0.9);
    EXPECT_EQ(s.above, (std::vector<int>{1, 3})) << "strictly above the threshold";
    EXPECT_NEAR(s.percentAbove, 40.0, 1e-12);
    EXPECT_TRUE(summarizeSeries({}, 1.0).above.empty());
    const struct {
        std::vector<int> spikes;
        int before, after;
        std::vector<int> expected;
    } cases[] = {
        {{3}, 0, 0, {3}},
        {{3}, 1, 2, {2, 3, 4, 5}},
        {{0, 9}, 2, 3, {0, 1, 2, 3, 7, 8, 9}}, // clipped at both ends
        {{4, 5}, 1, 1, {3, 4, 5, 6}},       // overlaps merge
        {{}, 3, 3, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(censoredVolumes(c.spikes, 10, c.before, c.after), c.expected) << "before " << c.before << " after " << c.after;
    EXPECT_THROW(censoredVolumes({1}, 5, -1, 0), std::invalid_argument);
}
