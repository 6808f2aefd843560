// The confound model analysis over a small synthetic run held by the host:
// its statistics and maps against independent double-precision fits, the
// voxels it skips, designs whose columns add nothing, and its errors.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>

#include "myGLMfunctions.h"
#include "mySDM.h"
#include "testing.h"
#include "tremora.h"

namespace {

constexpr int kX = 5, kY = 4, kZ = 3, kVoxels = kX * kY * kZ;
constexpr int kN = 43; // not a multiple of the kernel's block of 8 time points
using Columns = std::vector<std::vector<float>>;

std::vector<std::string>& logged()
{
    static std::vector<std::string> calls;
    return calls;
}
void captureLog(const char* text) { logged().emplace_back(text); }

SDM makeSdm(const std::string& fileName, const Columns& predictors)
{
    SDM sdm;
    sdm.FileName = fileName;
    sdm.NrOfDataPoints = kN;
    int k = 0;
    for (const auto& p : predictors) sdm.AddPredictor(p, "p" + std::to_string(k++), 250, 250, 250);
    return sdm;
}

// Two task predictors (a block design and a slow ramp) and two sets of six
// confounds (oscillations of different frequencies).
struct Designs { SDM task, set0, set1; };

Designs makeDesigns()
{
    const auto wave = [](double frequency, double phase) {
        std::vector<float> v(kN);
        for (int t = 0; t < kN; ++t) v[std::size_t(t)] = float(std::sin(frequency * t + phase));
        return v;
    };
    std::vector<float> block(kN), ramp(kN);
    for (int t = 0; t < kN; ++t) block[std::size_t(t)] = (t / 5) % 2 == 0 ? 1.0f : -1.0f, ramp[std::size_t(t)] = float(t - kN / 2) / float(kN);
    Columns a, b;
    for (int k = 0; k < 6; ++k) a.push_back(wave(0.3 + 0.21 * k, 0.4 * k)), b.push_back(wave(1.9 + 0.17 * k, 1.1 + 0.3 * k));
    return {makeSdm("/data/run1_task.sdm", {block, ramp}), makeSdm("/data/run1_3DMC_detr.sdm", a),
            makeSdm("/data/run1_3DMC_deriv.sdm", b)};
}

// Voxels by linear index: background below the threshold, the two threshold
// cases, and brain voxels of task, confound and noise signal.
constexpr int kAtThreshold = 7;    // smallest value exactly 100.0: skipped
constexpr int kAboveThreshold = 8; // smallest value 100.5: analysed
bool skipped(int v) { return (v % 5 == 0 && v != 0) || v == kAtThreshold; }

std::vector<std::vector<float>> makeRun(const Designs& d) // [t][v]
{
    std::vector<std::vector<float>> volumes(kN, std::vector<float>(kVoxels));
    std::mt19937 rng(12345);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::uniform_real_distribution<float> weight(-8.0f, 8.0f);
    for (int v = 0; v < kVoxels; ++v) {
        float w[14];
        for (float& x : w) x = weight(rng);
        for (std::size_t t = 0; t < kN; ++t) {
            float y = 400.0f + 37.0f * float(v) + noise(rng) * 4.0f + w[0] * d.task.Predictors[0][t] + w[1] * d.task.Predictors[1][t];
            for (std::size_t k = 0; k < 6; ++k) y += w[2 + k] * d.set0.Predictors[k][t] + w[8 + k] * d.set1.Predictors[k][t];
            volumes[t][std::size_t(v)] = (v % 5 == 0 && v != 0) ? 20.0f + float(t % 3) : y;
        }
    }
    for (std::size_t t = 0; t < kN; ++t) {
        volumes[t][kAtThreshold] = t == 3 ? 100.0f : 150.0f + float(t % 7);
        volumes[t][kAboveThreshold] = t == 3 ? 100.5f : 150.0f + float(t % 7);
    }
    return volumes;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) { return std::inner_product(a.begin(), a.end(), b.begin(), 0.0); }

// Least squares in double by modified Gram-Schmidt: y less its projections on
// the columns and a constant, orthonormalised one after the other.
std::vector<double> residualsInDouble(const Columns& columns, std::vector<double> y)
{
    std::vector<std::vector<double>> basis;
    for (std::size_t c = 0; c <= columns.size(); ++c) {
        std::vector<double> q = c < columns.size() ? std::vector<double>(columns[c].begin(), columns[c].end()) : std::vector<double>(kN, 1.0);
        for (const auto& e : basis) {
            const double along = dot(q, e);
            for (std::size_t t = 0; t < kN; ++t) q[t] -= along * e[t];
        }
        const double norm = std::sqrt(dot(q, q));
        for (double& v : q) v /= norm;
        const double along = dot(y, q);
        for (std::size_t t = 0; t < kN; ++t) y[t] -= along * q[t];
        basis.push_back(std::move(q));
    }
    return y;
}

double meanOf(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / double(v.size()); }
double sumOfSquares(const std::vector<double>& r, double centre = 0.0)
{
    return std::accumulate(r.begin(), r.end(), 0.0, [&](double s, double x) { return s + (x - centre) * (x - centre); });
}

double adjusted(double sse, double sst, int p) { return 1.0 - (sse / sst) * (kN - 1.0) / (kN - p - 1.0); }

Columns joined(std::initializer_list<const SDM*> sdms)
{
    Columns all;
    for (const SDM* s : sdms) all.insert(all.end(), s->Predictors.begin(), s->Predictors.end());
    return all;
}

class Analysis : public support::HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        hostState().writeMapFiles = false; // the maps are checked in the host's record
        ASSERT_TRUE(InitZRAccess());
        designs = makeDesigns();
        host::Run& run = hostState().run;
        run.present = true;
        std::strcpy(run.header.FileName, "/data/run1.fmr");
        run.fmrPath = "/data/run1.fmr";
        run.header.NrOfVolumes = kN;
        run.header.DimX = kX, run.header.DimY = kY, run.header.DimZ = kZ;
        run.volumes = makeRun(designs);
        for (auto& volume : run.volumes) run.volumePointers.push_back(volume.data());
        run.loaded = true;
    }
    // The analysis; what it logs, less the stream's empty farewell, lands in logged().
    void analyze(const std::vector<SDM>& confounds, const SDM* task = nullptr)
    {
        hostState().savedMaps.clear();
        logged().clear();
        {
            TMZRLog log(&captureLog);
            analyzeConfounds(task ? *task : designs.task, confounds, hostState().run.header, log);
        }
        if (!logged().empty() && logged().back().empty()) logged().pop_back();
    }
    const host::SavedMap& map(const std::string& name)
    {
        for (const auto& m : hostState().savedMaps)
            if (m.name == name) return m;
        throw std::runtime_error("no map named " + name);
    }
    Designs designs;
};

} // namespace

