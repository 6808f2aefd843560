// Rigid-body transforms and the RMS displacement: matrix layout, parameter
// conversions and round trips, dRMS identities against the closed form, and
// the volume-to-volume displacement of a real motion trace against an
// independent double-precision computation.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "gridtransformations.h"
#include "mySDM.h"
#include "testing.h"

namespace {

using Mat3 = std::array<std::array<double, 3>, 3>;

Vector<float> params(std::vector<float> values) { return Vector<float>(values); }

bool isIdentity(const glm::mat4& m)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (m[i][j] != (i == j ? 1.0f : 0.0f)) return false;
    return true;
}

Mat3 product(const Mat3& a, const Mat3& b)
{
    Mat3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
}

// R = Rz(c)·Ry(b)·Rx(a) from the right-handed elementary rotations, in double.
Mat3 rotation(double a, double b, double c)
{
    const Mat3 rx{{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}};
    const Mat3 ry{{{std::cos(b), 0, std::sin(b)}, {0, 1, 0}, {-std::sin(b), 0, std::cos(b)}}};
    const Mat3 rz{{{std::cos(c), -std::sin(c), 0}, {std::sin(c), std::cos(c), 0}, {0, 0, 1}}};
    return product(rz, product(ry, rx));
}

// The RMS displacement over a ball of radius r between two rigid motions
// given in TM order (mm, degrees): sqrt(r²/5·|R_B - R_A|²_F + |t_B - t_A|²).
double closedFormRMS(const std::array<double, 6>& A, const std::array<double, 6>& B, double r)
{
    const double d = M_PI / 180.0;
    const Mat3 ra = rotation(A[3] * d, A[4] * d, A[5] * d), rb = rotation(B[3] * d, B[4] * d, B[5] * d);
    double s = 0, t = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) s += (rb[i][j] - ra[i][j]) * (rb[i][j] - ra[i][j]);
    for (int i = 0; i < 3; ++i) t += (B[i] - A[i]) * (B[i] - A[i]);
    return std::sqrt(r * r / 5.0 * s + t);
}

Vector<float> tmVector(const std::array<double, 6>& p)
{
    Vector<float> v(6);
    for (int k = 0; k < 6; ++k) v[k] = static_cast<float>(p[k]);
    return v;
}

SDM motionSDM(const std::vector<std::array<double, 6>>& rows)
{
    SDM sdm;
    sdm.NrOfDataPoints = static_cast<int>(rows.size());
    for (int k = 0; k < 6; ++k) {
        std::vector<float> values;
        for (const auto& row : rows) values.push_back(static_cast<float>(row[k]));
        sdm.AddPredictor(values, "motion " + std::to_string(k), 255, 0, 0);
    }
    return sdm;
}

// Applies a rigid matrix to a point: x' = R·x + t.
glm::vec3 apply(const glm::mat4& m, glm::vec3 x)
{
    glm::vec3 r;
    for (int row = 0; row < 3; ++row) r[row] = m[0][row] * x.x + m[1][row] * x.y + m[2][row] * x.z + m[row][3];
    return r;
}

} // namespace

TEST(TrfMatrix, IdentityForZerosAndForUnsupportedLengths)
{
    for (int n : {0, 1, 5, 7, 8, 10, 11, 13}) EXPECT_TRUE(isIdentity(getTrfMatrix(Vector<float>(n, 0.5f)))) << n;
    EXPECT_TRUE(isIdentity(getTrfMatrix(Vector<float>(6, 0.0f))));
    EXPECT_TRUE(isIdentity(getTrfMatrix(Vector<float>(9, 0.0f))));
    EXPECT_TRUE(isIdentity(getTrfMatrixTM(Vector<float>(6, 0.0f))));
}

