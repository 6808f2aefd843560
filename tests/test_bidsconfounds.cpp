// BIDS confounds tables: the column names of every set, numbers that read
// back exactly, no n/a or NaN cells, radians for rotations, outlier columns
// with censoring, the sidecar's keys, and the program's --tsv on synthetic
// and real runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <numbers>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "bidsconfounds.h"
#include "motionmeasures.h"
#include "myMDM.h"
#include "mySDM.h"
#include "mySDMfunctions.h"
#include "stringmanipulation.h"
#include "testing.h"

namespace fs = std::filesystem;

namespace {

// The sidecar as a strict reader sees it (no NaN, no trailing text), keys in order.
using Json = nlohmann::ordered_json;

// ---- The TSV read back as text cells.

struct Tsv {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    int column(const std::string& name) const
    {
        for (std::size_t k = 0; k < header.size(); ++k)
            if (header[k] == name) return static_cast<int>(k);
        return -1;
    }
};

std::vector<std::string> splitTabs(const std::string& line)
{
    std::vector<std::string> cells;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = line.find('\t', start);
        cells.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return cells;
        start = tab + 1;
    }
}

// Reads the table; fails the test for a missing final line feed, a carriage
// return, a ragged row, or a cell that is empty or no finite number.
Tsv readTsv(const std::string& text)
{
    Tsv tsv;
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "the last line has no line feed";
    EXPECT_EQ(text.find('\r'), std::string::npos) << "line ends must be \\n alone";
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    tsv.header = splitTabs(line);
    int lineNumber = 1;
    while (std::getline(in, line)) {
        ++lineNumber;
        auto cells = splitTabs(line);
        EXPECT_EQ(cells.size(), tsv.header.size()) << "line " << lineNumber;
        for (std::size_t k = 0; k < cells.size(); ++k) {
            const std::string& cell = cells[k];
            char* end = nullptr;
            const double v = std::strtod(cell.c_str(), &end);
            EXPECT_TRUE(!cell.empty() && end == cell.c_str() + cell.size() && std::isfinite(v))
                << "line " << lineNumber << ", column " << tsv.header[k] << ": '" << cell << "' is not a finite number";
        }
        tsv.rows.push_back(std::move(cells));
    }
    return tsv;
}

// ---- Motion SDMs.

using Rows = std::vector<std::array<float, 6>>;

SDM motionSdm(const Rows& rows, const std::string& fileName = "run_3DMC.sdm")
{
    SDM sdm;
    sdm.NrOfDataPoints = static_cast<int>(rows.size());
    const char* names[6] = {"Translation X [mm]", "Translation Y [mm]", "Translation Z [mm]",
                            "Rotation X [deg]",   "Rotation Y [deg]",   "Rotation Z [deg]"};
    for (int p = 0; p < 6; ++p) {
        std::vector<float> values;
        for (const auto& row : rows) values.push_back(row[static_cast<std::size_t>(p)]);
        sdm.AddPredictor(values, names[p], 255, 0, 0);
    }
    sdm.FileName = fileName;
    return sdm;
}

// Still at first, then a step of `size` mm along x at each listed volume,
// which the head keeps: the detrended volume-to-volume RMS displacement is
// about `size` at the steps and a small slope elsewhere.
Rows steps(int volumes, const std::vector<int>& at, float size = 2.0f)
{
    Rows rows(static_cast<std::size_t>(volumes), std::array<float, 6>{});
    for (int t = 0; t < volumes; ++t) {
        float x = 0;
        for (int s : at)
            if (t >= s) x += size;
        rows[t][0] = x;
        rows[t][3] = 0.01f * static_cast<float>(t % 3); // a small wobble about x, in degrees
    }
    return rows;
}

// A set SDM as the confound task writes one (the table takes its values as they are).
SDM taskSet(const SDM& motion, const std::string& set)
{
    SDM d(motion);
    detrendAllPredictors(d);
    zTransformAllPredictors(d);
    d.FileName = addToFileName(motion.FileName, "_" + set);
    return d;
}

std::string join(const std::vector<std::string>& words)
{
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

std::vector<int> onesOf(const ConfoundsColumn& column)
{
    std::vector<int> at;
    for (std::size_t t = 0; t < column.values.size(); ++t) {
        EXPECT_TRUE(column.values[t] == 0.0 || column.values[t] == 1.0) << column.name << " volume " << t;
        if (column.values[t] == 1.0) at.push_back(static_cast<int>(t));
    }
    return at;
}

} // namespace