// Two sets: seven maps, then five, with their thresholds and degrees of
// freedom, and their values against independent double-precision fits.
TEST_F(Analysis, StatisticsMatchIndependentDoubleFits)
{
    analyze({designs.set0, designs.set1});
    const std::string b0 = "/data/run1_3DMC_detr", b1 = "/data/run1_3DMC_detr_deriv";
    const struct {
        std::string name;
        int type;
        float t1, t2; // -1: half the largest value
        int df1, df2;
    } expected[] = {
        {"/data/run1_tSNR_data.map", 0, 5, 100, 0, 0},   {"/data/run1_task_R2adj.map", 0, 0.1f, 0.5f, 0, 0},
        {b0 + "_tSNR_residuals.map", 0, 5, 100, 0, 0},   {b0 + "_tSNR_perc_increase.map", 0, 1, 20, 0, 0},
        {b0 + "_R2adj.map", 0, 0.1f, 0.5f, 0, 0},         {b0 + "_R2adj_difftask.map", 0, 0.05f, 0.5f, 0, 0},
        {b0 + "_Fval_difftask.map", 4, 2, -1, 6, kN - 9},  {b1 + "_tSNR_residuals.map", 0, 5, 100, 0, 0},
        {b1 + "_tSNR_perc_increase.map", 0, 1, 20, 0, 0}, {b1 + "_R2adj.map", 0, 0.1f, 0.5f, 0, 0},
        {b1 + "_R2adj_diff_detr.map", 0, 0.05f, 0.5f, 0, 0},
        // F: (columns added, volumes minus the columns after the addition):
        // the task's 2 columns and the constant, then 6 per set.
        {b1 + "_Fval_diff_detr.map", 4, 2, -1, 6, kN - 15},
    };
    const auto& saved = hostState().savedMaps;
    ASSERT_EQ(saved.size(), std::size(expected));
    for (std::size_t k = 0; k < saved.size(); ++k) {
        const auto& e = expected[k];
        const auto& h = saved[k].header;
        const float largest = *std::max_element(saved[k].voxels.begin(), saved[k].voxels.end());
        EXPECT_EQ(saved[k].name, e.name) << "map " << k;
        EXPECT_TRUE(h.MapType == e.type && h.Threshold1 == e.t1 && h.Threshold2 == (e.t2 < 0 ? largest / 2 : e.t2) && h.DF1 == e.df1 &&
                    h.DF2 == e.df2)
            << e.name << ": type " << h.MapType << ", thresholds " << h.Threshold1 << " " << h.Threshold2 << ", df " << h.DF1 << " " << h.DF2;
    }
    EXPECT_EQ(logged(), (std::vector<std::string>{"Testing Addition of /data/run1_3DMC_detr.sdm",
                                               "Testing Addition of /data/run1_3DMC_deriv.sdm"}));
    EXPECT_EQ(hostState().callsOf("zrGetSTCFloatDataOfCurrentFMR").size(), 1u) << "the slice data are read once";
    const struct {
        std::string base, tag;
        Columns before, confoundsOnly, after;
    } steps[] = {
        {"/data/run1_3DMC_detr", "task", joined({&designs.task}), joined({&designs.set0}), joined({&designs.task, &designs.set0})},
        {"/data/run1_3DMC_detr_deriv", "_detr", joined({&designs.task, &designs.set0}), joined({&designs.set0, &designs.set1}),
         joined({&designs.task, &designs.set0, &designs.set1})},
    };
    const auto& dataSNR = map("/data/run1_tSNR_data.map").voxels;
    const auto& r2task = map("/data/run1_task_R2adj.map").voxels;
    // Voxels whose smallest value is 100 or less are 0 in every map; a smallest value of 100.5 is analysed.
    for (const auto& m : hostState().savedMaps) {
        ASSERT_EQ(m.voxels.size(), std::size_t(kVoxels)) << m.name;
        for (int v = 0; v < kVoxels; ++v)
            if (skipped(v)) EXPECT_EQ(m.voxels[std::size_t(v)], 0.0f) << m.name << " voxel " << v;
    }
    int analysed = 0;
    for (int v = 0; v < kVoxels; ++v) {
        if (skipped(v)) continue;
        ++analysed;
        std::vector<double> y(kN);
        for (std::size_t t = 0; t < kN; ++t) y[t] = hostState().run.volumes[t][std::size_t(v)];
        const double mean = meanOf(y), sst = sumOfSquares(y, mean), expectedDataSNR = mean / std::sqrt(sst / (kN - 1));
        const std::size_t i = std::size_t(v);
        // The float pipeline works on values near 1000 whose residuals are
        // near 10: each sum loses about 1e-5 relative, so ratios agree to 1e-4
        // and differences of R2 to 1e-4 absolute.
        EXPECT_NEAR(dataSNR[i], expectedDataSNR, 1e-4 * expectedDataSNR) << "voxel " << v;
        EXPECT_NEAR(r2task[i], adjusted(sumOfSquares(residualsInDouble(steps[0].before, y)), sst, 3), 1e-4) << "voxel " << v;
        for (const auto& step : steps) {
            const std::vector<double> r1 = residualsInDouble(step.confoundsOnly, y);
            const double sse0 = sumOfSquares(residualsInDouble(step.before, y)), sse2 = sumOfSquares(residualsInDouble(step.after, y));
            const int p0 = int(step.before.size()) + 1, p2 = int(step.after.size()) + 1;
            const double residualSNR = mean / std::sqrt(sumOfSquares(r1, meanOf(r1)) / (kN - 1));
            const double change = (residualSNR - expectedDataSNR) / expectedDataSNR * 100.0;
            const double adj0 = adjusted(sse0, sst, p0), adj2 = adjusted(sse2, sst, p2);
            const double f = ((sse0 - sse2) / (p2 - p0)) / (sse2 / (kN - p2));
            const std::string where = step.base + " voxel " + std::to_string(v);
            EXPECT_NEAR(map(step.base + "_tSNR_residuals.map").voxels[i], residualSNR, 1e-4 * residualSNR) << where;
            EXPECT_NEAR(map(step.base + "_tSNR_perc_increase.map").voxels[i], change, 1e-3 * std::max(1.0, std::fabs(change))) << where;
            EXPECT_NEAR(map(step.base + "_R2adj.map").voxels[i], adj2, 1e-4) << where;
            EXPECT_NEAR(map(step.base + "_R2adj_diff" + step.tag + ".map").voxels[i], adj2 - adj0, 1e-4) << where;
            // F divides a difference of two sums of squares: 1e-3 relative.
            EXPECT_NEAR(map(step.base + "_Fval_diff" + step.tag + ".map").voxels[i], f, 1e-3 * std::max(1.0, f)) << where;
        }
    }
    EXPECT_GT(analysed, 32) << "the run must fill more than one panel of voxels";
    EXPECT_NE(dataSNR[kAboveThreshold], 0.0f);
}