TEST(TrfMatrix, LayoutTranslationAndRotationDirections)
{
    const glm::mat4 t = getTrfMatrixTM(params({1, 2, 3, 0, 0, 0}));
    EXPECT_EQ(glm::vec3(t[0][3], t[1][3], t[2][3]), glm::vec3(-1, -2, -3));
    EXPECT_EQ(t[3], glm::vec4(0, 0, 0, 1));

    // Right-handed quarter turns about each axis (TM order, degrees); the
    // rotated values are exact up to sin/cos rounding of a few 1e-7.
    struct Case {
        std::vector<float> tm;
        glm::vec3 from, to;
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0, 90}, {1, 0, 0}, {0, 1, 0}},
        {{0, 0, 0, 90, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        {{0, 0, 0, 0, 90, 0}, {0, 0, 1}, {1, 0, 0}},
        {{0, 0, 0, -90, 0, 0}, {0, 0, 1}, {0, 1, 0}},
        {{0, 0, 0, 0, 0, 180}, {1, 2, 0}, {-1, -2, 0}},
        {{5, 0, 0, 0, 0, 90}, {1, 0, 0}, {-5, 1, 0}},
    };
    for (const Case& c : cases) {
        const glm::vec3 r = apply(getTrfMatrixTM(params(c.tm)), c.from);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(r[k], c.to[k], 1e-6) << "rot " << c.tm[3] << "," << c.tm[4] << "," << c.tm[5] << " axis " << k;
    }

    // The rotation block against Rz·Ry·Rx built independently in double;
    // elements 6..8 of a nine-element vector change nothing.
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> angle(-3.0f, 3.0f), shift(-20.0f, 20.0f);
    for (int trial = 0; trial < 50; ++trial) {
        const std::vector<float> q = {angle(rng), angle(rng), angle(rng), shift(rng), shift(rng), shift(rng)};
        const glm::mat4 m = getTrfMatrix(params(q));
        std::vector<float> q9 = q;
        q9.insert(q9.end(), {9, 9, 9});
        EXPECT_EQ(getTrfMatrix(params(q9)), m);
        const Mat3 r = rotation(q[0], q[1], q[2]);
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col) EXPECT_NEAR(m[col][row], r[row][col], 1e-6) << "trial " << trial;
        EXPECT_EQ(glm::vec3(m[0][3], m[1][3], m[2][3]), glm::vec3(q[3], q[4], q[5]));
        EXPECT_EQ(m[3], glm::vec4(0, 0, 0, 1));
    }
}

TEST(TrfMatrix, TwelveElementsFillTheStorageRowByRow)
{
    std::vector<float> e(12);
    for (int k = 0; k < 12; ++k) e[k] = static_cast<float>(k + 1);
    const glm::mat4 m = getTrfMatrix(params(e));
    for (int k = 0; k < 12; ++k) EXPECT_EQ(m[k / 4][k % 4], static_cast<float>(k + 1)) << k;
    EXPECT_EQ(m[3], glm::vec4(0, 0, 0, 1));
}

TEST(ParameterConversion, WorkedValuesRoundTripsAndShortInput)
{
    const Vector<float> q = convertTMtoInternalParameters(params({1, -2, 3, 180, 90, -45, 77}));
    ASSERT_EQ(q.size(), 6);
    const float expected[6] = {3.1415927f, 1.5707964f, -0.7853982f, -1, 2, -3};
    for (int k = 0; k < 6; ++k) EXPECT_FLOAT_EQ(q[k], expected[k]) << k;

    std::mt19937 rng(11);
    std::uniform_real_distribution<float> deg(-180.0f, 180.0f), mm(-30.0f, 30.0f);
    for (int trial = 0; trial < 100; ++trial) {
        const Vector<float> p = params({mm(rng), mm(rng), mm(rng), deg(rng), deg(rng), deg(rng)});
        const Vector<float> back = convertInternaltoTMParameters(convertTMtoInternalParameters(p));
        // Multiply and divide by pi and 180 twice: a few float ulps of 180 degrees.
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(back[k], p[k], 4e-5f) << "trial " << trial << " k " << k;
        EXPECT_EQ(getTrfMatrixTM(p), getTrfMatrix(convertTMtoInternalParameters(p)));
    }
    EXPECT_THROW(convertTMtoInternalParameters(params({1, 2, 3, 4, 5})), std::runtime_error);
    EXPECT_THROW(convertInternaltoTMParameters(Vector<float>()), std::runtime_error);
    EXPECT_THROW(getTrfMatrixTM(params({1, 2, 3})), std::runtime_error);
}

