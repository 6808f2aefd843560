// The three tasks end to end through the host: selection of the motion SDM,
// the confound sets, and the voxel displacement maps.
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "gridtransformations.h"
#include "myMDM.h"
#include "mySDM.h"
#include "mySDMfunctions.h"
#include "testing.h"
#include "tremora.h"

using support::HostTest;
namespace fs = std::filesystem;

namespace {

// A motion SDM of six predictors (TM order: translations mm, rotations degrees), one row per volume.
SDM motionSdm(const std::vector<std::array<float, 6>>& rows)
{
    SDM sdm;
    sdm.NrOfDataPoints = static_cast<int>(rows.size());
    const char* names[6] = {"Translation X [mm]", "Translation Y [mm]", "Translation Z [mm]",
                            "Rotation X [deg]",   "Rotation Y [deg]",   "Rotation Z [deg]"};
    for (int p = 0; p < 6; ++p) {
        std::vector<float> values;
        for (const auto& row : rows) values.push_back(row[static_cast<std::size_t>(p)]);
        sdm.AddPredictor(values, names[p], 40 * p, 255 - 40 * p, 100);
    }
    return sdm;
}

void saveMotion(const fs::path& path, const std::vector<std::array<float, 6>>& rows)
{
    motionSdm(rows).SaveAs(path.string());
}

// n still volumes, with predictor p at value v in volume `at` when given.
std::vector<std::array<float, 6>> still(std::size_t n, std::size_t at = 0, std::size_t p = 0, float v = 0)
{
    std::vector<std::array<float, 6>> rows(n, std::array<float, 6>{});
    if (at < n) rows[at][p] = v;
    return rows;
}

// The real motion trace as TM parameters: translations mm, rotations degrees.
std::vector<std::array<float, 6>> realMotion()
{
    std::ifstream in(support::sharedData("mcflirt_movpar.txt"));
    std::vector<std::array<float, 6>> rows;
    double rx, ry, rz, tx, ty, tz;
    while (in >> rx >> ry >> rz >> tx >> ty >> tz) {
        const double deg = 180.0 / 3.14159265358979323846;
        rows.push_back({static_cast<float>(tx), static_cast<float>(ty), static_cast<float>(tz),
                        static_cast<float>(rx * deg), static_cast<float>(ry * deg), static_cast<float>(rz * deg)});
    }
    return rows;
}

// A float run document with its slice data: intensity(x, y, z) for volume 0,
// and the value plus the volume index for later volumes.
fs::path writeRun(const fs::path& dir, int nx, int ny, int nz, int volumes,
                  const std::function<float(int, int, int)>& intensity, float voxelSize = 3.0f)
{
    const fs::path fmr = dir / "run.fmr";
    std::ostringstream text;
    text << "\nFileVersion:          7\nNrOfVolumes:          " << volumes << "\nNrOfSlices:           " << nz
         << "\nPrefix:               \"run\"\nDataType:             2\nResolutionX:          " << nx
         << "\nResolutionY:          " << ny << "\nInplaneResolutionX:   " << voxelSize
         << "\nInplaneResolutionY:   " << voxelSize << "\nSliceThickness:       " << voxelSize
         << "\nSliceGap:             0\n";
    support::writeFile(fmr, text.str());
    std::ofstream stc(dir / "run.stc", std::ios::binary);
    for (int z = 0; z < nz; ++z)
        for (int v = 0; v < volumes; ++v)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) {
                    const float value = intensity(x, y, z) + static_cast<float>(v);
                    stc.write(reinterpret_cast<const char*>(&value), sizeof value);
                }
    return fmr;
}

void useRun(const fs::path& fmr, int nx, int ny, int nz, int volumes, float voxelSize = 3.0f)
{
    host::State& s = host::state();
    s.documentId = 1;
    s.documentType = 1;
    s.run.present = true;
    s.run.fmrPath = fmr.string();
    std::memset(&s.run.header, 0, sizeof s.run.header);
    std::strncpy(s.run.header.FileName, fmr.c_str(), sizeof s.run.header.FileName - 1);
    s.run.header.NrOfVolumes = volumes;
    s.run.header.DimX = nx;
    s.run.header.DimY = ny;
    s.run.header.DimZ = nz;
    s.run.header.VoxelSizeX = s.run.header.VoxelSizeY = s.run.header.VoxelSizeZ = voxelSize;
}

void setParameters(const std::map<std::string, std::string>& parameters)
{
    for (const auto& [name, value] : parameters) host::state().parameters[name] = value;
}

// The first error the host showed ("" when none).
std::string errorMessage()
{
    const auto& errors = host::state().errors;
    return errors.empty() ? "" : errors.front();
}