TEST_F(Analysis, ErrorsEndTheAnalysisAndKeepTheMapsOfEarlierSteps)
{
    analyze({});
    EXPECT_TRUE(hostState().savedMaps.empty() && logged().empty()) << "nothing happens without confound sets";
    EXPECT_TRUE(hostState().callsOf("zrGetSTCFloatDataOfCurrentFMR").empty());
    // A NaN makes every element of the Householder reduction NaN; the
    // decomposition then gives up after its iteration limit.
    SDM broken = designs.set1, taskAgain = designs.task, shorter = makeSdm("/data/short.sdm", {});
    broken.Predictors[2][10] = std::numeric_limits<float>::quiet_NaN();
    taskAgain.FileName = "/data/run1_task_again.sdm";
    shorter.NrOfDataPoints = kN - 1;
    shorter.AddPredictor(std::vector<float>(kN - 1, 0.5f), "short", 250, 250, 250);
    const struct {
        std::vector<SDM> confounds;
        std::string message;
        std::size_t mapsSaved;
    } cases[] = {
        {{designs.set0, broken}, "Matrix inversion failed", 7},
        {{shorter}, "", 0},
        // A set that adds no independent column has no F value: refused by name.
        {{designs.set0, designs.set0}, "The confound set /data/run1_3DMC_detr.sdm adds no column independent of the task design and the sets before it", 7},
        {{taskAgain}, "The confound set /data/run1_task_again.sdm adds no column independent of the task design:", 0},
    };
    for (const auto& c : cases) {
        std::string message = "no error";
        try {
            analyze(c.confounds);
        } catch (const std::runtime_error& e) {
            message = e.what();
        }
        EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
        EXPECT_EQ(hostState().savedMaps.size(), c.mapsSaved) << message;
    }
}

