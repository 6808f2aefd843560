// The three tasks through the host: selecting the motion file, the confound
// sets against an independent double-precision computation, the voxel
// displacement maps against hand-worked values and the grid transform, and the
// errors they end with.
#include <cmath>
#include <set>

#include "fixtures.h"
#include "myMDM.h"
#include "mySDMfunctions.h"
#include "testing.h"
#include "tremora.h"

namespace fs = std::filesystem;
using support::HostTest;
using support::MotionRows;

namespace {

std::string firstError()
{
    const auto& errors = host::state().errors;
    return errors.empty() ? "" : errors.front();
}

void saveMdm(const fs::path& path, const std::vector<std::pair<fs::path, fs::path>>& studies)
{
    MDM mdm;
    for (const auto& [data, sdm] : studies) mdm.DataPaths.push_back(data.string()), mdm.SDMPaths.push_back(sdm.string());
    mdm.NrOfStudies = static_cast<int>(studies.size());
    mdm.SaveAs(path.string());
}

std::set<std::string> filesIn(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

} // namespace

class Select : public HostTest {};

TEST_F(Select, TheChosenFileBecomesTheParameterOrTheTaskEndsWithAnError)
{
    const fs::path dir = support::tempDir("select");
    const auto path = [&](const fs::path& name) { return (dir / name).string(); };
    support::saveMotionSdm(path("run_3DMC.sdm"), support::stillRows(4));
    support::saveMotionSdm(path("a_3DMC.sdm"), support::stillRows(2));
    saveMdm(path("runs_3DMC.mdm"), {{path("a.fmr"), path("a_3DMC.sdm")}, {path("b.fmr"), path("run_3DMC.sdm")}});
    fs::create_directories(dir / "moved");
    support::saveMotionSdm(path("moved/m_3DMC.sdm"), support::stillRows(4));
    saveMdm(path("moved.mdm"), {{path("old/m.fmr"), path("old/m_3DMC.sdm")}});
    support::writeFile(path("motion_3DMC.SDM"), "whatever");
    MDM().SaveAs(path("empty.mdm"));
    const std::string neither = " is neither an SDM (.sdm) nor an MDM (.mdm) file.";
    const struct {
        std::deque<std::optional<std::string>> answers;
        std::string message;
        bool error;
        std::string sdmfile;
    } cases[] = {
        {{path("run_3DMC.sdm")}, "", false, path("run_3DMC.sdm")},
        // An MDM whose first SDM has another number of volumes: a warning.
        {{path("runs_3DMC.mdm")}, "FMR and _3DMC.sdm don't have the same number of volumes!", false, path("runs_3DMC.mdm")},
        {{std::nullopt}, "You must choose a valid file!", true, "earlier.sdm"},
        {{path("motion_3DMC.SDM")}, path("motion_3DMC.SDM") + neither, true, "earlier.sdm"},
        {{path("gone.mdm")}, "Failed opening for reading: " + path("gone.mdm"), true, "earlier.sdm"},
        {{path("empty.mdm")}, "The MDM " + path("empty.mdm") + " lists no study: there is no motion SDM to use.", true, "earlier.sdm"},
        // The first SDM has moved: cancelling its repair leaves a path that
        // cannot be opened; pointing at it repairs the MDM before the volume check.
        {{path("moved.mdm"), std::nullopt}, "Failed opening for reading: " + path("old/m_3DMC.sdm"), true, "earlier.sdm"},
        {{path("moved.mdm"), path("moved/m_3DMC.sdm")}, "", false, path("moved.mdm")},
    };
    for (const auto& c : cases) {
        HostTest::SetUp();
        host::State& s = hostState();
        s.run.header.NrOfVolumes = 4;
        s.parameters["sdmfile"] = "earlier.sdm";
        s.dialogAnswers = c.answers;
        ASSERT_TRUE(support::runTask("select_3dmcsdm"));
        const std::string what = c.answers.front().value_or("cancel"), shown = (c.error ? "Error: " : "") + c.message;
        EXPECT_EQ(s.messages, c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{shown}) << what;
        EXPECT_EQ(s.errors.size(), c.error ? 1u : 0u) << what;
        EXPECT_EQ(s.parameters["sdmfile"], c.sdmfile) << what;
        ASSERT_EQ(s.dialogs.size(), c.answers.size()) << what;
        EXPECT_EQ(s.dialogs[0].filter, "3D Motion Correction (*_3DMC.sdm *_3DMC.mdm)");
    }
    EXPECT_EQ(MDM(path("moved.mdm")).SDMPaths.at(0), path("moved/m_3DMC.sdm"));
}

// A fresh host and a folder of the test's own, for either task.
class TaskTest : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        dir = support::tempDir("task");
    }
    // A 5 x 4 x 3 run of 3 mm voxels, all above 100 but voxel (4, 1, 2).
    void smallRun(int volumes)
    {
        support::RunOnDisk run{.nx = 5, .ny = 4, .nz = 3, .volumes = volumes};
        run.value = [](int x, int y, int z, int) { return x == 4 && y == 1 && z == 2 ? 50.0f : 500.0f + float(x + y + z); };
        support::openRunOnDisk(dir, run);
    }
    static constexpr std::size_t kDark = 4 + 5 * (1 + 4 * 2);
    static inline const std::vector<std::string> allMaps = {"map_max_abs",   "map_mean_abs",  "map_max_rel", "map_mean_rel",
                                                            "map_max_abs_x", "map_max_abs_y", "map_max_abs_z"};
    fs::path dir;
};
using Confound = TaskTest;
using Displacement = TaskTest;

