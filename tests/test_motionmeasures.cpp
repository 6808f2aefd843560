// Motion summary measures: framewise displacement against a peer tool's
// values for a real run, RMS displacement against the plug-in's own spike
// measure, and worked cases with closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>

#include "gridtransformations.h"
#include "motionmeasures.h"
#include "mySDM.h"
#include "support/testing.h"

namespace {

constexpr double kPi = std::numbers::pi;

// The real run: rows of rot x, y, z (rad) then trans x, y, z (mm), turned
// into the 3DMC order (mm, then degrees).
MotionParameters realRun()
{
    std::ifstream in(support::sharedData("mcflirt_movpar.txt"));
    MotionParameters rows;
    double v[6];
    while (in >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5])
        rows.push_back({v[3], v[4], v[5], v[0] * 180.0 / kPi, v[1] * 180.0 / kPi, v[2] * 180.0 / kPi});
    return rows;
}

std::vector<double> numbers(const std::string& file)
{
    std::ifstream in(support::sharedData(file));
    std::vector<double> values;
    for (double v; in >> v;) values.push_back(v);
    return values;
}

TEST(FramewiseDisplacement, MatchesThePeerToolOnARealRun)
{
    const MotionParameters motion = realRun();
    ASSERT_EQ(motion.size(), 365u);
    const std::vector<double> expected = numbers("fsl_motion_outliers_fd.txt");
    ASSERT_EQ(expected.size(), 364u);
    const std::vector<double> fd = framewiseDisplacement(motion);
    ASSERT_EQ(fd.size(), 365u);
    EXPECT_EQ(fd[0], 0.0);
    // The peer prints six significant digits; the degree round trip adds
    // far less than 1e-9 mm.
    for (std::size_t t = 1; t < fd.size(); ++t)
        ASSERT_NEAR(fd[t], expected[t - 1], 1e-5) << "volume " << t;
}

TEST(FramewiseDisplacement, WorkedCasesAndRadius)
{
    // 1 mm along y, then 1 degree about z: 50 mm · π/180 of arc.
    const MotionParameters motion = {{0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 1}, {0, 0, 0, 0, 0, 0}};
    const auto fd = framewiseDisplacement(motion);
    EXPECT_NEAR(fd[1], 1.0, 1e-12);
    EXPECT_NEAR(fd[2], 50.0 * kPi / 180.0, 1e-12);
    EXPECT_NEAR(fd[3], 1.0 + 50.0 * kPi / 180.0, 1e-12);
    EXPECT_NEAR(framewiseDisplacement(motion, 80.0)[2], 80.0 * kPi / 180.0, 1e-12);
    EXPECT_TRUE(framewiseDisplacement({}).empty());
    for (double bad : {0.0, -5.0, std::nan("")}) {
        EXPECT_THROW(framewiseDisplacement(motion, bad), std::invalid_argument) << bad;
        EXPECT_THROW(relativeRMSDisplacement(motion, bad), std::invalid_argument) << bad;
    }
}

TEST(RMSDisplacement, ClosedFormsForPureShiftsAndTurns)
{
    // A shift moves every point by its length. A turn by θ about one axis has
    // |R - I|²_F = 4(1 - cos θ), so the RMS over a ball of radius r is
    // r·sqrt(0.8·(1 - cos θ)).
    const double theta = 3.0 * kPi / 180.0;
    const double turn = 65.0 * std::sqrt(0.8 * (1.0 - std::cos(theta)));
    for (int axis = 3; axis < 6; ++axis) {
        MotionRow row{};
        row[axis] = 3.0;
        const MotionParameters motion = {MotionRow{}, row, row};
        const auto absolute = absoluteRMSDisplacement(motion);
        const auto relative = relativeRMSDisplacement(motion);
        EXPECT_NEAR(absolute[0], 0.0, 1e-12);
        EXPECT_NEAR(absolute[1], turn, 1e-9) << "axis " << axis;
        EXPECT_NEAR(relative[1], turn, 1e-9) << "axis " << axis;
        EXPECT_NEAR(relative[2], 0.0, 1e-9) << "no motion between equal volumes";
    }
    const MotionParameters shifted = {{1, 2, 2, 10, -4, 7}, {4, 6, 2, 10, -4, 7}};
    EXPECT_NEAR(relativeRMSDisplacement(shifted)[1], 5.0, 1e-9);
    EXPECT_NEAR(absoluteRMSDisplacement({{3, 0, 4, 0, 0, 0}})[0], 5.0, 1e-12);
    EXPECT_NEAR(absoluteRMSDisplacement({{0, 0, 0, 0, 0, 3}}, 100.0)[0], turn * 100.0 / 65.0, 1e-9);
}

TEST(RMSDisplacement, RelativeAgreesWithThePluginsSpikeMeasure)
{
    const MotionParameters motion = realRun();
    SDM sdm;
    sdm.NrOfDataPoints = static_cast<int>(motion.size());
    for (int k = 0; k < 6; ++k) {
        std::vector<float> values;
        for (const auto& row : motion) values.push_back(static_cast<float>(row[k]));
        sdm.AddPredictor(values, "p" + std::to_string(k), 0, 0, 0);
    }
    const MotionParameters read = motionParametersFromSDM(sdm);
    ASSERT_EQ(read.size(), motion.size());
    const std::vector<float> plugin = getDistanceRMSfrom3DMCSDM(sdm);
    const std::vector<double> ours = relativeRMSDisplacement(read);
    // The plug-in works in single precision (6e-8 mm apart on this run). A
    // composition that rotated the previous translation, |tb - R·ta|, would be
    // up to 5e-4 mm off here, so 1e-6 tells the two apart.
    for (std::size_t t = 0; t < ours.size(); ++t) ASSERT_NEAR(ours[t], plugin[t], 1e-6) << "volume " << t;

    sdm.Predictors.resize(5);
    EXPECT_THROW(motionParametersFromSDM(sdm), std::runtime_error);
}

TEST(MotionSeries, SummaryAndCensoring)
{
    const auto s = summarizeSeries({0.1, 0.6, 0.2, 0.9, 0.5}, 0.5);
    EXPECT_NEAR(s.mean, 0.46, 1e-12);
    EXPECT_EQ(s.max, 0.9);
    EXPECT_EQ(s.above, (std::vector<int>{1, 3})) << "strictly above the threshold";
    EXPECT_NEAR(s.percentAbove, 40.0, 1e-12);
    EXPECT_TRUE(summarizeSeries({}, 1.0).above.empty());

    struct Case {
        std::vector<int> spikes;
        int volumes, before, after;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {{3}, 10, 0, 0, {3}},
        {{3}, 10, 1, 2, {2, 3, 4, 5}},
        {{0, 9}, 10, 2, 2, {0, 1, 2, 7, 8, 9}},  // clipped at both ends
        {{4, 5}, 10, 1, 1, {3, 4, 5, 6}},        // overlaps merge
        {{}, 10, 3, 3, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(censoredVolumes(c.spikes, c.volumes, c.before, c.after), c.expected)
            << "before " << c.before << " after " << c.after;
    EXPECT_THROW(censoredVolumes({1}, 5, -1, 0), std::invalid_argument);
}

} // namespace