bool logged(const std::string& text)
{
    for (const auto& line : host::state().logCalls)
        if (line == text) return true;
    return false;
}

// An MDM of (run, motion SDM) studies saved at `path`.
void saveMdm(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& studies)
{
    MDM mdm;
    for (const auto& [data, sdm] : studies) {
        mdm.DataPaths.push_back(data);
        mdm.SDMPaths.push_back(sdm);
    }
    mdm.NrOfStudies = static_cast<int>(studies.size());
    mdm.SaveAs(path.string());
}

std::string exactFloat(float value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(value));
    return buffer;
}

} // namespace

// ================================================================ selection

class Select : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        dir = support::tempDir("select");
        hostState().run.header.NrOfVolumes = 4;
    }
    fs::path dir;
};

TEST_F(Select, MatchingSdmSetsTheParameterWithoutAMessage)
{
    saveMotion(dir / "run_3DMC.sdm", still(4, 1, 0, 1));
    hostState().dialogAnswers.emplace_back((dir / "run_3DMC.sdm").string());
    ASSERT_TRUE(support::runTask("select_3dmcsdm"));
    EXPECT_EQ(hostState().parameters["sdmfile"], (dir / "run_3DMC.sdm").string());
    EXPECT_TRUE(hostState().messages.empty());
    ASSERT_EQ(hostState().dialogs.size(), 1u);
    EXPECT_EQ(hostState().dialogs[0].title, "Choose the 3DMC SDM you want to use:");
    EXPECT_EQ(hostState().dialogs[0].startFolder, "");
    EXPECT_EQ(hostState().dialogs[0].filter, "3D Motion Correction (*_3DMC.sdm *_3DMC.mdm)");
    EXPECT_EQ(hostState().busyShown, 0) << "selection runs without the busy cursor";
}

TEST_F(Select, CancelledDialogIsAnErrorAndLeavesTheParameter)
{
    hostState().parameters["sdmfile"] = "earlier.sdm";
    hostState().dialogAnswers.emplace_back(std::nullopt);
    ASSERT_TRUE(support::runTask("select_3dmcsdm"));
    EXPECT_EQ(hostState().messages, std::vector<std::string>{"Error: You must choose a valid file!"});
    EXPECT_EQ(hostState().errors, std::vector<std::string>{"You must choose a valid file!"});
    EXPECT_EQ(hostState().parameters["sdmfile"], "earlier.sdm");
    EXPECT_EQ(hostState().busyShown, 0);
    EXPECT_EQ(hostState().busyStopped, 0);
}

TEST_F(Select, MdmWithWrongRowCountWarnsOnceThenSetsTheMdm)
{
    saveMotion(dir / "a_3DMC.sdm", still(2));
    saveMotion(dir / "b_3DMC.sdm", still(4));
    saveMdm(dir / "runs_3DMC.mdm", {{(dir / "a.fmr").string(), (dir / "a_3DMC.sdm").string()},
                                    {(dir / "b.fmr").string(), (dir / "b_3DMC.sdm").string()}});
    hostState().dialogAnswers.emplace_back((dir / "runs_3DMC.mdm").string());
    ASSERT_TRUE(support::runTask("select_3dmcsdm"));
    EXPECT_EQ(hostState().messages,
              std::vector<std::string>{"FMR and _3DMC.sdm don't have the same number of volumes!"});
    EXPECT_TRUE(hostState().errors.empty()) << "a warning is no error";
    EXPECT_EQ(hostState().parameters["sdmfile"], (dir / "runs_3DMC.mdm").string());
}

TEST_F(Select, MovedFirstSdmIsRepairedBeforeTheVolumeCheck)
{
    const fs::path moved = dir / "moved";
    fs::create_directories(moved);
    saveMotion(moved / "a_3DMC.sdm", still(4));
    saveMdm(dir / "runs.mdm", {{(dir / "old" / "a.fmr").string(), (dir / "old" / "a_3DMC.sdm").string()}});

    // Cancelling the repair leaves the old path, whose open error ends the task.
    hostState().dialogAnswers.emplace_back((dir / "runs.mdm").string());
    hostState().dialogAnswers.emplace_back(std::nullopt);
    ASSERT_TRUE(support::runTask("select_3dmcsdm"));
    ASSERT_EQ(hostState().dialogs.size(), 2u);
    EXPECT_EQ(hostState().dialogs[1].title, "SDM not found. Select a_3DMC.sdm manually.");
    EXPECT_EQ(errorMessage(), "Failed opening for reading: " + (dir / "old" / "a_3DMC.sdm").string());
    EXPECT_EQ(hostState().parameters.count("sdmfile"), 0u);

    // Pointing at the moved file repairs the MDM; the run matches, so no warning.
    host::reset();
    hostState().documentId = 1;
    hostState().run.header.NrOfVolumes = 4;
    hostState().dialogAnswers.emplace_back((dir / "runs.mdm").string());
    hostState().dialogAnswers.emplace_back((moved / "a_3DMC.sdm").string());
    ASSERT_TRUE(support::runTask("select_3dmcsdm"));
    EXPECT_TRUE(hostState().messages.empty()) << hostState().messages.front();
    EXPECT_EQ(hostState().parameters["sdmfile"], (dir / "runs.mdm").string());
    EXPECT_EQ(MDM((dir / "runs.mdm").string()).SDMPaths.at(0), (moved / "a_3DMC.sdm").string());
}

