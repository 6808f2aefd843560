// The confound model analysis over a small synthetic run held by the host:
// its statistics against independent fits, the voxels it skips, the maps it
// saves (names, order, thresholds, degrees of freedom), its log and its errors.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "myGLMfunctions.h"
#include "mySDM.h"
#include "testing.h"
#include "tremora.h"

namespace {

constexpr int kX = 5, kY = 4, kZ = 3, kVoxels = kX * kY * kZ;
constexpr int kN = 43; // not a multiple of the kernel's block of 8 time points

std::vector<std::string>& logged()
{
    static std::vector<std::string> calls;
    return calls;
}
void captureLog(const char* text) { logged().emplace_back(text); }

SDM makeSdm(const std::string& fileName, const std::vector<std::vector<float>>& predictors)
{
    SDM sdm;
    sdm.FileName = fileName;
    sdm.NrOfDataPoints = kN;
    int k = 0;
    for (const auto& p : predictors) sdm.AddPredictor(p, "p" + std::to_string(k++), 250, 250, 250);
    return sdm;
}

std::vector<float> wave(double frequency, double phase)
{
    std::vector<float> v(kN);
    for (int t = 0; t < kN; ++t) v[std::size_t(t)] = float(std::sin(frequency * t + phase));
    return v;
}

// Two task predictors (a block design and a slow ramp) and two sets of six
// confounds (oscillations of different frequencies).
struct Designs {
    SDM task;
    SDM set0;
    SDM set1;
};

Designs makeDesigns()
{
    Designs d;
    std::vector<float> block(kN), ramp(kN);
    for (int t = 0; t < kN; ++t) {
        block[std::size_t(t)] = (t / 5) % 2 == 0 ? 1.0f : -1.0f;
        ramp[std::size_t(t)] = float(t - kN / 2) / float(kN);
    }
    d.task = makeSdm("/data/run1_task.sdm", {block, ramp});
    std::vector<std::vector<float>> a, b;
    for (int k = 0; k < 6; ++k) {
        a.push_back(wave(0.3 + 0.21 * k, 0.4 * k));
        b.push_back(wave(1.9 + 0.17 * k, 1.1 + 0.3 * k));
    }
    d.set0 = makeSdm("/data/run1_3DMC_detr.sdm", a);
    d.set1 = makeSdm("/data/run1_3DMC_deriv.sdm", b);
    return d;
}

// Voxel kinds by linear index: background (below the threshold), the two
// threshold cases, and brain voxels with task, confound and noise signal.
constexpr int kAtThreshold = 7;    // smallest value exactly 100.0: skipped
constexpr int kAboveThreshold = 8; // smallest value 100.5: analysed
bool isBackground(int v) { return v % 5 == 0 && v != 0; }

struct RunData {
    std::vector<std::vector<float>> volumes; // volumes[t][v]
};

RunData makeRun(const Designs& d)
{
    RunData run;
    run.volumes.assign(kN, std::vector<float>(kVoxels));
    std::mt19937 rng(12345);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::uniform_real_distribution<float> weight(-8.0f, 8.0f);
    for (int v = 0; v < kVoxels; ++v) {
        const float base = 400.0f + 37.0f * float(v);
        float w[14];
        for (float& x : w) x = weight(rng);
        for (int t = 0; t < kN; ++t) {
            float y = base + noise(rng) * 4.0f;
            y += w[0] * d.task.Predictors[0][std::size_t(t)] + w[1] * d.task.Predictors[1][std::size_t(t)];
            for (int k = 0; k < 6; ++k)
                y += w[2 + k] * d.set0.Predictors[std::size_t(k)][std::size_t(t)] +
                     w[8 + k] * d.set1.Predictors[std::size_t(k)][std::size_t(t)];
            if (isBackground(v)) y = 20.0f + float(t % 3);
            run.volumes[std::size_t(t)][std::size_t(v)] = y;
        }
    }
    // The two threshold voxels: a time course whose minimum is exactly the value.
    for (int t = 0; t < kN; ++t) {
        run.volumes[std::size_t(t)][kAtThreshold] = t == 3 ? 100.0f : 150.0f + float(t % 7);
        run.volumes[std::size_t(t)][kAboveThreshold] = t == 3 ? 100.5f : 150.0f + float(t % 7);
    }
    return run;
}

// Least squares in double: normal equations solved by Gaussian elimination
// with partial pivoting. Returns the residuals of y on the columns plus a
// constant column.
std::vector<double> residualsInDouble(const std::vector<std::vector<float>>& columns, const std::vector<double>& y)
{
    std::vector<std::vector<double>> x;
    for (const auto& c : columns) x.emplace_back(c.begin(), c.end());
    x.emplace_back(std::size_t(kN), 1.0);
    const std::size_t p = x.size();
    std::vector<std::vector<double>> a(p, std::vector<double>(p + 1, 0.0));
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j)
            for (int t = 0; t < kN; ++t) a[i][j] += x[i][std::size_t(t)] * x[j][std::size_t(t)];
        for (int t = 0; t < kN; ++t) a[i][p] += x[i][std::size_t(t)] * y[std::size_t(t)];
    }
    for (std::size_t col = 0; col < p; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < p; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        std::swap(a[col], a[pivot]);
        for (std::size_t r = 0; r < p; ++r) {
            if (r == col) continue;
            const double f = a[r][col] / a[col][col];
            for (std::size_t k = col; k <= p; ++k) a[r][k] -= f * a[col][k];
        }
    }
    std::vector<double> r = y;
    for (std::size_t i = 0; i < p; ++i) {
        const double b = a[i][p] / a[i][i];
        for (int t = 0; t < kN; ++t) r[std::size_t(t)] -= b * x[i][std::size_t(t)];
    }
    return r;
}

