// Predictor transforms, their statistics, the correlation table and the plot
// of a design matrix through the host.
#include <cmath>
#include <random>

#include "mySDMfunctions.h"
#include "testing.h"

using support::HostTest;

namespace {

SDM oneOf(const std::vector<float>& values, const std::string& name = "x")
{
    SDM sdm;
    sdm.NrOfDataPoints = static_cast<int>(values.size());
    sdm.AddPredictor(values, name, 255, 0, 0);
    return sdm;
}

void expectValues(const std::vector<float>& actual, const std::vector<float>& expected, const std::string& what)
{
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t k = 0; k < actual.size(); ++k)
        EXPECT_NEAR(actual[k], expected[k], 1e-6f) << what << " value " << k;
}

} // namespace

TEST(PredictorTransforms, WorkedCases)
{
    using Transform = std::function<void(SDM&)>;
    const struct {
        const char* what;
        std::vector<float> in;
        Transform transform;
        std::vector<float> out;
        const char* name;
    } cases[] = {
        {"detrend 1,2,3", {1, 2, 3}, [](SDM& s) { detrendPredictor(s, 0); }, {0, 0, 0}, "x detrended"},
        {"detrend 0,0,3", {0, 0, 3}, [](SDM& s) { detrendPredictor(s, 0); }, {0.5f, -1, 0.5f}, "x detrended"},
        {"detrend one value", {4}, [](SDM& s) { detrendPredictor(s, 0); }, {4}, "x detrended"},
        {"derivative 1,2,4,8", {1, 2, 4, 8}, [](SDM& s) { derivativePredictor(s, 0); }, {0, 1.5f, 3, 0}, "x derivative"},
        {"derivative constant", {5, 5, 5, 5}, [](SDM& s) { derivativePredictor(s, 0); }, {0, 0, 0, 0}, "x derivative"},
        {"derivative of two", {1, 3}, [](SDM& s) { derivativePredictor(s, 0); }, {0, 0}, "x derivative"},
        {"square", {-2, 0.5f}, [](SDM& s) { squarePredictor(s, 0); }, {4, 0.25f}, "x squared"},
        {"delay 1", {1, 2, 3, 4}, [](SDM& s) { timeDelayPredictor(s, 0, 1); }, {0, 1, 2, 3}, "x t-1"},
        {"delay 2", {1, 2, 3, 4}, [](SDM& s) { timeDelayPredictor(s, 0, 2); }, {0, 0, 1, 2}, "x t-2"},
        {"delay 0", {1, 2, 3, 4}, [](SDM& s) { timeDelayPredictor(s, 0, 0); }, {1, 2, 3, 4}, "x t-0"},
        {"delay beyond", {1, 2}, [](SDM& s) { timeDelayPredictor(s, 0, 5); }, {0, 0}, "x t-5"},
        {"z 1,2,3", {1, 2, 3}, [](SDM& s) { zTransformPredictor(s, 0); }, {-1, 0, 1}, "x"},
        {"z constant", {2, 2, 2}, [](SDM& s) { zTransformPredictor(s, 0); }, {0, 0, 0}, "x"},
        {"detrend, delay, square", {0, 0, 3},
         [](SDM& s) {
             detrendPredictor(s, 0);
             timeDelayPredictor(s, 0, 1);
             squarePredictor(s, 0);
         },
         {0, 0.25f, 1}, "x detrended t-1 squared"},
    };
    for (const auto& c : cases) {
        SDM sdm = oneOf(c.in);
        c.transform(sdm);
        expectValues(sdm.Predictors[0], c.out, c.what);
        EXPECT_EQ(sdm.PredictorNames[0], c.name) << c.what;
        EXPECT_EQ(sdm.NrOfPredictors.value(), 1) << c.what;
    }
}

TEST(PredictorTransforms, DetrendLeavesNoMeanAndNoSlopeOnRandomData)
{
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (int n : {2, 3, 17, 200}) {
        std::vector<float> y(static_cast<std::size_t>(n));
        for (int k = 0; k < n; ++k) y[static_cast<std::size_t>(k)] = 5.0f + 0.03f * k + noise(random);
        SDM sdm = oneOf(y);
        detrendAllPredictors(sdm);
        double mean = 0, slope = 0, sxx = 0;
        for (int k = 0; k < n; ++k) mean += sdm.Predictors[0][static_cast<std::size_t>(k)];
        mean /= n;
        for (int k = 0; k < n; ++k) {
            slope += (k - (n - 1) / 2.0) * sdm.Predictors[0][static_cast<std::size_t>(k)];
            sxx += (k - (n - 1) / 2.0) * (k - (n - 1) / 2.0);
        }
        // The float sums of k² and k·y reach 1e6 for n = 200: a few 1e-5 remain.
        EXPECT_NEAR(mean, 0.0, 1e-4) << n;
        EXPECT_NEAR(slope / sxx, 0.0, 1e-5) << n;
    }
}