TEST(ParameterConversion, ParametersFromMatrixInvertGetTrfMatrix)
{
    std::mt19937 rng(3);
    // |b| < pi/2 and |a|, |c| < pi, kept away from 0 and pi where acos loses
    // accuracy: acos of a cosine off by a few ulps is off by ulps / |sin|, so
    // with |sin| >= 0.2 the angles come back within 1e-5 rad.
    std::uniform_real_distribution<float> ac(0.21f, 2.9f), bb(-1.3f, 1.3f), shift(-20.0f, 20.0f), coin(0.0f, 1.0f);
    for (int trial = 0; trial < 200; ++trial) {
        const float a = coin(rng) < 0.5f ? ac(rng) : -ac(rng);
        const float c = coin(rng) < 0.5f ? ac(rng) : -ac(rng);
        const std::vector<float> q = {a, bb(rng), c, shift(rng), shift(rng), shift(rng)};
        const Vector<float> r = getParametersFromRigidTrfMatrix(getTrfMatrix(params(q)));
        ASSERT_EQ(r.size(), 6);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(r[k], q[k], 1e-5f) << "trial " << trial << " angle " << k;
        for (int k = 3; k < 6; ++k) EXPECT_EQ(r[k], q[k]) << "trial " << trial;
    }
    // Cosines that round to exactly 1 give exactly 0.
    const Vector<float> tiny = getParametersFromRigidTrfMatrix(getTrfMatrix(params({1e-5f, 0, -1e-5f, 0, 0, 0})));
    EXPECT_EQ(tiny[0], 0.0f);
    EXPECT_EQ(tiny[1], 0.0f);
    EXPECT_EQ(tiny[2], 0.0f);
}

TEST(RMSDisplacement, IdentitiesAndTheClosedForm)
{
    const glm::mat4 I(1.0f);
    // Pure translations: their length, whatever the radius.
    const std::array<double, 6> shifts[] = {{3, 4, 0, 0, 0, 0}, {0, 0, -2, 0, 0, 0}, {1, 2, 2, 0, 0, 0}};
    for (const auto& s : shifts)
        for (float r : {0.0f, 65.0f, 1000.0f}) {
            const double length = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
            EXPECT_NEAR(dRMS(I, getTrfMatrixTM(tmVector(s)), r), length, 1e-6) << s[0] << "," << s[1] << "," << s[2];
        }
    // One axis alone: radius·sqrt((4 - 4cosθ)/5); 90 degrees over 65 mm is 58.14 mm.
    EXPECT_NEAR(dRMS(I, getTrfMatrixTM(params({0, 0, 0, 0, 0, 90})), 65.0f), 58.1378, 1e-3);
    for (int axis = 3; axis < 6; ++axis)
        for (double theta : {0.5, 10.0, 90.0, 180.0}) {
            std::array<double, 6> p{};
            p[axis] = theta;
            const double expected = 65.0 * std::sqrt((4 - 4 * std::cos(theta * M_PI / 180)) / 5);
            EXPECT_NEAR(dRMS(I, getTrfMatrixTM(tmVector(p)), 65.0f), expected, 2e-4 + 1e-5 * expected)
                << "axis " << axis << " theta " << theta;
        }

    // Random small motions (up to 3 degrees, 3 mm): dRMS against the closed
    // form in double. The float result carries rounding of the 3x3 block of
    // B·inverse(A), about 1e-7 per element, amplified by r²/5 inside the root:
    // 5e-4 mm is a safe bound for differences of this size.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> deg(-3, 3), mm(-3, 3);
    for (int trial = 0; trial < 200; ++trial) {
        const std::array<double, 6> A = {mm(rng), mm(rng), mm(rng), deg(rng), deg(rng), deg(rng)};
        const std::array<double, 6> B = {mm(rng), mm(rng), mm(rng), deg(rng), deg(rng), deg(rng)};
        const glm::mat4 a = getTrfMatrixTM(tmVector(A)), b = getTrfMatrixTM(tmVector(B));
        const float ab = dRMS(a, b, 65.0f), ba = dRMS(b, a, 65.0f);
        EXPECT_NEAR(ab, closedFormRMS(A, B, 65.0), 5e-4) << "trial " << trial;
        EXPECT_NEAR(ab, ba, 5e-4) << "trial " << trial;
        EXPECT_NEAR(dRMS(a, a, 65.0f), 0.0f, 5e-4) << "trial " << trial;
    }
}