double sumOfSquares(const std::vector<double>& r, double centre = 0.0)
{
    double s = 0.0;
    for (double x : r) s += (x - centre) * (x - centre);
    return s;
}

double meanOf(const std::vector<double>& v)
{
    double s = 0.0;
    for (double x : v) s += x;
    return s / double(v.size());
}

double adjusted(double sse, double sst, int p) { return 1.0 - (sse / sst) * (kN - 1.0) / (kN - p - 1.0); }

std::vector<std::vector<float>> joined(std::initializer_list<const SDM*> sdms)
{
    std::vector<std::vector<float>> all;
    for (const SDM* s : sdms) all.insert(all.end(), s->Predictors.begin(), s->Predictors.end());
    return all;
}

class Analysis : public support::HostTest {
protected:
    void SetUp() override
    {
        support::HostTest::SetUp();
        // The maps are checked in the host's record; the run's folder is made up.
        hostState().writeMapFiles = false;
        ASSERT_TRUE(InitZRAccess());
        logged().clear();
        designs = makeDesigns();
        data = makeRun(designs);
        host::Run& run = hostState().run;
        run.present = true;
        std::strcpy(run.header.FileName, "/data/run1.fmr");
        run.fmrPath = "/data/run1.fmr";
        run.header.NrOfVolumes = kN;
        run.header.DimX = kX;
        run.header.DimY = kY;
        run.header.DimZ = kZ;
        run.volumes = data.volumes;
        for (auto& volume : run.volumes) run.volumePointers.push_back(volume.data());
        run.loaded = true;
    }

    void analyze(const std::vector<SDM>& confounds) { analyze(designs.task, confounds); }
    void analyze(const SDM& task, const std::vector<SDM>& confounds)
    {
        // What the analysis logged, without the empty call with which the
        // stream itself takes leave when it is destroyed.
        TMZRLog log(&captureLog);
        try {
            analyzeConfounds(task, confounds, hostState().run.header, log);
        } catch (...) {
            lines = logged();
            throw;
        }
        lines = logged();
    }

    std::vector<std::string> lines;

    const host::SavedMap& map(const std::string& name)
    {
        for (const auto& m : hostState().savedMaps)
            if (m.name == name) return m;
        throw std::runtime_error("no map named " + name);
    }

    std::vector<double> timeCourse(int v) const
    {
        std::vector<double> y(kN);
        for (int t = 0; t < kN; ++t) y[std::size_t(t)] = data.volumes[std::size_t(t)][std::size_t(v)];
        return y;
    }

    Designs designs;
    RunData data;
};

