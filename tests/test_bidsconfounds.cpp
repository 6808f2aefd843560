// BIDS confounds tables: names, numbers that read back exactly, radians, the
// measures, outlier columns with censoring, the sidecar; an MDM's tables.

#include <cmath>
#include <cstdlib>
#include <numbers>

#include <nlohmann/json.hpp>

#include "bidsconfounds.h"
#include "fixtures.h"
#include "myMDM.h"
#include "mySDMfunctions.h"
#include "stringmanipulation.h"
#include "testing.h"

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json; // a strict reader: no NaN, no trailing text; keys in order
using support::MotionRows;

namespace {

// Still at first, then a step of 2 mm along x at each listed volume, which the
// head keeps: the detrended volume-to-volume displacement is about 2 mm there.
MotionRows steps(int volumes, const std::vector<int>& at)
{
    MotionRows rows(std::size_t(volumes), std::array<double, 6>{});
    for (int t = 0; t < volumes; ++t) {
        for (int s : at) rows[std::size_t(t)][0] += t >= s ? 2.0 : 0.0;
        rows[std::size_t(t)][3] = 0.01 * (t % 3); // a small wobble about x, in degrees
    }
    return rows;
}

// A set SDM as the confound task writes one.
SDM taskSet(const SDM& motion, const std::string& set)
{
    SDM d(motion);
    detrendAllPredictors(d);
    zTransformAllPredictors(d);
    d.FileName = addToFileName(motion.FileName, "_" + set);
    return d;
}

} // namespace

TEST(BidsConfoundNames, StemsAndNumbers)
{
    const std::pair<std::string, std::string> stems[] = {{"/data/sub-01/func/sub-01_task-rest_run-1_bold_3DMC.sdm", "/data/sub-01/func/sub-01_task-rest_run-1"},
        {"_3DMC.sdm", "run"}, {"out/sub-02_task-nback_3dmc.SDM", "out/sub-02_task-nback"}, {"dir.v2/motion", "dir.v2/motion"}, {"C:\\study\\r2_3DMC.sdm", "C:\\study\\r2"}};
    for (const auto& [motion, stem] : stems) {
        EXPECT_EQ(confoundsTablePath(motion), stem + "_desc-confounds_timeseries.tsv") << motion;
        EXPECT_EQ(confoundsSidecarPath(motion), stem + "_desc-confounds_timeseries.json") << motion;
    }
    for (const std::string bad : {"spikes", "", "DETR"}) EXPECT_THROW(confoundSetSuffix(bad), std::invalid_argument) << bad;

    // Numbers as the shortest text that reads back bit for bit, floats as floats.
    const std::pair<double, std::string> texts[] = {{0.0, "0"}, {-0.0, "0"}, {0.1, "0.1"}, {-2.5, "-2.5"}, {1e-05, "1e-05"}, {123456789.0, "123456789"}};
    for (const auto& [value, text] : texts) EXPECT_EQ(roundTripNumber(value), text) << value;
    EXPECT_EQ(roundTripNumber(0.1f) + " " + roundTripNumber(-0.000185f), "0.1 -0.000185");
    for (double v : {std::numbers::pi, 1.0 / 3.0, 6.02214076e23, 4.9e-324, -0.036638575179113064})
        EXPECT_EQ(std::strtod(roundTripNumber(v).c_str(), nullptr), v) << v;
    for (float v : {1.0f / 3.0f, 0.035155f, 3.4e38f, 1e-40f}) EXPECT_EQ(std::strtof(roundTripNumber(v).c_str(), nullptr), v) << v;
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) EXPECT_THROW(roundTripNumber(bad), std::invalid_argument);
}