TEST_F(Select, NeitherSdmNorMdmIsRefused)
{
    for (const std::string name : {"motion_3DMC.SDM", "motion.txt"}) {
        host::reset();
        hostState().documentId = 1;
        support::writeFile(dir / name, "whatever");
        hostState().dialogAnswers.emplace_back((dir / name).string());
        ASSERT_TRUE(support::runTask("select_3dmcsdm"));
        EXPECT_NE(errorMessage().find("neither an SDM"), std::string::npos) << errorMessage();
        EXPECT_EQ(hostState().parameters.count("sdmfile"), 0u);
    }
    host::reset();
    hostState().documentId = 1;
    MDM empty;
    empty.SaveAs((dir / "empty.mdm").string());
    hostState().dialogAnswers.emplace_back((dir / "empty.mdm").string());
    ASSERT_TRUE(support::runTask("select_3dmcsdm"));
    EXPECT_NE(errorMessage().find("lists no study"), std::string::npos) << errorMessage();
    EXPECT_EQ(hostState().parameters.count("sdmfile"), 0u);
}

// ================================================================ confound sets

class Confound : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        dir = support::tempDir("confound");
        allOff = {{"spike_threshold", "0.5"},  {"create_detrended", "0"}, {"create_derivative", "0"},
                  {"create_spikes", "0"},      {"create_squared", "0"},   {"create_delayed1", "0"},
                  {"create_delayed1sq", "0"},  {"create_delayed2", "0"},  {"create_delayed2sq", "0"},
                  {"plot_regular", "0"},       {"plot_detrended", "0"}};
    }
    // Every flag off but those in `on`, then the task on the motion file.
    void runConfound(const fs::path& sdm, const std::map<std::string, std::string>& on = {})
    {
        setParameters(allOff);
        setParameters(on);
        hostState().parameters["sdmfile"] = sdm.string();
        support::runTask("confound");
    }
    fs::path dir;
    std::map<std::string, std::string> allOff;
};

TEST_F(Confound, ParametersAreReadInOrder)
{
    saveMotion(dir / "run_3DMC.sdm", still(3));
    runConfound(dir / "run_3DMC.sdm");
    std::vector<std::string> reads;
    for (const auto& call : hostState().calls)
        if (call.rfind("zrGetFloatParameter", 0) == 0 || call.rfind("zrGetIntParameter", 0) == 0 ||
            (call.rfind("zrGetStringParameter", 0) == 0 && call != "zrGetStringParameter task"))
            reads.push_back(call.substr(call.find(' ') + 1));
    const std::vector<std::string> expected = {
        "spike_threshold",  "create_detrended", "create_derivative", "create_spikes",
        "create_squared",   "create_delayed1",  "create_delayed1sq", "create_delayed2",
        "create_delayed2sq", "plot_regular",    "plot_detrended",    "sdmfile"};
    EXPECT_EQ(reads, expected);
}

TEST_F(Confound, AllFlagsOffWritesNothingAndLogsOnlySaving)
{
    saveMotion(dir / "run_3DMC.sdm", still(3, 1, 0, 2));
    runConfound(dir / "run_3DMC.sdm");
    EXPECT_TRUE(hostState().messages.empty()) << errorMessage();
    EXPECT_TRUE(logged("Tremora>  Saving SDMs"));
    for (const auto& line : host::state().logCalls) EXPECT_EQ(line.find("pike"), std::string::npos) << line;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    EXPECT_TRUE(hostState().plots.empty());
}