std::vector<std::string> names(const host::State& state)
{
    std::vector<std::string> result;
    for (const auto& m : state.savedMaps) result.push_back(m.name);
    return result;
}

} // namespace

TEST_F(Analysis, TwoConfoundSetsWriteSevenThenFiveMaps)
{
    analyze({designs.set0, designs.set1});
    const std::vector<std::string> expected = {
        "/data/run1_tSNR_data.map",
        "/data/run1_task_R2adj.map",
        "/data/run1_3DMC_detr_tSNR_residuals.map",
        "/data/run1_3DMC_detr_tSNR_perc_increase.map",
        "/data/run1_3DMC_detr_R2adj.map",
        "/data/run1_3DMC_detr_R2adj_difftask.map",
        "/data/run1_3DMC_detr_Fval_difftask.map",
        "/data/run1_3DMC_detr_deriv_tSNR_residuals.map",
        "/data/run1_3DMC_detr_deriv_tSNR_perc_increase.map",
        "/data/run1_3DMC_detr_deriv_R2adj.map",
        "/data/run1_3DMC_detr_deriv_R2adj_diff_detr.map",
        "/data/run1_3DMC_detr_deriv_Fval_diff_detr.map",
    };
    EXPECT_EQ(names(hostState()), expected);
    const std::vector<std::string> expectedLines = {"Testing Addition of /data/run1_3DMC_detr.sdm",
                                                    "Testing Addition of /data/run1_3DMC_deriv.sdm"};
    EXPECT_EQ(lines, expectedLines);
    EXPECT_EQ(hostState().callsOf("zrGetSTCFloatDataOfCurrentFMR").size(), 1u) << "the slice data are read once";
}

TEST_F(Analysis, ThresholdsAndDegreesOfFreedom)
{
    analyze({designs.set0, designs.set1});
    struct Case {
        std::string name;
        int type;
        float t1, t2;
        int df1, df2;
    };
    const std::string b0 = "/data/run1_3DMC_detr", b1 = "/data/run1_3DMC_detr_deriv";
    const Case cases[] = {
        {"/data/run1_tSNR_data.map", 0, 5.0f, 100.0f, 0, 0},
        {"/data/run1_task_R2adj.map", 0, 0.1f, 0.5f, 0, 0},
        {b0 + "_tSNR_residuals.map", 0, 5.0f, 100.0f, 0, 0},
        {b0 + "_tSNR_perc_increase.map", 0, 1.0f, 20.0f, 0, 0},
        {b0 + "_R2adj.map", 0, 0.1f, 0.5f, 0, 0},
        {b0 + "_R2adj_difftask.map", 0, 0.05f, 0.5f, 0, 0},
        {b1 + "_R2adj_diff_detr.map", 0, 0.05f, 0.5f, 0, 0},
    };
    for (const Case& c : cases) {
        const host::SavedMap& m = map(c.name);
        EXPECT_EQ(m.header.MapType, c.type) << c.name;
        EXPECT_EQ(m.header.Threshold1, c.t1) << c.name;
        EXPECT_EQ(m.header.Threshold2, c.t2) << c.name;
        EXPECT_EQ(m.header.DF1, c.df1) << c.name;
        EXPECT_EQ(m.header.DF2, c.df2) << c.name;
        EXPECT_EQ(m.header.Field28, 0) << c.name;
    }
    // The F of an addition has (columns added, N - columns after it) degrees
    // of freedom: the task's 2 columns and the constant, then 6 per set.
    const struct {
        std::string name;
        int df1, df2;
    } fMaps[] = {{b0 + "_Fval_difftask.map", 6, kN - 9}, {b1 + "_Fval_diff_detr.map", 6, kN - 15}};
    for (const auto& [name, df1, df2] : fMaps) {
        const host::SavedMap& f = map(name);
        EXPECT_EQ(f.header.MapType, 4) << name;
        EXPECT_EQ(f.header.Threshold1, 2.0f) << name;
        const float largest = *std::max_element(f.voxels.begin(), f.voxels.end());
        EXPECT_GT(largest, 0.0f) << name;
        EXPECT_EQ(f.header.Threshold2, largest / 2.0f) << name;
        EXPECT_EQ(f.header.DF1, df1) << name;
        EXPECT_EQ(f.header.DF2, df2) << name;
    }
}