// ---------------------------------------------------------------- names

TEST(BidsConfoundNames, StemsAndSetSuffixes)
{
    const struct {
        std::string motion, tsv;
    } stems[] = {
        {"run1_3DMC.sdm", "run1_desc-confounds_timeseries.tsv"},
        {"/data/sub-01/func/sub-01_task-rest_run-1_bold_3DMC.sdm", "/data/sub-01/func/sub-01_task-rest_run-1_desc-confounds_timeseries.tsv"},
        {"out/sub-02_task-nback_3dmc.SDM", "out/sub-02_task-nback_desc-confounds_timeseries.tsv"},
        {"dir.v2/motion.sdm", "dir.v2/motion_desc-confounds_timeseries.tsv"},
        {"dir.v2/motion", "dir.v2/motion_desc-confounds_timeseries.tsv"},
        {"C:\\study\\r2_3DMC.sdm", "C:\\study\\r2_desc-confounds_timeseries.tsv"},
        {"_3DMC.sdm", "run_desc-confounds_timeseries.tsv"},
    };
    for (const auto& c : stems) {
        EXPECT_EQ(confoundsTablePath(c.motion), c.tsv) << c.motion;
        std::string json = c.tsv;
        json.replace(json.size() - 3, 3, "json");
        EXPECT_EQ(confoundsSidecarPath(c.motion), json) << c.motion;
    }
    const std::map<std::string, std::string> suffixes = {
        {"detr", "_detrended"}, {"deriv", "_derivative1"}, {"sqr", "_power2"},           {"t1", "_lag1"},
        {"t2", "_lag2"},        {"t1sqr", "_lag1_power2"}, {"t2sqr", "_lag2_power2"},
    };
    for (const auto& [set, suffix] : suffixes) EXPECT_EQ(confoundSetSuffix(set), suffix) << set;
    for (const std::string bad : {"spikes", "", "DETR", "all"}) EXPECT_THROW(confoundSetSuffix(bad), std::invalid_argument) << bad;
}

TEST(BidsConfoundNames, NumbersReadBackExactly)
{
    const struct {
        double value;
        std::string text;
    } doubles[] = {{0.0, "0"}, {-0.0, "0"}, {0.1, "0.1"}, {-2.5, "-2.5"}, {1e-05, "1e-05"}, {123456789.0, "123456789"}};
    for (const auto& c : doubles) EXPECT_EQ(roundTripNumber(c.value), c.text) << c.value;
    EXPECT_EQ(roundTripNumber(0.1f), "0.1");
    EXPECT_EQ(roundTripNumber(-0.000185f), "-0.000185");
    // Awkward values read back bit for bit.
    for (double v : {std::numbers::pi, 1.0 / 3.0, 6.02214076e23, 4.9e-324, -0.036638575179113064})
        EXPECT_EQ(std::strtod(roundTripNumber(v).c_str(), nullptr), v) << v;
    for (float v : {1.0f / 3.0f, 0.035155f, 3.4e38f, 1e-40f})
        EXPECT_EQ(std::strtof(roundTripNumber(v).c_str(), nullptr), v) << v;
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) EXPECT_THROW(roundTripNumber(bad), std::invalid_argument);

}

// ---------------------------------------------------------------- the table