TEST_F(Confound, EmptyMotionPathAsksForTheSelectionFirst)
{
    runConfound("");
    EXPECT_NE(errorMessage().find("No motion SDM selected"), std::string::npos) << errorMessage();
    // The busy cursor is stopped before the error is shown.
    std::size_t stop = 0, box = 0;
    for (std::size_t i = 0; i < hostState().calls.size(); ++i) {
        if (hostState().calls[i] == "zrStopBusyCursor") stop = i;
        if (hostState().calls[i].rfind("zrMessageBox", 0) == 0) box = i;
    }
    EXPECT_GT(stop, 0u);
    EXPECT_LT(stop, box);
    EXPECT_EQ(hostState().busyShown, 1);
    EXPECT_EQ(hostState().busyStopped, 1);
}

TEST_F(Confound, SpikesAboveTheThresholdOnly)
{
    // Jumps at volumes 3 and 7; the displacement at volume 3 becomes the threshold itself.
    std::vector<std::array<float, 6>> rows(10, {0, 0, 0, 0, 0, 0});
    for (std::size_t t = 3; t < 10; ++t) rows[t][0] = 1.0f;
    for (std::size_t t = 7; t < 10; ++t) rows[t][1] = 2.0f;
    saveMotion(dir / "run_3DMC.sdm", rows);
    SDM detrended = motionSdm(rows);
    detrendAllPredictors(detrended);
    const std::vector<float> d = getDistanceRMSfrom3DMCSDM(detrended);
    ASSERT_GT(d[7], d[3]);

    runConfound(dir / "run_3DMC.sdm", {{"create_spikes", "1"}, {"spike_threshold", exactFloat(d[3])}});
    ASSERT_TRUE(hostState().messages.empty()) << errorMessage();

    SDM spikes((dir / "run_3DMC_spikes.sdm").string());
    ASSERT_EQ(spikes.NrOfPredictors.value(), 1) << "a displacement equal to the threshold is no spike";
    EXPECT_EQ(spikes.PredictorNames[0], "Spike Volume 7");
    for (int t = 0; t < 10; ++t) EXPECT_EQ(spikes.Predictors[0][static_cast<std::size_t>(t)], t == 7 ? 1.0f : 0.0f);
    EXPECT_TRUE(logged("Tremora>  Detecting Spikes"));
    std::ostringstream found;
    found << "Tremora>  Found spike at position 7 with displacement " << d[7] << " mm";
    EXPECT_TRUE(logged(found.str())) << found.str();

    // A threshold above every displacement finds none and writes no spike file.
    fs::remove(dir / "run_3DMC_spikes.sdm");
    host::reset();
    hostState().documentId = 1;
    runConfound(dir / "run_3DMC.sdm", {{"create_spikes", "1"}, {"spike_threshold", "100"}});
    EXPECT_TRUE(logged("Tremora>  No spikes found with displacement greater than 100 mm"));
    EXPECT_FALSE(fs::exists(dir / "run_3DMC_spikes.sdm"));
}

namespace {

// The reference chain in double precision: least-squares detrend, then a transform, then z-scores.
std::vector<double> detrendDouble(const std::vector<double>& y)
{
    const double n = static_cast<double>(y.size());
    double sx = 0, sy = 0, sxy = 0, sxx = 0;
    for (std::size_t k = 0; k < y.size(); ++k) {
        const double x = static_cast<double>(k);
        sx += x;
        sy += y[k];
        sxy += x * y[k];
        sxx += x * x;
    }
    const double b = (n * sxy - sx * sy) / (n * sxx - sx * sx), a = (sy - b * sx) / n;
    std::vector<double> r(y.size());
    for (std::size_t k = 0; k < y.size(); ++k) r[k] = y[k] - (b * static_cast<double>(k) + a);
    return r;
}

std::vector<double> zscoreDouble(std::vector<double> v)
{
    double m = 0;
    for (double x : v) m += x;
    m /= static_cast<double>(v.size());
    double s = 0;
    for (double x : v) s += (x - m) * (x - m);
    double sd = std::sqrt(s / static_cast<double>(v.size() - 1));
    if (sd < 0.0001) sd = 1.0;
    for (double& x : v) x = (x - m) / sd;
    return v;
}

} // namespace