// A column that is a combination of others adds nothing: the design is fitted
// as the design without it, with the degrees of freedom of its independent
// columns, and the log says how many columns of which design add nothing. The
// design without the repeats is the oracle (checked against double fits above).
TEST_F(Analysis, RedundantColumnsAreLeftOutAndCounted)
{
    const auto with = [](SDM sdm, const Columns& columns) {
        for (const auto& c : columns) sdm.AddPredictor(c, "repeat", 250, 250, 250);
        return sdm;
    };
    const auto combination = [](float x, std::vector<float> a, float y, const std::vector<float>& b) {
        for (std::size_t t = 0; t < a.size(); ++t) a[t] = x * a[t] + y * b[t];
        return a;
    };
    const Designs& d = designs;
    const std::string tail = "; adjusted R2 and F count only the independent columns";
    const struct {
        const char* what;
        SDM task;
        std::vector<SDM> redundant, plain;
        std::string warning;
    } cases[] = {
        {"a set holding a combination of its own columns", d.task,
         {with(d.set0, {combination(0.5f, d.set0.Predictors[0], -2.0f, d.set0.Predictors[3])})}, {d.set0},
         "Warning: 1 of the 7 columns of the confound set /data/run1_3DMC_detr.sdm adds nothing (a combination of "
         "columns already in the model)" + tail},
        {"a later set repeating columns of the model", d.task,
         {d.set0, with(d.set1, {d.set0.Predictors[2], combination(3.0f, d.set0.Predictors[4], 1.0f, d.set1.Predictors[1])})},
         {d.set0, d.set1},
         "Warning: 2 of the 8 columns of the confound set /data/run1_3DMC_deriv.sdm add nothing (a combination of "
         "columns already in the model)" + tail},
        {"a task design holding a combination of its columns",
         with(d.task, {combination(2.0f, d.task.Predictors[1], -1.0f, d.task.Predictors[0])}), {d.set0}, {d.set0},
         "Warning: 1 of the 4 columns of the task design /data/run1_task.sdm (its constant included) adds nothing "
         "(a combination of the others)" + tail},
    };
    for (const auto& c : cases) {
        analyze(c.plain);
        const std::vector<host::SavedMap> expected = hostState().savedMaps;
        analyze(c.redundant, &c.task);
        std::vector<std::string> warnings;
        for (const std::string& line : logged())
            if (line.rfind("Testing Addition of ", 0) != 0) warnings.push_back(line);
        EXPECT_EQ(warnings, std::vector<std::string>{c.warning}) << c.what;
        ASSERT_EQ(hostState().savedMaps.size(), expected.size()) << c.what;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            const host::SavedMap& got = hostState().savedMaps[k];
            ASSERT_EQ(got.name, expected[k].name) << c.what;
            // Both fits project onto the same columns in float: R2 and tSNR
            // agree to 1e-4, the differences behind F and the percentage to
            // 1e-3 (a degree of freedom too many moves them by several per cent).
            const bool difference = got.name.find("_Fval_") != std::string::npos || got.name.find("_perc_") != std::string::npos;
            for (std::size_t v = 0; v < got.voxels.size(); ++v) {
                const double want = expected[k].voxels[v];
                ASSERT_NEAR(got.voxels[v], want, (difference ? 1e-3 : 1e-4) * std::max(1.0, std::fabs(want)))
                    << c.what << ": " << got.name << " voxel " << v;
            }
            EXPECT_EQ(got.header.DF2, expected[k].header.DF2) << got.name;
        }
    }
}