TEST(BidsConfoundsTable, RadiansFirstRowZerosAndTheMeasures)
{
    // Quarter and half turns with shifts along every axis: rotations become
    // multiples of π/4 rad, translations stay in mm.
    const MotionRows rows = {{0, 0, 0, 0, 0, 0}, {3, 0, -2, 90, 0, 0}, {3, 0, -2, 90, -45, 180}, {3, 1, -2, 90, -45, 180}};
    const SDM motion = support::motionSdm(rows);
    ConfoundsOptions options;
    options.fdRadius = 80.0;
    options.outliers = false;
    const ConfoundsTable table = buildConfoundsTable(motion, {}, options);
    const double pi = std::numbers::pi, expected[6][4] = {{0, 3, 3, 3}, {0, 0, 0, 1}, {0, -2, -2, -2},
                                                          {0, pi / 2, pi / 2, pi / 2}, {0, 0, -pi / 4, -pi / 4}, {0, 0, pi, pi}};
    for (std::size_t k = 0; k < 6; ++k) {
        EXPECT_EQ(table.columns[k].units, k < 3 ? "mm" : "rad") << table.columns[k].name;
        // The degree values are exact floats: the radians are exact to a few ulps.
        for (std::size_t t = 0; t < 4; ++t) EXPECT_NEAR(table.columns[k].values[t], expected[k][t], 1e-15) << table.columns[k].name << " " << t;
    }
    // FD on an 80 mm sphere: volume 1 moves 3 + 2 mm and turns π/2 (an arc of 40π mm).
    const ConfoundsColumn *fd = table.find("framewise_displacement"), *rmsd = table.find("rmsd");
    ASSERT_TRUE(fd && rmsd);
    EXPECT_EQ(fd->values[0], 0.0);
    EXPECT_NEAR(fd->values[1], 5.0 + 80.0 * pi / 2, 1e-9);
    EXPECT_NEAR(fd->values[3], 1.0, 1e-9);
    // rmsd is exactly what the spikes are judged by.
    const std::vector<float> d = spikeDetectionDisplacement(motion);
    EXPECT_EQ(rmsd->values, std::vector<double>(d.begin(), d.end()));
    // A header and one line per volume, each cell reading back as its number, floats as floats.
    const std::string text = confoundsTSV(table);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    const auto lines = support::tsvRows(text);
    ASSERT_EQ(lines.size(), 5u);
    for (const auto& line : lines) ASSERT_EQ(line.size(), table.columns.size());
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
        const ConfoundsColumn& column = table.columns[c];
        EXPECT_EQ(lines[0][c], column.name);
        for (std::size_t t = 0; t < 4; ++t) {
            const char* cell = lines[t + 1][c].c_str();
            EXPECT_TRUE(column.single ? std::strtof(cell, nullptr) == float(column.values[t]) : std::strtod(cell, nullptr) == column.values[t])
                << column.name << " " << t << ": " << cell;
        }
    }
}

TEST(BidsConfoundsTable, OutlierColumnsCensorNeighboursOnceEach)
{
    // censored: one column per volume, in order; causedBy: the spikes a column names, where it matters
    const struct { std::vector<int> steps; int before, after; std::vector<int> censored; std::map<int, std::vector<int>> causedBy; } cases[] = {
        {{10}, 0, 0, {10}, {{10, {10}}}},
        {{10}, 1, 2, {9, 10, 11, 12}, {{9, {10}}, {12, {10}}}},
        {{10, 11}, 1, 1, {9, 10, 11, 12}, {{10, {10, 11}}, {11, {10, 11}}}}, // overlapping neighbourhoods merge
        {{10, 14}, 2, 2, {8, 9, 10, 11, 12, 13, 14, 15, 16}, {{12, {10, 14}}}},
        {{1}, 3, 0, {0, 1}, {{0, {1}}}},  // clipped at the start
        {{19}, 0, 5, {19}, {{19, {19}}}}, // clipped at the end
        {{2, 17}, 20, 20, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, {}},
        {{}, 2, 2, {}, {}},
    };
    for (const auto& c : cases) {
        const std::string label = "case " + std::to_string(&c - cases);
        const SDM motion = support::motionSdm(steps(20, c.steps));
        ConfoundsOptions options;
        options.spikeThreshold = 1.0f;
        options.censorBefore = c.before;
        options.censorAfter = c.after;
        const ConfoundsTable table = buildConfoundsTable(motion, {}, options);
        EXPECT_EQ(spikeVolumes(spikeDetectionDisplacement(motion), 1.0f), c.steps) << label;
        std::vector<const ConfoundsColumn*> outliers;
        for (const auto& column : table.columns)
            if (column.name.rfind("motion_outlier", 0) == 0) outliers.push_back(&column);
        ASSERT_EQ(outliers.size(), c.censored.size()) << label;
        const Json sidecar = Json::parse(confoundsJSON(table));
        for (std::size_t k = 0; k < outliers.size(); ++k) {
            const std::string name = (k < 10 ? "motion_outlier0" : "motion_outlier") + std::to_string(k);
            EXPECT_EQ(outliers[k]->name, name) << label;
            std::vector<double> one(20, 0.0);
            one[std::size_t(c.censored[k])] = 1.0;
            EXPECT_EQ(outliers[k]->values, one) << label << ", " << name;
            const Json& entry = sidecar.at(name);
            EXPECT_EQ(entry.at("Volume"), c.censored[k]) << label;
            if (auto it = c.causedBy.find(c.censored[k]); it != c.causedBy.end())
                EXPECT_EQ(entry.at("Spikes").get<std::vector<int>>(), it->second) << label << ", " << name;
        }
    }
}