TEST(PredictorStatistics, MeanDeviationCorrelationThreshold)
{
    const auto [m, sd] = meanANDstddev<float>({1, 2, 3, 4});
    EXPECT_FLOAT_EQ(m, 2.5f);
    EXPECT_FLOAT_EQ(sd, 1.2909944f);
    EXPECT_EQ(meanANDstddev<float>({7}).second, 0.0f) << "no NaN from one value";
    EXPECT_FLOAT_EQ(correlation<float>({1, 2, 3}, {3, 2, 1}), -1.0f);
    EXPECT_FLOAT_EQ(correlation<float>({1, 2, 3}, {2, 4, 6.5f}), correlation<float>({2, 4, 6.5f}, {1, 2, 3}));
    EXPECT_EQ(correlation<float>({1, 2, 3}, {1, 2}), 0.0f);
    EXPECT_EQ(correlation<float>({1, 2, 3}, {4, 4, 4}), 0.0f);
    EXPECT_EQ(indicesGreaterThan<float>({0.1f, 0.5f, 0.5f, 0.7f}, 0.5f), std::vector<int>{3});
    EXPECT_EQ(indicesGreaterThan<float>({}, 0.0f), std::vector<int>{});
}

TEST(PredictorSets, CombineKeepsTheConstantLast)
{
    SDM a;
    a.NrOfDataPoints = 3;
    a.AddPredictor({1, 2, 3}, "task", 1, 2, 3);
    a.AddPredictor({1, 1, 1}, "constant", 0, 0, 0);
    SDM b = oneOf({0, 1, 0}, "motion");
    const SDM c = combine(a, b);
    ASSERT_EQ(c.NrOfPredictors.value(), 3);
    EXPECT_EQ(c.PredictorNames, (std::vector<std::string>{"task", "motion", "constant"}));
    EXPECT_EQ(a.NrOfPredictors.value(), 2) << "the operands stay as they were";
}

TEST(CorrelationTable, ExactTextAndSaveFailures)
{
    const auto dir = support::tempDir("correlation");
    SDM sdm;
    sdm.NrOfDataPoints = 4;
    sdm.AddPredictor({1, 2, 3, 4}, "A", 0, 0, 0);
    sdm.AddPredictor({4, 3, 2, 1}, "B", 0, 0, 0);
    sdm.FileName = (dir / "m.sdm").string();
    saveCorrelationMatrix(sdm);
    EXPECT_EQ(support::readFile(dir / "m.csv"), " ; A ; B\nA ; 1.00 ; 1.00\nB ; 1.00 ; 1.00\n");

    sdm.FileName = (dir / "missing" / "m.sdm").string();
    try {
        saveCorrelationMatrix(sdm);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot Create file: " + (dir / "missing" / "m.csv").string());
    }
}

class Plot : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        ASSERT_TRUE(InitZRAccess());
        hostState().writePlotFiles = false;
    }
};

TEST_F(Plot, CallSequenceAndSymmetricAxis)
{
    SDM sdm;
    sdm.NrOfDataPoints = 3;
    sdm.AddPredictor({-0.3f, 2.6f, 0}, "a", 255, 0, 0);
    sdm.AddPredictor({0.1f, 0.2f, -0.1f}, "b", 0, 0, 255);
    sdm.FileName = "/some/folder/run_3DMC.sdm";
    plot(sdm, 2, 1, 3);
    std::vector<std::string> calls;
    for (const auto& c : hostState().calls)
        if (c.rfind("zrPlot", 0) == 0 || c.rfind("zrSetPlot", 0) == 0 || c.rfind("zrShowPlot", 0) == 0 ||
            c.rfind("zrAddLine", 0) == 0 || c.rfind("zrResizePlot", 0) == 0)
            calls.push_back(c);
    EXPECT_EQ(calls, (std::vector<std::string>{"zrPlotLine a", "zrSetPlotColorTheme 1", "zrSetPlotLineSizeAndColor 0",
                                               "zrAddLineToPlot b", "zrSetPlotLineSizeAndColor 1", "zrShowPlotLegend",
                                               "zrSetPlotTitle run_3DMC.sdm", "zrResizePlot", "zrSetPlotYAxisRange",
                                               "zrShowPlotAtPosition"}));
    ASSERT_EQ(hostState().plots.size(), 1u);
    const host::Plot& p = hostState().plots.begin()->second;
    EXPECT_EQ(p.yLow, -3.0f);
    EXPECT_EQ(p.yHigh, 3.0f);
    EXPECT_EQ(p.width, 800);
    EXPECT_EQ(p.height, 350);
    EXPECT_EQ(p.x, 50);
    EXPECT_EQ(p.legendA, 1);
    EXPECT_EQ(p.legendB, 3);
    ASSERT_EQ(p.lines.size(), 2u);
    EXPECT_EQ(p.lines[1].size, 2);
    EXPECT_EQ(p.lines[1].blue, 255);
    EXPECT_EQ(p.lines[0].x, (std::vector<float>{1, 2, 3}));

    host::reset();
    hostState().writePlotFiles = false;
    SDM small = oneOf({-0.3f, 0.2f});
    plot(small, 2, 1, 3);
    EXPECT_EQ(hostState().plots.begin()->second.yHigh, 1.0f);

    host::reset();
    SDM empty;
    plot(empty, 2, 1, 3);
    EXPECT_TRUE(hostState().plots.empty()) << "nothing to draw, no window";
}