TEST_F(Confound, EachSwitchWritesItsOwnSetOnly)
{
    // Only the switch the script sets: every other one it never set reads as 0.
    const struct {
        std::string parameter, file;
    } cases[] = {{"", ""},
                 {"create_detrended", "_detr"},  {"create_derivative", "_deriv"}, {"create_spikes", "_spikes"},
                 {"create_squared", "_sqr"},     {"create_delayed1", "_t1"},      {"create_delayed1sq", "_t1sqr"},
                 {"create_delayed2", "_t2"},     {"create_delayed2sq", "_t2sqr"}};
    for (const auto& c : cases) {
        HostTest::SetUp();
        const fs::path folder = support::tempDir("switch");
        support::saveMotionSdm(folder / "run_3DMC.sdm", support::stillRows(8, 3, 0, 2.0));
        hostState().parameters = {{"sdmfile", (folder / "run_3DMC.sdm").string()}, {"spike_threshold", "0.5"}};
        if (!c.parameter.empty()) hostState().parameters[c.parameter] = "1";
        support::runTask("confound");
        EXPECT_TRUE(hostState().messages.empty()) << c.parameter << ": " << firstError();
        std::set<std::string> expected = {"run_3DMC.sdm"};
        if (!c.file.empty()) expected.insert("run_3DMC" + c.file + ".sdm");
        EXPECT_EQ(filesIn(folder), expected) << c.parameter;
        EXPECT_TRUE(hostState().plots.empty());
    }
}

namespace {

// A set computed in double precision from its definition: the least-squares
// line removed, then the central difference or a delay and the square, then
// z-scores (only centred when the deviation is below 0.0001).
std::vector<double> referenceSet(std::vector<double> y, bool derivative, std::size_t delay, bool square)
{
    const double n = double(y.size());
    double sx = 0, sy = 0, sxy = 0, sxx = 0;
    for (std::size_t k = 0; k < y.size(); ++k) sx += double(k), sy += y[k], sxy += double(k) * y[k], sxx += double(k * k);
    const double b = (n * sxy - sx * sy) / (n * sxx - sx * sx), a = (sy - b * sx) / n;
    for (std::size_t k = 0; k < y.size(); ++k) y[k] -= b * double(k) + a;
    std::vector<double> v(y.size(), 0.0);
    for (std::size_t k = 0; k < y.size(); ++k)
        v[k] = derivative ? (k > 0 && k + 1 < y.size() ? (y[k + 1] - y[k - 1]) * 0.5 : 0.0) : (k >= delay ? y[k - delay] : 0.0);
    double m = 0, ss = 0;
    for (double& x : v) x = square ? x * x : x, m += x / n;
    for (double x : v) ss += (x - m) * (x - m);
    const double sd = std::sqrt(ss / (n - 1)) < 0.0001 ? 1.0 : std::sqrt(ss / (n - 1));
    for (double& x : v) x = (x - m) / sd;
    return v;
}

} // namespace