TEST_F(Confound, RealMotionSetsMatchAnIndependentComputation)
{
    const auto rows = realMotion();
    ASSERT_EQ(rows.size(), 365u);
    saveMotion(dir / "sub_3DMC.sdm", rows);
    std::map<std::string, std::string> allOn;
    for (const auto& [name, value] : allOff)
        if (name.rfind("create_", 0) == 0) allOn[name] = "1";
    runConfound(dir / "sub_3DMC.sdm", allOn);
    ASSERT_TRUE(hostState().messages.empty()) << errorMessage();

    using Transform = std::function<std::vector<double>(const std::vector<double>&)>;
    const Transform same = [](const std::vector<double>& v) { return v; };
    const Transform derivative = [](const std::vector<double>& v) {
        std::vector<double> r(v.size(), 0.0);
        for (std::size_t k = 1; k + 1 < v.size(); ++k) r[k] = (v[k + 1] - v[k - 1]) * 0.5;
        return r;
    };
    const auto delay = [](std::size_t s) {
        return Transform([s](const std::vector<double>& v) {
            std::vector<double> r(v.size(), 0.0);
            for (std::size_t k = s; k < v.size(); ++k) r[k] = v[k - s];
            return r;
        });
    };
    const auto squared = [](Transform inner) {
        return Transform([inner](const std::vector<double>& v) {
            auto r = inner(v);
            for (double& x : r) x *= x;
            return r;
        });
    };
    const struct {
        const char* suffix;
        Transform transform;
        const char* nameTail;
    } sets[] = {{"_detr", same, " detrended"},
                {"_deriv", derivative, " detrended derivative"},
                {"_sqr", squared(same), " detrended squared"},
                {"_t1", delay(1), " detrended t-1"},
                {"_t2", delay(2), " detrended t-2"},
                {"_t1sqr", squared(delay(1)), " detrended t-1 squared"},
                {"_t2sqr", squared(delay(2)), " detrended t-2 squared"}};
    for (const auto& set : sets) {
        const fs::path path = dir / (std::string("sub_3DMC") + set.suffix + ".sdm");
        ASSERT_TRUE(fs::exists(path)) << path;
        SDM written(path.string());
        ASSERT_EQ(written.NrOfPredictors.value(), 6) << set.suffix;
        for (std::size_t p = 0; p < 6; ++p) {
            std::vector<double> y;
            for (const auto& row : rows) y.push_back(row[p]);
            const std::vector<double> expected = zscoreDouble(set.transform(detrendDouble(y)));
            // The float detrend forms n·Sxx − Sx² from terms near 6e9: the
            // cancellation costs a few 1e-5 of the z-scores' spread.
            double worst = 0;
            for (std::size_t t = 0; t < y.size(); ++t)
                worst = std::max(worst, std::fabs(written.Predictors[p][t] - expected[t]));
            EXPECT_LT(worst, 2e-4) << set.suffix << " predictor " << p;
            EXPECT_EQ(written.PredictorNames[p].substr(written.PredictorNames[p].size() - std::strlen(set.nameTail)),
                      set.nameTail);
        }
    }
}

TEST_F(Confound, PlotsOfTheMotionAndTheDisplacement)
{
    saveMotion(dir / "run_3DMC.sdm", still(4, 1, 0, 1));
    hostState().plotFolder = dir.string();
    runConfound(dir / "run_3DMC.sdm", {{"plot_regular", "1"}, {"plot_detrended", "1"}});
    ASSERT_TRUE(hostState().messages.empty()) << errorMessage();
    ASSERT_EQ(hostState().plots.size(), 2u);
    const host::Plot& regular = hostState().plots.begin()->second;
    const host::Plot& detrended = std::next(hostState().plots.begin())->second;
    EXPECT_EQ(regular.title, "run_3DMC.sdm");
    EXPECT_EQ(regular.lines.size(), 6u);
    EXPECT_EQ(detrended.title, "run_3DMC.sdm + Displacement for Spike Detection");
    ASSERT_EQ(detrended.lines.size(), 8u);
    EXPECT_EQ(detrended.lines[6].name, "relative RMS displacement");
    EXPECT_EQ(detrended.lines[7].name, "Spike threshold");
    EXPECT_EQ(detrended.lines[7].red, 150);
    for (float v : detrended.lines[7].y) EXPECT_EQ(v, 0.5f);
}

TEST_F(Confound, TwoStudyMdmWritesBesideEachSdm)
{
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    saveMotion(dir / "a" / "a_3DMC.sdm", still(3, 1, 0, 1));
    saveMotion(dir / "b" / "b_3DMC.sdm", still(3, 1, 1, 1));
    saveMdm(dir / "all.mdm", {{(dir / "a" / "a.fmr").string(), (dir / "a" / "a_3DMC.sdm").string()},
                              {(dir / "b" / "b.fmr").string(), (dir / "b" / "b_3DMC.sdm").string()}});
    runConfound(dir / "all.mdm", {{"create_detrended", "1"}, {"create_delayed2", "1"}});
    ASSERT_TRUE(hostState().messages.empty()) << errorMessage();
    EXPECT_TRUE(fs::exists(dir / "a" / "a_3DMC_detr.sdm"));
    EXPECT_TRUE(fs::exists(dir / "b" / "b_3DMC_detr.sdm"));
}