TEST_F(Analysis, StatisticsMatchIndependentDoubleFits)
{
    analyze({designs.set0, designs.set1});
    struct Step {
        std::string base, tag;
        std::vector<std::vector<float>> before, confoundsOnly, after;
    };
    const Step steps[] = {
        {"/data/run1_3DMC_detr", "task", joined({&designs.task}), joined({&designs.set0}),
         joined({&designs.task, &designs.set0})},
        {"/data/run1_3DMC_detr_deriv", "_detr", joined({&designs.task, &designs.set0}),
         joined({&designs.set0, &designs.set1}), joined({&designs.task, &designs.set0, &designs.set1})},
    };
    int analysed = 0;
    for (const Step& step : steps) {
        const auto& dataSNR = map("/data/run1_tSNR_data.map").voxels;
        const auto& residualSNR = map(step.base + "_tSNR_residuals.map").voxels;
        const auto& change = map(step.base + "_tSNR_perc_increase.map").voxels;
        const auto& r2after = map(step.base + "_R2adj.map").voxels;
        const auto& r2diff = map(step.base + "_R2adj_diff" + step.tag + ".map").voxels;
        const auto& fval = map(step.base + "_Fval_diff" + step.tag + ".map").voxels;
        const int p0 = int(step.before.size()) + 1, p2 = int(step.after.size()) + 1;
        for (int v = 0; v < kVoxels; ++v) {
            if (isBackground(v) || v == kAtThreshold) continue;
            if (&step == &steps[0]) ++analysed;
            const std::vector<double> y = timeCourse(v);
            const double mean = meanOf(y);
            const double sst = sumOfSquares(y, mean);
            const std::vector<double> r1 = residualsInDouble(step.confoundsOnly, y);
            const double sse0 = sumOfSquares(residualsInDouble(step.before, y));
            const double sse2 = sumOfSquares(residualsInDouble(step.after, y));
            const double expectedDataSNR = mean / std::sqrt(sst / (kN - 1));
            const double expectedResidualSNR = mean / std::sqrt(sumOfSquares(r1, meanOf(r1)) / (kN - 1));
            const double adj0 = adjusted(sse0, sst, p0), adj2 = adjusted(sse2, sst, p2);
            const double f = ((sse0 - sse2) / (p2 - p0)) / (sse2 / (kN - p2));
            const std::size_t i = std::size_t(v);
            // The float pipeline works on values near 1000 whose residuals
            // are near 10: each sum loses about 1e-5 relative, so ratios agree
            // to 1e-4 and differences of R2 to 1e-4 absolute.
            EXPECT_NEAR(dataSNR[i], expectedDataSNR, 1e-4 * expectedDataSNR) << "voxel " << v;
            EXPECT_NEAR(residualSNR[i], expectedResidualSNR, 1e-4 * expectedResidualSNR) << step.base << " voxel " << v;
            const double expectedChange = (expectedResidualSNR - expectedDataSNR) / expectedDataSNR * 100.0;
            EXPECT_NEAR(change[i], expectedChange, 1e-3 * std::max(1.0, std::fabs(expectedChange))) << step.base << " voxel " << v;
            EXPECT_NEAR(r2after[i], adj2, 1e-4) << step.base << " voxel " << v;
            EXPECT_NEAR(r2diff[i], adj2 - adj0, 1e-4) << step.base << " voxel " << v;
            // F divides a difference of two sums of squares: 1e-3 relative.
            EXPECT_NEAR(fval[i], f, 1e-3 * std::max(1.0, f)) << step.base << " voxel " << v;
        }
    }
    const auto& r2before = map("/data/run1_task_R2adj.map").voxels;
    for (int v = 0; v < kVoxels; ++v) {
        if (isBackground(v) || v == kAtThreshold) continue;
        const std::vector<double> y = timeCourse(v);
        const double adj = adjusted(sumOfSquares(residualsInDouble(steps[0].before, y)), sumOfSquares(y, meanOf(y)), 3);
        EXPECT_NEAR(r2before[std::size_t(v)], adj, 1e-4) << "task model, voxel " << v;
    }
    EXPECT_GT(analysed, 32) << "the run must fill more than one panel of voxels";
}