TEST_F(Confound, SetsOfTheRealTraceMatchAnIndependentComputation)
{
    const fs::path motion = support::saveMotionSdm(dir / "sub_3DMC.sdm", support::realTraceRows());
    support::setParameters(support::confoundParameters(motion, {"create_detrended", "create_derivative", "create_spikes",
                                                                "create_squared", "create_delayed1", "create_delayed1sq",
                                                                "create_delayed2", "create_delayed2sq"}));
    support::runTask("confound");
    ASSERT_TRUE(hostState().messages.empty()) << firstError();
    const SDM input(motion.string());
    // The last, the squared derivative set of the confounds table, is not one the task writes.
    const struct {
        std::string suffix;
        bool derivative;
        std::size_t delay;
        bool square;
        std::string nameTail;
    } sets[] = {{"_detr", false, 0, false, " detrended"}, {"_deriv", true, 0, false, " detrended derivative"},
                {"_sqr", false, 0, true, " detrended squared"}, {"_t1", false, 1, false, " detrended t-1"},
                {"_t2", false, 2, false, " detrended t-2"}, {"_t1sqr", false, 1, true, " detrended t-1 squared"},
                {"_t2sqr", false, 2, true, " detrended t-2 squared"}, {"", true, 0, true, ""}};
    for (const auto& set : sets) {
        const SDM written = set.suffix.empty() ? squaredDerivativeSet(input) : SDM((dir / ("sub_3DMC" + set.suffix + ".sdm")).string());
        ASSERT_EQ(written.Predictors.size(), 6u) << set.suffix;
        for (std::size_t p = 0; p < 6; ++p) {
            const auto expected = referenceSet({input.Predictors[p].begin(), input.Predictors[p].end()}, set.derivative, set.delay, set.square);
            // The float detrend forms n·Sxx − Sx² from terms near 6e9: the
            // cancellation costs a few 1e-5 of the z-scores' spread.
            double worst = 0;
            for (std::size_t t = 0; t < expected.size(); ++t) worst = std::max(worst, std::fabs(written.Predictors[p][t] - expected[t]));
            EXPECT_LT(worst, 2e-4) << set.suffix << " predictor " << p;
            if (!set.suffix.empty()) EXPECT_EQ(written.PredictorNames[p], input.PredictorNames[p] + set.nameTail);
        }
    }
}

TEST_F(Displacement, TranslationsGiveHandWorkedMaps)
{
    // Volume t is shifted k(t)·(2, 3, 6) mm, of length 7·k(t), exact in float.
    // Absolute 7k = 0 7 21 21 14 0: max 21, mean 10.5; relative 7|Δk| = 0 7 14
    // 0 7 14: max 14, mean 7; largest components 6, 9 and 18.
    const double k[] = {0, 1, 3, 3, 2, 0};
    smallRun(6);
    MotionRows rows;
    for (double f : k) rows.push_back({2 * f, 3 * f, 6 * f, 0, 0, 0});
    support::setParameters(support::displacementParameters(support::saveMotionSdm(dir / "run_3DMC.sdm", rows), allMaps));
    support::runTask("displacement");
    ASSERT_TRUE(hostState().messages.empty()) << firstError();
    const struct {
        const char* suffix;
        float value;
    } expected[] = {{"_MaxAbsolute.map", 21}, {"_MeanAbsolute.map", 10.5f}, {"_MeanRelative.map", 7}, {"_MaxRelative.map", 14},
                    {"_MaxAbsoluteX.map", 6},  {"_MaxAbsoluteY.map", 9},      {"_MaxAbsoluteZ.map", 18}};
    ASSERT_EQ(hostState().savedMaps.size(), std::size(expected));
    for (std::size_t e = 0; e < std::size(expected); ++e) {
        const host::SavedMap& m = hostState().savedMaps[e];
        EXPECT_EQ(m.name, (dir / "run_3DMC").string() + expected[e].suffix) << "maps in this order";
        ASSERT_EQ(m.voxels.size(), 60u);
        for (std::size_t i = 0; i < m.voxels.size(); ++i)
            ASSERT_FLOAT_EQ(m.voxels[i], i == kDark ? 0.0f : expected[e].value) << m.name << " voxel " << i;
        EXPECT_TRUE(m.header.MapType == 1 && m.header.Threshold1 == 0.01f) << m.name;
        EXPECT_FLOAT_EQ(m.header.Threshold2, expected[e].value);
    }
}