TEST_F(Confound, MotionFileWithTooFewPredictorsIsRefused)
{
    SDM three;
    three.NrOfDataPoints = 3;
    for (int p = 0; p < 3; ++p) three.AddPredictor({0, 1, 0}, "p", 0, 0, 0);
    three.SaveAs((dir / "short_3DMC.sdm").string());
    runConfound(dir / "short_3DMC.sdm", {{"create_detrended", "1"}});
    EXPECT_NE(errorMessage().find("six"), std::string::npos) << errorMessage();
    EXPECT_FALSE(fs::exists(dir / "short_3DMC_detr.sdm"));
}

// ================================================================ displacement maps

class Displacement : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        dir = support::tempDir("displacement");
        setParameters({{"fmr_threshold", "100"}, {"map_max_abs", "1"}, {"map_mean_abs", "1"},
                       {"map_max_rel", "1"},    {"map_mean_rel", "1"}, {"map_max_abs_x", "1"},
                       {"map_max_abs_y", "1"},  {"map_max_abs_z", "1"}, {"plot_regular", "0"},
                       {"plot_detrended", "0"}});
    }
    // A 5 x 4 x 3 run whose voxels are all above 100 except (4, 1, 2), index kDark.
    static constexpr std::size_t kDark = 4 + 5 * (1 + 4 * 2);
    void smallRun(int volumes)
    {
        const fs::path fmr = writeRun(dir, 5, 4, 3, volumes, [](int x, int y, int z) {
            return (x == 4 && y == 1 && z == 2) ? 50.0f : 500.0f + static_cast<float>(x + y + z);
        });
        useRun(fmr, 5, 4, 3, volumes);
    }
    const host::SavedMap& map(const std::string& suffix)
    {
        for (const auto& m : hostState().savedMaps)
            if (m.name.size() >= suffix.size() && m.name.compare(m.name.size() - suffix.size(), suffix.size(), suffix) == 0)
                return m;
        throw std::runtime_error("no map " + suffix);
    }
    fs::path dir;
};

TEST_F(Displacement, TranslationsGiveHandComputedMaps)
{
    // Volume t is shifted k(t)·(1, 2, 2) mm, a length of 3·k(t), exact in float.
    // Absolute 3k = 0 3 9 9 6 0: max 9, mean 4.5; relative 3|Δk| = 0 3 6 0 3 6:
    // max 6, mean 3; largest components 3, 6, 6.
    const float k[] = {0, 1, 3, 3, 2, 0};
    const int n = 6;
    smallRun(n);
    std::vector<std::array<float, 6>> rows;
    for (float f : k) rows.push_back({f, 2 * f, 2 * f, 0, 0, 0});
    saveMotion(dir / "run_3DMC.sdm", rows);
    hostState().parameters["sdmfile"] = (dir / "run_3DMC.sdm").string();
    support::runTask("displacement");
    ASSERT_TRUE(hostState().messages.empty()) << errorMessage();

    const struct {
        const char* suffix;
        float value;
    } expected[] = {{"_MaxAbsolute.map", 9.0f}, {"_MeanAbsolute.map", 4.5f}, {"_MeanRelative.map", 3.0f},
                    {"_MaxRelative.map", 6.0f}, {"_MaxAbsoluteX.map", 3.0f}, {"_MaxAbsoluteY.map", 6.0f},
                    {"_MaxAbsoluteZ.map", 6.0f}};
    ASSERT_EQ(hostState().savedMaps.size(), std::size(expected));
    for (std::size_t e = 0; e < std::size(expected); ++e) {
        const host::SavedMap& m = hostState().savedMaps[e];
        EXPECT_EQ(m.name, (dir / "run_3DMC").string() + expected[e].suffix) << "maps in this order";
        ASSERT_EQ(m.voxels.size(), 60u);
        for (std::size_t i = 0; i < m.voxels.size(); ++i)
            ASSERT_FLOAT_EQ(m.voxels[i], i == kDark ? 0.0f : expected[e].value) << m.name << " voxel " << i;
        EXPECT_EQ(m.header.MapType, 1);
        EXPECT_FLOAT_EQ(m.header.Threshold1, 0.01f);
        EXPECT_FLOAT_EQ(m.header.Threshold2, expected[e].value);
    }
    EXPECT_TRUE(logged("Tremora>  FMR size voxels: 5 x 4 x 3"));
    EXPECT_TRUE(logged("Tremora>  Start calculating voxel specific motion in 6 volumes"));
    EXPECT_TRUE(logged("Tremora>  Saving Maps"));
}