TEST_F(Analysis, VoxelsAtOrBelowOneHundredAreSkipped)
{
    analyze({designs.set0});
    for (const auto& m : hostState().savedMaps) {
        ASSERT_EQ(m.voxels.size(), std::size_t(kVoxels)) << m.name;
        EXPECT_EQ(m.voxels[kAtThreshold], 0.0f) << m.name << ": minimum exactly 100.0";
        for (int v = 0; v < kVoxels; ++v)
            if (isBackground(v)) EXPECT_EQ(m.voxels[std::size_t(v)], 0.0f) << m.name << " background voxel " << v;
    }
    EXPECT_NE(map("/data/run1_tSNR_data.map").voxels[kAboveThreshold], 0.0f) << "minimum 100.5 is analysed";
    EXPECT_NE(map("/data/run1_3DMC_detr_R2adj.map").voxels[kAboveThreshold], 0.0f);
}

TEST_F(Analysis, NothingHappensWithoutConfoundSets)
{
    analyze({});
    EXPECT_TRUE(hostState().savedMaps.empty());
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(hostState().callsOf("zrGetSTCFloatDataOfCurrentFMR").empty());
    EXPECT_TRUE(hostState().callsOf("zrCreateMAPForCurrentFMR").empty());
}

TEST_F(Analysis, NoRunDataIsAnError)
{
    hostState().run.loaded = false;
    hostState().run.volumePointers.clear();
    EXPECT_THROW(analyze({designs.set0}), std::runtime_error);
    EXPECT_TRUE(hostState().savedMaps.empty());
    EXPECT_TRUE(lines.empty());
}

TEST_F(Analysis, FailedInversionKeepsEarlierMaps)
{
    // A predictor holding a NaN makes every element of the Householder
    // reduction NaN; no element of the bidiagonal form can then be found
    // negligible and the decomposition gives up after its iteration limit.
    SDM broken = designs.set1;
    broken.Predictors[2][10] = std::numeric_limits<float>::quiet_NaN();
    try {
        analyze({designs.set0, broken});
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Matrix inversion failed");
    }
    EXPECT_EQ(hostState().savedMaps.size(), 7u) << "the maps of step 0 stay saved";
    EXPECT_EQ(lines.size(), 2u);
}