TEST_F(Displacement, ThresholdIsStrictAndUnsetSwitchesWriteNoMap)
{
    // Every voxel of volume 0 is exactly 100: none takes part.
    support::openRunOnDisk(dir, {.nx = 3, .ny = 3, .nz = 3, .volumes = 2, .value = [](int, int, int, int) { return 100.0f; }});
    const fs::path motion = support::saveMotionSdm(dir / "run_3DMC.sdm", {{1, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0}});
    support::setParameters(support::displacementParameters(motion, allMaps));
    support::runTask("displacement");
    ASSERT_EQ(hostState().savedMaps.size(), 7u);
    for (const auto& m : hostState().savedMaps) EXPECT_EQ(m.voxels, std::vector<float>(27, 0.0f)) << m.name;
    // Switches the script never set read as 0.
    hostState().savedMaps.clear();
    hostState().parameters = {{"fmr_threshold", "0"}, {"sdmfile", motion.string()}};
    support::runTask("displacement");
    EXPECT_TRUE(hostState().savedMaps.empty());
    const auto& log = hostState().logCalls;
    EXPECT_NE(std::find(log.begin(), log.end(), "Tremora>  Saving Maps"), log.end());
}

TEST_F(Displacement, EveryStudyOfAnMdmGetsItsOwnFiles)
{
    smallRun(2);
    for (const char* study : {"a", "b"}) {
        fs::create_directories(dir / study);
        support::saveMotionSdm(dir / study / (study + std::string("_3DMC.sdm")), support::stillRows(2, 1, 0, 1));
    }
    saveMdm(dir / "all.mdm", {{"a.fmr", dir / "a" / "a_3DMC.sdm"}, {"b.fmr", dir / "b" / "b_3DMC.sdm"}});
    support::setParameters(support::displacementParameters(dir / "all.mdm", {"map_max_abs"}));
    support::runTask("displacement");
    support::setParameters(support::confoundParameters(dir / "all.mdm", {"create_detrended"}));
    support::runTask("confound");
    ASSERT_TRUE(hostState().messages.empty()) << firstError();
    ASSERT_EQ(hostState().savedMaps.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        const std::string study = k == 0 ? "a" : "b";
        EXPECT_EQ(hostState().savedMaps[k].name, (dir / study / (study + "_3DMC_MaxAbsolute.map")).string());
        EXPECT_TRUE(fs::exists(dir / study / (study + "_3DMC_detr.sdm")));
    }
}

TEST_F(Displacement, BadInputEndsWithAnErrorBeforeAnyOutput)
{
    SDM three;
    three.NrOfDataPoints = 2;
    for (int p = 0; p < 3; ++p) three.AddPredictor({0, 1}, "p", 0, 0, 0);
    three.SaveAs((dir / "three_3DMC.sdm").string());
    support::saveMotionSdm(dir / "empty_3DMC.sdm", {});
    const fs::path motion = support::saveMotionSdm(dir / "run_3DMC.sdm", support::stillRows(2, 1, 0, 1));
    const struct {
        std::string task;
        fs::path sdm;
        int dimZ;
        std::string error;
    } cases[] = {
        {"confound", "", 3, "No motion SDM selected"},
        {"displacement", "", 3, "No motion SDM selected"},
        {"confound", dir / "three_3DMC.sdm", 3, "holds 3 predictors; a 3D motion correction SDM has six"},
        {"displacement", dir / "empty_3DMC.sdm", 3, "holds no data points"},
        {"displacement", motion, 4, "has 5 x 4 x 3 voxels, the host's run 5 x 4 x 4"},
    };
    for (const auto& c : cases) {
        HostTest::SetUp();
        smallRun(2);
        hostState().run.header.DimZ = c.dimZ;
        support::setParameters(c.task == "confound" ? support::confoundParameters(c.sdm, {"create_detrended"})
                                                    : support::displacementParameters(c.sdm, {"map_max_abs"}));
        support::runTask(c.task);
        EXPECT_NE(firstError().find(c.error), std::string::npos) << c.task << ": " << firstError();
        EXPECT_TRUE(hostState().maps.empty()) << c.task;
        EXPECT_EQ(filesIn(dir).count("three_3DMC_detr.sdm"), 0u);
        // The busy cursor is stopped before the error is shown.
        const auto& calls = hostState().calls;
        const auto box = std::find_if(calls.begin(), calls.end(), [](const std::string& s) { return s.rfind("zrMessageBox", 0) == 0; });
        EXPECT_NE(std::find(calls.begin(), box, "zrStopBusyCursor"), box) << c.task;
    }
}