TEST_F(Displacement, NoMotionGivesZeroMapsWithZeroUpperThreshold)
{
    smallRun(3);
    saveMotion(dir / "run_3DMC.sdm", still(3));
    hostState().parameters["sdmfile"] = (dir / "run_3DMC.sdm").string();
    support::runTask("displacement");
    ASSERT_EQ(hostState().savedMaps.size(), 7u);
    for (const auto& m : hostState().savedMaps) {
        EXPECT_EQ(m.header.Threshold2, 0.0f) << m.name;
        for (float v : m.voxels) ASSERT_EQ(v, 0.0f) << m.name;
    }
}

TEST_F(Displacement, ThresholdIsStrictAndAllMapsOffStillRuns)
{
    // Every voxel of volume 0 is exactly 100: none takes part.
    const fs::path fmr = writeRun(dir, 3, 3, 3, 2, [](int, int, int) { return 100.0f; });
    useRun(fmr, 3, 3, 3, 2);
    saveMotion(dir / "run_3DMC.sdm", {{1, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0}});
    hostState().parameters["sdmfile"] = (dir / "run_3DMC.sdm").string();
    hostState().parameters["map_max_abs_y"] = "0";
    support::runTask("displacement");
    ASSERT_EQ(hostState().savedMaps.size(), 6u);
    for (const auto& m : hostState().savedMaps)
        for (float v : m.voxels) ASSERT_EQ(v, 0.0f) << m.name;

    host::reset();
    useRun(fmr, 3, 3, 3, 2);
    setParameters({{"fmr_threshold", "0"}, {"sdmfile", (dir / "run_3DMC.sdm").string()}});
    support::runTask("displacement");
    EXPECT_TRUE(hostState().savedMaps.empty());
    EXPECT_TRUE(logged("Tremora>  Start calculating voxel specific motion in 2 volumes"));
    EXPECT_TRUE(logged("Tremora>  Saving Maps"));
}

TEST_F(Displacement, RotationLeavesTheCentreVoxelOfAnOddGrid)
{
    const fs::path fmr = writeRun(dir, 5, 5, 5, 2, [](int, int, int) { return 500.0f; });
    useRun(fmr, 5, 5, 5, 2);
    saveMotion(dir / "run_3DMC.sdm", {{0, 0, 0, 0, 0, 0}, {0, 0, 0, 3, 2, 1}});
    hostState().parameters["sdmfile"] = (dir / "run_3DMC.sdm").string();
    support::runTask("displacement");
    const host::SavedMap& m = map("_MaxAbsolute.map");
    const std::size_t centre = 2 + 5 * (2 + 5 * 2);
    EXPECT_EQ(m.voxels[centre], 0.0f);
    EXPECT_GT(m.voxels[0], m.voxels[centre + 1]) << "a corner moves more than a voxel next to the centre";
    EXPECT_GT(m.voxels[centre + 1], 0.0f);
}