// A column that is a combination of others adds nothing: the design is
// fitted as the design without it, with the degrees of freedom of its
// independent columns, and the log says how many columns of which design add
// nothing. The design without the repeats is the oracle (its statistics are
// checked against double-precision fits above).
TEST_F(Analysis, RedundantColumnsAreLeftOutAndCounted)
{
    const auto withColumns = [](SDM sdm, const std::vector<std::vector<float>>& columns) {
        for (const auto& c : columns) sdm.AddPredictor(c, "repeat", 250, 250, 250);
        return sdm;
    };
    const auto combination = [](float x, const std::vector<float>& a, float y, const std::vector<float>& b) {
        std::vector<float> c(a.size());
        for (std::size_t t = 0; t < a.size(); ++t) c[t] = x * a[t] + y * b[t];
        return c;
    };
    const Designs& d = designs;
    const SDM set0x = withColumns(d.set0, {combination(0.5f, d.set0.Predictors[0], -2.0f, d.set0.Predictors[3])});
    const SDM set1x = withColumns(d.set1, {d.set0.Predictors[2], combination(3.0f, d.set0.Predictors[4], 1.0f, d.set1.Predictors[1])});
    const SDM taskx = withColumns(d.task, {combination(2.0f, d.task.Predictors[1], -1.0f, d.task.Predictors[0])});
    const std::string tail = "; adjusted R2 and F count only the independent columns";
    struct Case {
        const char* what;
        SDM task;
        std::vector<SDM> redundant, plain;
        std::vector<std::string> warnings;
    };
    const Case cases[] = {
        {"a set holding a combination of its own columns", d.task, {set0x}, {d.set0},
         {"Warning: 1 of the 7 columns of the confound set /data/run1_3DMC_detr.sdm adds nothing (a combination of "
          "columns already in the model)" + tail}},
        {"a later set repeating columns of the model", d.task, {d.set0, set1x}, {d.set0, d.set1},
         {"Warning: 2 of the 8 columns of the confound set /data/run1_3DMC_deriv.sdm add nothing (a combination of "
          "columns already in the model)" + tail}},
        {"a task design holding a combination of its columns", taskx, {d.set0}, {d.set0},
         {"Warning: 1 of the 4 columns of the task design /data/run1_task.sdm (its constant included) adds nothing "
          "(a combination of the others)" + tail}},
    };
    for (const Case& c : cases) {
        hostState().savedMaps.clear();
        logged().clear();
        analyze(d.task, c.plain);
        const std::vector<host::SavedMap> expected = hostState().savedMaps;
        hostState().savedMaps.clear();
        logged().clear();
        analyze(c.task, c.redundant);
        std::vector<std::string> warnings;
        for (const std::string& line : lines)
            if (line.rfind("Testing Addition of ", 0) != 0) warnings.push_back(line);
        EXPECT_EQ(warnings, c.warnings) << c.what;
        ASSERT_EQ(names(hostState()), [&] {
            std::vector<std::string> n;
            for (const auto& m : expected) n.push_back(m.name);
            return n;
        }()) << c.what;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            const host::SavedMap& got = hostState().savedMaps[k];
            // Both fits project onto the same columns in float: R2 and tSNR
            // agree to 1e-4, the differences of sums behind F and the
            // percentage to 1e-3 (a degree of freedom too many moves them by
            // several per cent).
            const bool difference = got.name.find("_Fval_") != std::string::npos || got.name.find("_perc_") != std::string::npos;
            std::size_t worst = 0;
            double excess = -1.0;
            for (std::size_t v = 0; v < got.voxels.size(); ++v) {
                const double want = expected[k].voxels[v];
                const double e = std::fabs(got.voxels[v] - want) - (difference ? 1e-3 : 1e-4) * std::max(1.0, std::fabs(want));
                if (e > excess) excess = e, worst = v;
            }
            EXPECT_LE(excess, 0.0) << c.what << ": " << got.name << " voxel " << worst << " is " << got.voxels[worst]
                                   << ", without the repeated columns " << expected[k].voxels[worst];
            EXPECT_EQ(got.header.DF2, expected[k].header.DF2) << got.name;
        }
    }
}

// A set that adds no independent column at all has no F value: it is refused
// by name, and the maps of the steps before it stay saved.
TEST_F(Analysis, ASetThatAddsNothingIsRefusedByName)
{
    SDM taskAgain = designs.task;
    taskAgain.FileName = "/data/run1_task_again.sdm";
    struct Case {
        const char* what;
        std::vector<SDM> confounds;
        std::string message;
        std::size_t mapsSaved;
    };
    const Case cases[] = {
        {"the same set twice", {designs.set0, designs.set0},
         "The confound set /data/run1_3DMC_detr.sdm adds no column independent of the task design and the sets before it",
         7},
        {"the task's own columns", {taskAgain}, "The confound set /data/run1_task_again.sdm adds no column independent of the task design:", 0},
    };
    for (const Case& c : cases) {
        hostState().savedMaps.clear();
        logged().clear();
        try {
            analyze(c.confounds);
            ADD_FAILURE() << c.what << ": no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << c.what << ": " << e.what();
        }
        EXPECT_EQ(hostState().savedMaps.size(), c.mapsSaved) << c.what;
        EXPECT_EQ(lines.size(), c.confounds.size()) << c.what;
    }
}

TEST_F(Analysis, DesignOfTheWrongLengthIsRefused)
{
    SDM shorter;
    shorter.FileName = "/data/short.sdm";
    shorter.NrOfDataPoints = kN - 1;
    shorter.AddPredictor(std::vector<float>(kN - 1, 0.5f), "short", 250, 250, 250);
    EXPECT_THROW(analyze({shorter}), std::runtime_error);
    EXPECT_TRUE(hostState().savedMaps.empty());
}

// ---------------------------------------------------------------- the map writer