TEST(BidsConfoundsTable, RadiansFirstRowZerosAndTheMeasures)
{
    // 90° turns and a 3 mm shift: rotations become π/2 rad.
    Rows rows = {{0, 0, 0, 0, 0, 0}, {3, 0, 0, 90, 0, 0}, {3, 0, 0, 90, -45, 180}, {3, 1, 0, 90, -45, 180}};
    const SDM motion = motionSdm(rows);
    ConfoundsOptions options;
    options.fdRadius = 80.0;
    options.outliers = false;
    const ConfoundsTable table = buildConfoundsTable(motion, {}, options);
    const double pi = std::numbers::pi;
    // The degree values are exact floats, so the radians are exact to a few ulps.
    const double expectedRad[3][4] = {{0, pi / 2, pi / 2, pi / 2}, {0, 0, -pi / 4, -pi / 4}, {0, 0, pi, pi}};
    for (int k = 0; k < 3; ++k)
        for (int t = 0; t < 4; ++t)
            EXPECT_NEAR(table.columns[3 + k].values[t], expectedRad[k][t], 1e-15) << table.columns[3 + k].name << " " << t;
    EXPECT_EQ(table.columns[3].units, "rad");
    EXPECT_EQ(table.columns[0].units, "mm");
    EXPECT_EQ(table.columns[0].values[1], 3.0);

    // FD with an 80 mm sphere: volume 1 moves 3 mm and turns π/2 (arc 40π mm).
    const ConfoundsColumn* fd = table.find("framewise_displacement");
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->values[0], 0.0);
    EXPECT_NEAR(fd->values[1], 3.0 + 80.0 * pi / 2, 1e-9);
    EXPECT_NEAR(fd->values[3], 1.0, 1e-9);
    EXPECT_EQ(fd->values, framewiseDisplacement(motionParametersFromSDM(motion), 80.0));

    // rmsd is exactly what the spikes are judged by.
    const ConfoundsColumn* rmsd = table.find("rmsd");
    ASSERT_NE(rmsd, nullptr);
    EXPECT_EQ(rmsd->values[0], 0.0);
    const std::vector<float> d = spikeDetectionDisplacement(motion);
    for (int t = 0; t < 4; ++t) EXPECT_EQ(rmsd->values[t], static_cast<double>(d[t])) << t;

    // And the TSV: header, zeros in the first row of the differences, exact read-back.
    const Tsv tsv = readTsv(confoundsTSV(table));
    ASSERT_EQ(tsv.rows.size(), 4u);
    EXPECT_EQ(tsv.rows[0][static_cast<std::size_t>(tsv.column("framewise_displacement"))], "0");
    EXPECT_EQ(tsv.rows[0][static_cast<std::size_t>(tsv.column("rmsd"))], "0");
    for (std::size_t c = 0; c < table.columns.size(); ++c)
        for (int t = 0; t < 4; ++t) {
            const std::string& cell = tsv.rows[t][c];
            if (table.columns[c].single)
                EXPECT_EQ(std::strtof(cell.c_str(), nullptr), static_cast<float>(table.columns[c].values[t])) << cell;
            else
                EXPECT_EQ(std::strtod(cell.c_str(), nullptr), table.columns[c].values[t]) << cell;
        }
}

TEST(BidsConfoundsTable, OutlierColumnsCensorNeighboursOnceEach)
{
    const struct {
        std::vector<int> steps;
        int before, after;
        std::vector<int> censored;                 // one column per volume, in order
        std::map<int, std::vector<int>> causedBy;  // the spikes a column names, where it matters
    } cases[] = {
        {{10}, 0, 0, {10}, {{10, {10}}}},
        {{10}, 1, 2, {9, 10, 11, 12}, {{9, {10}}, {12, {10}}}},
        {{10, 11}, 1, 1, {9, 10, 11, 12}, {{10, {10, 11}}, {11, {10, 11}}}}, // overlapping neighbourhoods merge
        {{10, 14}, 2, 2, {8, 9, 10, 11, 12, 13, 14, 15, 16}, {{12, {10, 14}}}},
        {{1}, 3, 0, {0, 1}, {{0, {1}}}},   // clipped at the start
        {{19}, 0, 5, {19}, {{19, {19}}}},  // clipped at the end
        {{2, 17}, 20, 20, {}, {}},         // every volume: filled below
        {{}, 2, 2, {}, {}},
    };
    for (const auto& c : cases) {
        const SDM motion = motionSdm(steps(20, c.steps));
        ConfoundsOptions options;
        options.spikeThreshold = 1.0f;
        options.censorBefore = c.before;
        options.censorAfter = c.after;
        const ConfoundsTable table = buildConfoundsTable(motion, {}, options);
        std::vector<int> expected = c.censored;
        if (c.before == 20)
            for (int t = 0; t < 20; ++t) expected.push_back(t);
        const std::string label = "case " + std::to_string(&c - cases);

        EXPECT_EQ(spikeVolumes(spikeDetectionDisplacement(motion), 1.0f), c.steps) << label;
        std::vector<const ConfoundsColumn*> outliers;
        for (const auto& column : table.columns)
            if (column.name.rfind("motion_outlier", 0) == 0) outliers.push_back(&column);
        ASSERT_EQ(outliers.size(), expected.size()) << label;
        const Json sidecar = Json::parse(confoundsJSON(table));
        std::set<std::vector<int>> distinct;
        for (std::size_t k = 0; k < outliers.size(); ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "motion_outlier%02zu", k);
            EXPECT_EQ(outliers[k]->name, name) << label;
            const std::vector<int> ones = onesOf(*outliers[k]);
            EXPECT_EQ(ones, std::vector<int>{expected[k]}) << label << ", " << name;
            distinct.insert(ones);
            const Json& entry = sidecar.at(outliers[k]->name);
            EXPECT_EQ(entry.at("Volume"), expected[k]) << label;
            EXPECT_EQ(entry.at("CensorBefore"), c.before) << label;
            EXPECT_EQ(entry.at("CensorAfter"), c.after) << label;
            if (auto it = c.causedBy.find(expected[k]); it != c.causedBy.end())
                EXPECT_EQ(entry.at("Spikes").get<std::vector<int>>(), it->second) << label << ", " << name;
        }
        // No two columns flag the same volumes: the columns are independent.
        EXPECT_EQ(distinct.size(), outliers.size()) << label;
    }
}