TEST_F(Displacement, MatchesTheGridAlgorithmBitForBit)
{
    const int nx = 7, ny = 6, nz = 5, n = 40;
    std::mt19937 random(12345);
    std::uniform_real_distribution<float> intensity(0.0f, 1000.0f), motion(-1.5f, 1.5f);
    std::vector<float> first(static_cast<std::size_t>(nx * ny * nz));
    for (float& v : first) v = intensity(random);
    const fs::path fmr = writeRun(dir, nx, ny, nz, 1, [&](int x, int y, int z) {
        return first[static_cast<std::size_t>(x + nx * (y + ny * z))];
    }, 2.5f);
    useRun(fmr, nx, ny, nz, n, 2.5f);
    std::vector<std::array<float, 6>> rows(static_cast<std::size_t>(n));
    for (auto& row : rows)
        for (float& p : row) p = motion(random);
    saveMotion(dir / "run_3DMC.sdm", rows);
    hostState().parameters["sdmfile"] = (dir / "run_3DMC.sdm").string();
    hostState().parameters["fmr_threshold"] = "400";
    support::runTask("displacement");
    ASSERT_TRUE(hostState().messages.empty()) << errorMessage();

    // The blocked kernel against the plain path: transform the whole reference
    // grid with the sampling code, 40 random motions, more voxels than a block.
    const SDM sdm((dir / "run_3DMC.sdm").string());
    const glm::tvec3<int> dims(nx, ny, nz);
    const glm::tvec3<float> extent(nx * 2.5f, ny * 2.5f, nz * 2.5f);
    const auto g0 = getGrid3D(dims, extent);
    auto previous = g0;
    const std::size_t voxels = g0.size();
    std::vector<float> sumA(voxels, 0), maxA(voxels, 0), sumR(voxels, 0), maxR(voxels, 0), mx(voxels, 0),
        my(voxels, 0), mz(voxels, 0);
    for (int t = 0; t < n; ++t) {
        Vector<float> p(6);
        for (int k = 0; k < 6; ++k) p[k] = sdm.Predictors[static_cast<std::size_t>(k)][static_cast<std::size_t>(t)];
        const auto gt = getTransformedGrid3D(g0, getTrfMatrixTM(p));
        for (std::size_t j = 0; j < voxels; ++j) {
            if (!(first[j] > 400.0f)) continue;
            const glm::tvec3<float> da = gt[j] - g0[j], dr = gt[j] - previous[j];
            const float a = std::sqrt((da.x * da.x + da.y * da.y) + da.z * da.z);
            const float r = std::sqrt(dr.x * dr.x + dr.y * dr.y + dr.z * dr.z);
            sumA[j] += a;
            maxA[j] = maxA[j] > a ? maxA[j] : a;
            sumR[j] += r;
            maxR[j] = maxR[j] > r ? maxR[j] : r;
            mx[j] = mx[j] > std::fabs(da.x) ? mx[j] : std::fabs(da.x);
            my[j] = my[j] > std::fabs(da.y) ? my[j] : std::fabs(da.y);
            mz[j] = mz[j] > std::fabs(da.z) ? mz[j] : std::fabs(da.z);
        }
        previous = gt;
    }
    for (auto& v : sumA) v /= static_cast<float>(n);
    for (auto& v : sumR) v /= static_cast<float>(n);
    const std::pair<const char*, const std::vector<float>*> expected[] = {
        {"_MaxAbsolute.map", &maxA}, {"_MeanAbsolute.map", &sumA}, {"_MaxRelative.map", &maxR},
        {"_MeanRelative.map", &sumR}, {"_MaxAbsoluteX.map", &mx},  {"_MaxAbsoluteY.map", &my},
        {"_MaxAbsoluteZ.map", &mz}};
    for (const auto& [suffix, values] : expected) {
        const host::SavedMap& m = map(suffix);
        ASSERT_EQ(m.voxels.size(), voxels);
        for (std::size_t j = 0; j < voxels; ++j)
            ASSERT_EQ(std::memcmp(&m.voxels[j], &(*values)[j], sizeof(float)), 0)
                << suffix << " voxel " << j << ": " << m.voxels[j] << " vs " << (*values)[j];
    }
}

TEST_F(Displacement, TwoStudyMdmWritesTwoSetsOfMaps)
{
    smallRun(2);
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    saveMotion(dir / "a" / "a_3DMC.sdm", still(2, 1, 0, 1));
    saveMotion(dir / "b" / "b_3DMC.sdm", still(2, 1, 1, 1));
    saveMdm(dir / "all.mdm", {{"a.fmr", (dir / "a" / "a_3DMC.sdm").string()}, {"b.fmr", (dir / "b" / "b_3DMC.sdm").string()}});
    hostState().parameters["sdmfile"] = (dir / "all.mdm").string();
    hostState().parameters["plot_regular"] = "1";
    hostState().plotFolder = dir.string();
    support::runTask("displacement");
    ASSERT_TRUE(hostState().messages.empty()) << errorMessage();
    ASSERT_EQ(hostState().savedMaps.size(), 14u);
    EXPECT_EQ(hostState().savedMaps[0].name, (dir / "a" / "a_3DMC_MaxAbsolute.map").string());
    EXPECT_EQ(hostState().savedMaps[7].name, (dir / "b" / "b_3DMC_MaxAbsolute.map").string());
    EXPECT_EQ(hostState().plots.size(), 2u);
}

TEST_F(Displacement, BadInputEndsBeforeAnyMap)
{
    smallRun(2);
    saveMotion(dir / "run_3DMC.sdm", still(2, 1, 0, 1));
    hostState().parameters["sdmfile"] = (dir / "run_3DMC.sdm").string();
    hostState().run.header.DimZ = 4; // the host's record disagrees with the document
    support::runTask("displacement");
    EXPECT_NE(errorMessage().find("voxels"), std::string::npos) << errorMessage();
    EXPECT_TRUE(hostState().savedMaps.empty());
    EXPECT_TRUE(hostState().maps.empty());

    host::reset();
    smallRun(2);
    setParameters({{"fmr_threshold", "0"}, {"map_max_abs", "1"}});
    SDM empty;
    for (int p = 0; p < 6; ++p) empty.AddPredictor({}, "p", 0, 0, 0);
    empty.SaveAs((dir / "empty_3DMC.sdm").string());
    hostState().parameters["sdmfile"] = (dir / "empty_3DMC.sdm").string();
    support::runTask("displacement");
    EXPECT_NE(errorMessage().find("no data points"), std::string::npos) << errorMessage();
    EXPECT_TRUE(hostState().maps.empty());
}