TEST_F(Analysis, TypedMapWriterCopiesAndSetsTheHeader)
{
    Volume<float> vol(kX, kY, kZ, 0.0f);
    for (int i = 0; i < kVoxels; ++i) vol[i] = float(i) * 0.5f;
    saveMap(vol, 3, 1.5f, 7.5f, 0, 5, "/data/out.map");
    ASSERT_EQ(hostState().savedMaps.size(), 1u);
    const host::SavedMap& m = hostState().savedMaps[0];
    EXPECT_EQ(m.name, "/data/out.map");
    EXPECT_EQ(m.header.MapType, 3);
    EXPECT_EQ(m.header.Threshold1, 1.5f);
    EXPECT_EQ(m.header.Threshold2, 7.5f);
    EXPECT_EQ(m.header.DF1, 0) << "a 0 leaves the host's value";
    EXPECT_EQ(m.header.DF2, 5);
    ASSERT_EQ(m.voxels.size(), std::size_t(kVoxels));
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x)
                EXPECT_EQ(m.voxels[std::size_t((z * kY + y) * kX + x)], vol.at(x, y, z)) << x << "," << y << "," << z;
    const std::vector<std::string> order = {"zrCreateMAPForCurrentFMR", "zrGetMAPOfCurrentFMR",
                                            "zrSetMAPParametersOfCurrentFMR", "zrSaveMAPsOfCurrentFMR /data/out.map"};
    EXPECT_EQ(hostState().calls, order);
}

TEST_F(Analysis, TypedMapWriterChecksDimensionsInOrder)
{
    struct Case {
        int x, y, z;
        std::string expression;
    };
    const Case cases[] = {
        {kX + 1, kY + 1, kZ + 1, "dim.z == header.DimZ"},
        {kX, kY, kZ + 1, "dim.z == header.DimZ"},
        {kX + 1, kY + 1, kZ, "dim.y == header.DimY"},
        {kX + 1, kY, kZ, "dim.x == header.DimX"},
    };
    for (const Case& c : cases) {
        host::state().savedMaps.clear();
        const Volume<float> vol(c.x, c.y, c.z, 1.0f);
        try {
            saveMap(vol, 0, 0.0f, 0.0f, 0, 0, "/data/bad.map");
            ADD_FAILURE() << "no exception for " << c.x << "x" << c.y << "x" << c.z;
        } catch (const std::logic_error& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("assertion failure (code/cpp/myGLMfunctions.cpp:", 0), 0u) << message;
            EXPECT_EQ(message.substr(message.size() - c.expression.size() - 3), "): " + c.expression) << message;
        }
        EXPECT_TRUE(hostState().savedMaps.empty());
    }
    // A run without dimensions gives no slice buffers.
    hostState().run.header.DimX = 0;
    try {
        saveMap(Volume<float>(kX, kY, kZ, 1.0f), 0, 0.0f, 0.0f, 0, 0, "/data/bad.map");
        ADD_FAILURE() << "no exception without slices";
    } catch (const std::logic_error& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.substr(message.size() - 20), "): slices != nullptr") << message;
    }
}

// ---------------------------------------------------------------- the program

TEST(AnalyzeCommand, RunWithoutSliceDataEndsWithAnError)
{
    const auto dir = support::tempDir("analyze_nodata");
    Designs d = makeDesigns();
    d.task.SaveAs((dir / "run1_task.sdm").string());
    d.set0.SaveAs((dir / "run1_3DMC_detr.sdm").string());
    // A run document whose slice data file is missing.
    support::writeFile(dir / "run1.fmr", "\nFileVersion:          7\nNrOfVolumes:          " + std::to_string(kN) +
                                             "\nNrOfSlices:           2\nPrefix:               \"run1\"\n"
                                             "DataType:             2\nResolutionX:          3\nResolutionY:          2\n");
    const support::CliResult r = support::runCli({"analyze", "--fmr", (dir / "run1.fmr").string(), "--task-sdm",
                                                  (dir / "run1_task.sdm").string(), (dir / "run1_3DMC_detr.sdm").string()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("no slice data"), std::string::npos) << "stderr: " << r.err;
    EXPECT_EQ(r.out.find("map "), std::string::npos) << r.out;
}