TEST(RMSDisplacementOfSDM, EdgeCasesAndRejectedInput)
{
    SDM empty;
    EXPECT_TRUE(getDistanceRMSfrom3DMCSDM(empty).empty());
    EXPECT_EQ(getDistanceRMSfrom3DMCSDM(motionSDM({{1, 2, 3, 4, 5, 6}})), std::vector<float>{0.0f});
    EXPECT_EQ(getDistanceRMSfrom3DMCSDM(motionSDM(std::vector<std::array<double, 6>>(4, {0, 0, 0, 0, 0, 0}))),
              std::vector<float>(4, 0.0f));
    // Standing still away from the reference: zero up to the rounding of the
    // float 4x4 inverse (a few 1e-7 per element, times 65 mm).
    const std::vector<float> still =
        getDistanceRMSfrom3DMCSDM(motionSDM(std::vector<std::array<double, 6>>(5, {1, -2, 0.5, 2, 1, -1})));
    ASSERT_EQ(still.size(), 5u);
    EXPECT_EQ(still[0], 0.0f);
    for (float v : still) EXPECT_NEAR(v, 0.0f, 2e-5);
    const std::vector<float> shifted = getDistanceRMSfrom3DMCSDM(motionSDM({{0, 0, 0, 0, 0, 0}, {3, 4, 0, 0, 0, 0}, {3, 4, 1, 0, 0, 0}}));
    ASSERT_EQ(shifted.size(), 3u);
    EXPECT_EQ(shifted[0], 0.0f);
    EXPECT_NEAR(shifted[1], 5.0f, 1e-5);
    EXPECT_NEAR(shifted[2], 1.0f, 1e-5);

    SDM five;
    five.NrOfDataPoints = 3;
    for (int k = 0; k < 5; ++k) five.AddPredictor({0, 1, 2}, "p", 0, 0, 0);
    try {
        getDistanceRMSfrom3DMCSDM(five);
        ADD_FAILURE() << "five predictors accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("has 5 predictors"), std::string::npos) << e.what();
    }
    SDM shortOne = motionSDM({{0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0}});
    shortOne.Predictors[4].pop_back();
    EXPECT_THROW(getDistanceRMSfrom3DMCSDM(shortOne), std::runtime_error);
}

TEST(RMSDisplacementOfSDM, RealMotionTraceAgainstDoublePrecision)
{
    std::ifstream in(support::sharedData("mcflirt_movpar.txt"));
    ASSERT_TRUE(in) << support::sharedData("mcflirt_movpar.txt");
    // Rows: rotations x, y, z in radians, then translations x, y, z in mm;
    // TM order is translations in mm, then rotations in degrees.
    std::vector<std::array<double, 6>> rows;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        double rx, ry, rz, tx, ty, tz;
        if (!(fields >> rx >> ry >> rz >> tx >> ty >> tz)) continue;
        const double d = 180.0 / M_PI;
        rows.push_back({tx, ty, tz, rx * d, ry * d, rz * d});
    }
    ASSERT_EQ(rows.size(), 365u);
    // The double computation starts from the float parameters the SDM holds.
    for (auto& row : rows)
        for (double& v : row) v = static_cast<float>(v);

    const std::vector<float> rms = getDistanceRMSfrom3DMCSDM(motionSDM(rows));
    ASSERT_EQ(rms.size(), rows.size());
    EXPECT_EQ(rms[0], 0.0f);
    // Volume-to-volume motions here are below a millimetre and a degree; the
    // single-precision path (degree conversion, sin/cos, 4x4 inverse) stays
    // within a few 1e-6 mm of the double-precision value, 2e-5 leaves room.
    double largest = 0;
    for (std::size_t t = 1; t < rows.size(); ++t) {
        const double expected = closedFormRMS(rows[t - 1], rows[t], 65.0);
        largest = std::max(largest, expected);
        EXPECT_NEAR(rms[t], expected, 2e-5) << "volume " << t;
    }
    EXPECT_GT(largest, 0.01) << "the trace should hold real motion";
}
