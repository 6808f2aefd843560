// Predictor transforms and their statistics by worked cases, and the
// correlation table. (The plot of a design matrix: the golden tier.)
#include "mySDMfunctions.h"
#include "testing.h"

namespace {

SDM oneOf(const std::vector<float>& values, const std::string& name = "x")
{
    SDM sdm;
    sdm.NrOfDataPoints = static_cast<int>(values.size());
    sdm.AddPredictor(values, name, 255, 0, 0);
    return sdm;
}

} // namespace

TEST(PredictorTransforms, WorkedCases)
{
    using Transform = std::function<void(SDM&)>;
    const Transform detrend = [](SDM& s) { detrendPredictor(s, 0); }, derivative = [](SDM& s) { derivativePredictor(s, 0); };
    const auto delay = [](unsigned k) { return Transform([k](SDM& s) { timeDelayPredictor(s, 0, k); }); };
    const struct {
        const char* what;
        std::vector<float> in;
        Transform transform;
        std::vector<float> out;
        const char* name;
    } cases[] = {
        {"detrend 1,2,3", {1, 2, 3}, detrend, {0, 0, 0}, "x detrended"},
        {"detrend 0,0,3", {0, 0, 3}, detrend, {0.5f, -1, 0.5f}, "x detrended"},
        {"detrend 5,1,0,2", {5, 1, 0, 2}, detrend, {1.5f, -1.5f, -1.5f, 1.5f}, "x detrended"},
        {"detrend one value", {4}, detrend, {4}, "x detrended"},
        {"derivative 1,2,4,8", {1, 2, 4, 8}, derivative, {0, 1.5f, 3, 0}, "x derivative"},
        {"derivative of two", {1, 3}, derivative, {0, 0}, "x derivative"},
        {"square", {-2, 0.5f}, [](SDM& s) { squarePredictor(s, 0); }, {4, 0.25f}, "x squared"},
        {"delay 1", {1, 2, 3, 4}, delay(1), {0, 1, 2, 3}, "x t-1"},
        {"delay 2", {1, 2, 3, 4}, delay(2), {0, 0, 1, 2}, "x t-2"},
        {"delay beyond", {1, 2}, delay(5), {0, 0}, "x t-5"},
        {"z 1,2,3", {1, 2, 3}, [](SDM& s) { zTransformPredictor(s, 0); }, {-1, 0, 1}, "x"},
        {"z 0,0,0,4: sd 2", {0, 0, 0, 4}, [](SDM& s) { zTransformPredictor(s, 0); }, {-0.5f, -0.5f, -0.5f, 1.5f}, "x"},
        {"z constant is only centred", {2, 2, 2}, [](SDM& s) { zTransformPredictor(s, 0); }, {0, 0, 0}, "x"},
        {"detrend, delay, square", {0, 0, 3}, [&](SDM& s) { detrend(s), delay(1)(s), squarePredictor(s, 0); }, {0, 0.25f, 1},
         "x detrended t-1 squared"},
    };
    for (const auto& c : cases) {
        SDM sdm = oneOf(c.in);
        c.transform(sdm);
        ASSERT_EQ(sdm.Predictors[0].size(), c.out.size()) << c.what;
        for (std::size_t k = 0; k < c.out.size(); ++k) EXPECT_NEAR(sdm.Predictors[0][k], c.out[k], 1e-6f) << c.what << " value " << k;
        EXPECT_EQ(sdm.PredictorNames[0], c.name) << c.what;
    }
}

TEST(PredictorStatistics, MeanDeviationCorrelationThresholdAndCombination)
{
    const auto [m, sd] = meanANDstddev<float>({1, 2, 3, 4});
    EXPECT_FLOAT_EQ(m, 2.5f);
    EXPECT_FLOAT_EQ(sd, 1.2909944f); // sqrt(5/3): divisor n - 1
    EXPECT_EQ(meanANDstddev<float>({7}).second, 0.0f) << "no NaN from one value";
    EXPECT_FLOAT_EQ(correlation<float>({1, 2, 3}, {3, 2, 1}), -1.0f);
    EXPECT_FLOAT_EQ(correlation<float>({1, 2, 3, 4}, {1, 3, 2, 4}), 0.8f);
    EXPECT_EQ(correlation<float>({1, 2, 3}, {1, 2}), 0.0f);
    EXPECT_EQ(correlation<float>({1, 2, 3}, {4, 4, 4}), 0.0f);
    EXPECT_EQ(indicesGreaterThan<float>({0.1f, 0.5f, 0.5f, 0.7f}, 0.5f), std::vector<int>{3});

    SDM a = oneOf({1, 2, 3}, "task");
    a.AddPredictor({1, 1, 1}, "constant", 0, 0, 0);
    const SDM c = combine(a, oneOf({0, 1, 0}, "motion"));
    EXPECT_EQ(c.PredictorNames, (std::vector<std::string>{"task", "motion", "constant"}));
    EXPECT_EQ(a.NrOfPredictors.value(), 2) << "the operands stay as they were";
}

TEST(CorrelationTable, ExactTextAndSaveFailure)
{
    const auto dir = support::tempDir("correlation");
    SDM sdm = oneOf({1, 2, 3, 4}, "A");
    sdm.AddPredictor({4, 3, 2, 1}, "B", 0, 0, 0);
    sdm.AddPredictor({1, 3, 2, 4}, "C", 0, 0, 0);
    sdm.FileName = (dir / "m.sdm").string();
    saveCorrelationMatrix(sdm);
    EXPECT_EQ(support::readFile(dir / "m.csv"), " ; A ; B ; C\nA ; 1.00 ; 1.00 ; 0.80\nB ; 1.00 ; 1.00 ; 0.80\nC ; 0.80 ; 0.80 ; 1.00\n");
    sdm.FileName = (dir / "missing" / "m.sdm").string();
    try {
        saveCorrelationMatrix(sdm);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot Create file: " + (dir / "missing" / "m.csv").string());
    }
}