TEST(BidsConfoundsTable, RejectsWhatWouldMakeABrokenTable)
{
    const SDM motion = motionSdm(steps(12, {5}));
    SDM nanMotion(motion);
    nanMotion.Predictors[4][7] = std::nanf("");
    EXPECT_THROW(buildConfoundsTable(nanMotion, {}, {}), std::runtime_error);

    SDM nanSet = taskSet(motion, "detr");
    nanSet.Predictors[2][3] = INFINITY;
    EXPECT_THROW(buildConfoundsTable(motion, {{"detr", &nanSet}}, {}), std::runtime_error);

    SDM shorter = taskSet(motionSdm(steps(11, {5})), "deriv");
    EXPECT_THROW(buildConfoundsTable(motion, {{"deriv", &shorter}}, {}), std::runtime_error);

    SDM five = taskSet(motion, "sqr");
    five.Predictors.pop_back();
    EXPECT_THROW(buildConfoundsTable(motion, {{"sqr", &five}}, {}), std::runtime_error);

    const SDM detr = taskSet(motion, "detr");
    EXPECT_THROW(buildConfoundsTable(motion, {{"wiggle", &detr}}, {}), std::invalid_argument);
    ConfoundsOptions negative;
    negative.censorAfter = -1;
    EXPECT_THROW(buildConfoundsTable(motion, {}, negative), std::invalid_argument);

    // A spike SDM that disagrees with the spikes found (a stale file, say).
    SDM spikes(motion);
    spikes.Clear();
    std::vector<float> at3(12, 0.0f);
    at3[3] = 1.0f;
    spikes.AddPredictor(at3, "Spike Volume 3", 250, 250, 250);
    EXPECT_THROW(buildConfoundsTable(motion, {{"spikes", &spikes}}, {}), std::runtime_error);
    std::vector<float> at5(12, 0.0f);
    at5[5] = 1.0f;
    SDM right(motion);
    right.Clear();
    right.AddPredictor(at5, "Spike Volume 5", 250, 250, 250);
    EXPECT_NO_THROW(buildConfoundsTable(motion, {{"spikes", &right}}, {}));
    EXPECT_EQ(spikeVolumesOfSDM(right), std::vector<int>{5});
    right.Predictors[0][6] = 0.5f;
    EXPECT_THROW(spikeVolumesOfSDM(right), std::runtime_error);
}