TEST(BidsConfoundsTable, RejectsWhatWouldMakeABrokenTable)
{
    const SDM motion = support::motionSdm(steps(12, {5}));
    SDM nanMotion(motion), infinite = taskSet(motion, "detr"), shorter = taskSet(support::motionSdm(steps(11, {5})), "deriv"),
        five = taskSet(motion, "sqr"), stale(motion), right(motion); // stale: a spike SDM that disagrees with the spikes found
    nanMotion.Predictors[4][7] = std::nanf("");
    infinite.Predictors[2][3] = INFINITY;
    five.Predictors.pop_back();
    stale.Clear(), right.Clear();
    std::vector<float> at3(12, 0.0f), at5(12, 0.0f);
    at3[3] = at5[5] = 1.0f;
    stale.AddPredictor(at3, "Spike Volume 3", 250, 250, 250);
    right.AddPredictor(at5, "Spike Volume 5", 250, 250, 250);
    EXPECT_THROW(buildConfoundsTable(nanMotion, {}, {}), std::runtime_error);
    EXPECT_THROW(buildConfoundsTable(motion, {{"detr", &infinite}}, {}), std::runtime_error);
    EXPECT_THROW(buildConfoundsTable(motion, {{"deriv", &shorter}}, {}), std::runtime_error);
    EXPECT_THROW(buildConfoundsTable(motion, {{"sqr", &five}}, {}), std::runtime_error);
    EXPECT_THROW(buildConfoundsTable(motion, {{"wiggle", &motion}}, {}), std::invalid_argument);
    EXPECT_THROW(buildConfoundsTable(motion, {}, {.censorAfter = -1}), std::invalid_argument);
    EXPECT_THROW(buildConfoundsTable(motion, {{"spikes", &stale}}, {}), std::runtime_error);
    EXPECT_NO_THROW(buildConfoundsTable(motion, {{"spikes", &right}}, {}));
    EXPECT_EQ(spikeVolumesOfSDM(right), std::vector<int>{5});
    right.Predictors[0][6] = 0.5f;
    EXPECT_THROW(spikeVolumesOfSDM(right), std::runtime_error);
}

TEST(BidsConfoundsTable, SidecarDescribesEveryColumn)
{
    // A file name with quotes, a tab, a control character, UTF-8 and one byte
    // that is not UTF-8 (a Latin-1 name): the sidecar must stay strict JSON.
    const SDM motion = support::motionSdm(steps(30, {8, 20}), "folder/sub \"A\"\t\x01 \xc3\xa9 \xff_3DMC.sdm");
    const std::string shown = "sub \"A\"\t\x01 \xc3\xa9 \xef\xbf\xbd_3DMC"; // the stray byte as U+FFFD
    const SDM deriv = taskSet(motion, "deriv");
    ConfoundsOptions options;
    options.fdRadius = 100.0 / 3.0; // needs all 17 digits to read back
    options.spikeThreshold = 0.3f;
    options.censorAfter = 1;
    const ConfoundsTable table = buildConfoundsTable(motion, {{"deriv", &deriv}}, options);
    // (Every column's description and units are in the golden tier's sidecar.)
    const Json json = Json::parse(confoundsJSON(table));
    EXPECT_EQ(json.size(), table.columns.size());
    EXPECT_EQ(json.at("framewise_displacement").at("SphereRadius").get<double>(), 100.0 / 3.0);
    EXPECT_EQ(json.at("rmsd").at("SphereRadius").get<double>(), 65.0);
    // The threshold as the user wrote it (0.3, not the float's 0.30000001192092896).
    EXPECT_EQ(json.at("rmsd").at("SpikeThreshold").get<double>(), 0.3);
    EXPECT_EQ(json.at("rmsd").at("Spikes").get<std::vector<int>>(), (std::vector<int>{8, 20}));
    EXPECT_EQ(json.at("trans_x_derivative1").at("Source"), shown + "_deriv.sdm");
    EXPECT_EQ(json.at("trans_x").at("Source"), shown + ".sdm");
}

// The program's tables are in the golden tier; here an MDM's runs each get their own.
TEST(ConfoundTsvCommand, OneTablePerRunOfAnMdm)
{
    const fs::path dir = support::tempDir("tsv_mdm");
    const std::pair<std::string, int> runs[] = {{"runA", 40}, {"runB", 50}};
    MDM mdm;
    for (const auto& [name, volumes] : runs) {
        const auto r = support::runCli({"synth", "--out", (dir / name).string(), "--name", name, "--volumes", std::to_string(volumes), "--dims", "8", "8", "4"});
        ASSERT_EQ(r.status, 0) << r.err;
        mdm.DataPaths.push_back((dir / name / "x.fmr").string()), mdm.SDMPaths.push_back((dir / name / (name + "_3DMC.sdm")).string());
    }
    mdm.NrOfStudies = 2;
    mdm.SaveAs((dir / "both.mdm").string());
    const auto r = support::runCli({"confound", "--sdm", (dir / "both.mdm").string(), "--sets", "deriv", "--tsv"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto& [name, volumes] : runs)
        EXPECT_EQ(support::tsvRows(support::readFile(dir / name / (name + "_desc-confounds_timeseries.tsv"))).size(), std::size_t(volumes + 1)) << name;
    EXPECT_TRUE(fs::exists(dir / "runB" / "runB_desc-confounds_timeseries.json"));
}