TEST(BidsConfoundsTable, SidecarDescribesEveryColumn)
{
    // A file name with quotes, a tab, a control character, UTF-8 and one byte
    // that is not UTF-8 (a Latin-1 name): the sidecar must stay strict JSON.
    SDM motion = motionSdm(steps(30, {8, 20}), "folder/sub \"A\"\t\x01 \xc3\xa9 \xff_3DMC.sdm");
    const std::string shown = "sub \"A\"\t\x01 \xc3\xa9 \xef\xbf\xbd_3DMC"; // the stray byte as U+FFFD
    const SDM deriv = taskSet(motion, "deriv");
    ConfoundsOptions options;
    options.fdRadius = 100.0 / 3.0; // needs all 17 digits to read back
    options.spikeThreshold = 0.3f;
    options.censorAfter = 1;
    const ConfoundsTable table = buildConfoundsTable(motion, {{"deriv", &deriv}}, options);
    const Json json = Json::parse(confoundsJSON(table));

    ASSERT_EQ(json.size(), table.columns.size());
    std::size_t k = 0;
    for (const auto& [key, entry] : json.items()) {
        EXPECT_EQ(key, table.columns[k++].name);
        EXPECT_FALSE(entry.at("Description").get<std::string>().empty()) << key;
        EXPECT_TRUE(entry.at("Units").is_string()) << key;
    }
    const std::map<std::string, std::string> units = {
        {"trans_x", "mm"}, {"trans_z", "mm"}, {"rot_x", "rad"}, {"rot_z", "rad"}, {"trans_y_derivative1", "z-score"},
        {"rot_z_derivative1", "z-score"}, {"framewise_displacement", "mm"}, {"rmsd", "mm"}, {"motion_outlier00", "1"},
    };
    for (const auto& [column, unit] : units) EXPECT_EQ(json.at(column).at("Units"), unit) << column;
    EXPECT_EQ(json.at("framewise_displacement").at("SphereRadius").get<double>(), 100.0 / 3.0);
    EXPECT_EQ(json.at("rmsd").at("SphereRadius").get<double>(), 65.0);
    // The threshold as the user wrote it (0.3, not the float's 0.30000001192092896), which is the same float.
    EXPECT_EQ(json.at("rmsd").at("SpikeThreshold").get<double>(), 0.3);
    EXPECT_EQ(json.at("motion_outlier00").at("SpikeThreshold").get<double>(), 0.3);
    EXPECT_EQ(json.at("rmsd").at("Spikes").get<std::vector<int>>(), (std::vector<int>{8, 20}));
    EXPECT_EQ(json.at("rot_x_derivative1").at("Scaling"), "z-score");
    EXPECT_EQ(json.at("trans_x_derivative1").at("Source"), shown + "_deriv.sdm");
    EXPECT_EQ(json.at("trans_x").at("Source"), shown + ".sdm");
    EXPECT_EQ(json.at("motion_outlier01").at("Levels").at("1"), "volume censored");
}

// ---------------------------------------------------------------- the program

namespace {

// A small synthetic run (16 x 16 x 8 voxels, 60 volumes, three jumps).
fs::path synthRun(const fs::path& dir, const std::string& name, int volumes = 60)
{
    const auto r = support::runCli({"synth", "--out", dir.string(), "--name", name, "--volumes", std::to_string(volumes),
                                    "--dims", "16", "16", "8"});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir / (name + "_3DMC.sdm");
}

std::vector<double> columnValues(const Tsv& tsv, const std::string& name)
{
    const int c = tsv.column(name);
    EXPECT_GE(c, 0) << "no column " << name;
    std::vector<double> values;
    if (c < 0) return values;
    for (const auto& row : tsv.rows) values.push_back(std::strtod(row[static_cast<std::size_t>(c)].c_str(), nullptr));
    return values;
}

std::vector<std::string> outlierNames(const Tsv& tsv)
{
    std::vector<std::string> out;
    for (const auto& h : tsv.header)
        if (h.rfind("motion_outlier", 0) == 0) out.push_back(h);
    return out;
}

} // namespace

TEST(ConfoundTsvCommand, AllSetsOfASyntheticRunAgreeWithTheSdmsWritten)
{
    const fs::path dir = support::tempDir("tsv_all");
    const fs::path motion = synthRun(dir, "sub-01_task-rest_bold");
    const auto r = support::runCli({"confound", "--sdm", motion.string(), "--tsv", "--censor-before", "1",
                                    "--censor-after", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path tsvPath = dir / "sub-01_task-rest_desc-confounds_timeseries.tsv";
    const fs::path jsonPath = dir / "sub-01_task-rest_desc-confounds_timeseries.json";
    EXPECT_NE(r.out.find("wrote " + tsvPath.string()), std::string::npos) << r.out;
    const std::string text = support::readFile(tsvPath);
    for (const char* bad : {"n/a", "nan", "NaN", "inf", "\t\t", "\t\n"}) EXPECT_EQ(text.find(bad), std::string::npos) << bad;
    const Tsv tsv = readTsv(text);
    ASSERT_EQ(tsv.rows.size(), 60u);

    // The header: parameters, each set's six columns in the task's set order,
    // the two measures, then the outliers; each set column holds its SDM's values.
    const char* const params[6] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};
    std::vector<std::string> expected(params, params + 6);
    for (const std::string set : {"detr", "deriv", "sqr", "t1", "t2", "t1sqr", "t2sqr"}) {
        const SDM file(addToFileName(motion.string(), "_" + set));
        for (int p = 0; p < 6; ++p) {
            expected.push_back(params[p] + confoundSetSuffix(set));
            const std::vector<double> values = columnValues(tsv, expected.back());
            ASSERT_EQ(values.size(), 60u);
            for (int t = 0; t < 60; ++t)
                ASSERT_EQ(static_cast<float>(values[t]), file.Predictors[p][t]) << expected.back() << " volume " << t;
        }
    }
    expected.push_back("framewise_displacement");
    expected.push_back("rmsd");
    EXPECT_EQ(join(std::vector<std::string>(tsv.header.begin(), tsv.header.begin() + std::min<std::ptrdiff_t>(50, std::ptrdiff_t(tsv.header.size())))),
              join(expected));

    // The outliers: the spikes of the task's spike SDM, one before and two after each.
    const std::vector<int> spikes = spikeVolumesOfSDM(SDM(addToFileName(motion.string(), "_spikes")));
    ASSERT_FALSE(spikes.empty());
    const std::vector<int> censored = censoredVolumes(spikes, 60, 1, 2);
    const std::vector<std::string> outliers = outlierNames(tsv);
    ASSERT_EQ(outliers.size(), censored.size());
    for (std::size_t k = 0; k < outliers.size(); ++k) {
        const std::vector<double> v = columnValues(tsv, outliers[k]);
        for (int t = 0; t < 60; ++t) ASSERT_EQ(v[t], t == censored[k] ? 1.0 : 0.0) << outliers[k] << " volume " << t;
    }
    EXPECT_EQ(tsv.header.size(), 6u + 42u + 2u + censored.size());

    // The sidecar describes the same columns in the same order.
    const Json json = Json::parse(support::readFile(jsonPath));
    std::vector<std::string> keys;
    for (const auto& [key, entry] : json.items()) keys.push_back(key);
    EXPECT_EQ(keys, tsv.header);
}

TEST(ConfoundTsvCommand, OnlyTheSetsAskedForAndNoStaleSpikes)
{
    const fs::path dir = support::tempDir("tsv_some");
    const fs::path motion = synthRun(dir, "run1");
    const fs::path tsvPath = dir / "run1_desc-confounds_timeseries.tsv";

    // A low threshold: many spikes.
    auto r = support::runCli({"confound", "--sdm", motion.string(), "--sets", "detr,spikes", "--spike-threshold", "0.05",
                              "--tsv"});
    ASSERT_EQ(r.status, 0) << r.err;
    Tsv tsv = readTsv(support::readFile(tsvPath));
    const std::size_t many = outlierNames(tsv).size();
    EXPECT_GT(many, 3u);
    EXPECT_EQ(tsv.header.size(), 6u + 6u + 2u + many);
    EXPECT_EQ(tsv.column("trans_x_derivative1"), -1);

    // No spike at all now: the spike SDM of the call before stays on disk but
    // must not be read.
    r = support::runCli({"confound", "--sdm", motion.string(), "--sets", "detr,spikes", "--spike-threshold", "100", "--tsv"});
    ASSERT_EQ(r.status, 0) << r.err;
    tsv = readTsv(support::readFile(tsvPath));
    EXPECT_TRUE(outlierNames(tsv).empty());
    EXPECT_EQ(tsv.header.size(), 14u);

    // Without the spike set no outlier column, whatever the threshold.
    r = support::runCli({"confound", "--sdm", motion.string(), "--sets", "t2sqr", "--spike-threshold", "0.05", "--tsv"});
    ASSERT_EQ(r.status, 0) << r.err;
    tsv = readTsv(support::readFile(tsvPath));
    EXPECT_EQ(join(tsv.header), "trans_x trans_y trans_z rot_x rot_y rot_z trans_x_lag2_power2 trans_y_lag2_power2 "
                                "trans_z_lag2_power2 rot_x_lag2_power2 rot_y_lag2_power2 rot_z_lag2_power2 "
                                "framewise_displacement rmsd");

    // Without --tsv nothing is (re)written.
    fs::remove(tsvPath);
    r = support::runCli({"confound", "--sdm", motion.string(), "--sets", "detr"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(tsvPath));
}

TEST(ConfoundTsvCommand, OneTablePerRunOfAnMdm)
{
    const fs::path dir = support::tempDir("tsv_mdm");
    const fs::path a = synthRun(dir / "a", "runA", 40), b = synthRun(dir / "b", "runB", 50);
    MDM mdm;
    for (const fs::path& p : {a, b}) {
        mdm.DataPaths.push_back((p.parent_path() / "x.fmr").string());
        mdm.SDMPaths.push_back(p.string());
    }
    mdm.NrOfStudies = 2;
    mdm.SaveAs((dir / "both.mdm").string());
    const auto r = support::runCli({"confound", "--sdm", (dir / "both.mdm").string(), "--sets", "deriv", "--tsv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readTsv(support::readFile(dir / "a" / "runA_desc-confounds_timeseries.tsv")).rows.size(), 40u);
    EXPECT_EQ(readTsv(support::readFile(dir / "b" / "runB_desc-confounds_timeseries.tsv")).rows.size(), 50u);
    EXPECT_TRUE(fs::exists(dir / "b" / "runB_desc-confounds_timeseries.json"));
}

TEST(ConfoundTsvCommand, RealRunKeepsItsRadiansAndThePeerToolsFramewiseDisplacement)
{
    // The real trace (rot x, y, z in rad, then trans x, y, z in mm) as a 3DMC SDM in degrees.
    std::ifstream in(support::sharedData("mcflirt_movpar.txt"));
    std::vector<std::array<double, 6>> original;
    Rows rows;
    for (std::array<double, 6> v; in >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5];) {
        original.push_back(v);
        const double deg = 180.0 / std::numbers::pi;
        rows.push_back({float(v[3]), float(v[4]), float(v[5]), float(v[0] * deg), float(v[1] * deg), float(v[2] * deg)});
    }
    ASSERT_EQ(rows.size(), 365u);
    const fs::path dir = support::tempDir("tsv_real");
    SDM sdm = motionSdm(rows);
    sdm.SaveAs((dir / "mcflirt_3DMC.sdm").string());
    const auto r = support::runCli({"confound", "--sdm", (dir / "mcflirt_3DMC.sdm").string(), "--sets", "detr,spikes",
                                    "--spike-threshold", "0.3", "--tsv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Tsv tsv = readTsv(support::readFile(dir / "mcflirt_desc-confounds_timeseries.tsv"));
    ASSERT_EQ(tsv.rows.size(), 365u);

    // The SDM keeps six decimals: 5e-7 degrees is 8.7e-9 rad, 5e-7 mm.
    const char* rotations[3] = {"rot_x", "rot_y", "rot_z"};
    const char* translations[3] = {"trans_x", "trans_y", "trans_z"};
    for (int k = 0; k < 3; ++k) {
        const auto rot = columnValues(tsv, rotations[k]), trans = columnValues(tsv, translations[k]);
        for (std::size_t t = 0; t < 365; ++t) {
            ASSERT_NEAR(rot[t], original[t][static_cast<std::size_t>(k)], 1e-8) << rotations[k] << " " << t;
            ASSERT_NEAR(trans[t], original[t][3 + static_cast<std::size_t>(k)], 6e-7) << translations[k] << " " << t;
        }
    }
    // The peer's FD prints six significant digits (values below 1 mm: 1e-6
    // or better); the SDM's rounding adds at most 12 terms of 5e-7 · 0.88 mm.
    std::ifstream peer(support::sharedData("fsl_motion_outliers_fd.txt"));
    std::vector<double> expected;
    for (double v; peer >> v;) expected.push_back(v);
    ASSERT_EQ(expected.size(), 364u);
    const auto fd = columnValues(tsv, "framewise_displacement");
    EXPECT_EQ(fd[0], 0.0);
    for (std::size_t t = 1; t < 365; ++t) ASSERT_NEAR(fd[t], expected[t - 1], 1e-5) << "volume " << t;
}
