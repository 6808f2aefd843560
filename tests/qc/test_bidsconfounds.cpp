// BIDS confounds tables as a drop-in for fMRIPrep's: its columns carried
// through byte for byte, its names computed by its definitions (written here
// from fMRIPrep's documentation, not from our code), our columns under names
// of our own, outliers and censoring, the sidecar; an MDM's tables.

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <regex>

#include <nlohmann/json.hpp>

#include "bidsconfounds.h"
#include "dvars.h"
#include "fixtures.h"
#include "motionfiles.h"
#include "myMDM.h"
#include "mySDMfunctions.h"
#include "stringmanipulation.h"
#include "testing.h"

using namespace qc; // the quality-control library (code/qc)

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json; // a strict reader: no NaN, no trailing text; keys in order
using support::MotionRows;

namespace {

const char* const kMotion[6] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};

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

// Every column of the table by name, as text cells (header excluded).
std::map<std::string, std::vector<std::string>> cellsByName(const std::string& tsv)
{
    const auto rows = support::tsvRows(tsv);
    std::map<std::string, std::vector<std::string>> columns;
    for (std::size_t c = 0; c < rows[0].size(); ++c)
        for (std::size_t r = 1; r < rows.size(); ++r) columns[rows[0][c]].push_back(rows[r][c]);
    return columns;
}

double cellValue(const std::string& cell) { return cell == "n/a" ? std::nan("") : std::strtod(cell.c_str(), nullptr); }

// fMRIPrep's definitions, as its documentation gives them: the backward
// difference x[t] - x[t-1] with n/a in the first row, squares, and Power's
// framewise displacement on trans_* (mm) and rot_* (rad) with a 50 mm sphere.
std::vector<double> backwardDifference(const std::vector<double>& x)
{
    std::vector<double> d(x.size(), std::nan(""));
    for (std::size_t t = 1; t < x.size(); ++t) d[t] = x[t] - x[t - 1];
    return d;
}

std::vector<double> squares(std::vector<double> x)
{
    for (double& v : x) v = v * v;
    return x;
}

std::vector<double> powerFD(const std::vector<std::vector<double>>& motion)
{
    std::vector<double> fd(motion[0].size(), std::nan(""));
    for (std::size_t t = 1; t < fd.size(); ++t) {
        fd[t] = 0.0;
        for (std::size_t k = 0; k < 6; ++k) fd[t] += std::fabs(motion[k][t] - motion[k][t - 1]) * (k < 3 ? 1.0 : 50.0);
    }
    return fd;
}

// Equal as fMRIPrep's values: both n/a, or the same double.
void expectSameSeries(const std::vector<double>& got, const std::vector<double>& want, const std::string& what, double tolerance = 0.0)
{
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t t = 0; t < got.size(); ++t) {
        if (std::isnan(want[t])) EXPECT_TRUE(std::isnan(got[t])) << what << " row " << t;
        else EXPECT_NEAR(got[t], want[t], tolerance) << what << " row " << t;
    }
}

// fMRIPrep's column families; no column of ours may bear one of these names.
const std::regex kFMRIPrepFamilies(
    "(global_signal|csf|white_matter|csf_wm|tcompcor|std_dvars|non_std_dvars|vx_wisestd_dvars|dvars|framewise_displacement|"
    "rmsd|trans_[xyz]|rot_[xyz])(_derivative1)?(_power2)?|(t|c|w|a|e)_comp_cor_[0-9]+|cosine[0-9]+|"
    "non_steady_state_outlier[0-9]+|motion_outlier[0-9]+|aroma_motion_[0-9]+");

// A table in the layout of an fMRIPrep release over the real trace: `release`
// 21 holds every family (the motion with its expansions, rmsd, the CompCor
// components, cosines, a non-steady-state volume and motion outliers); 1.4
// holds the motion without expansions and no motion outliers. Cells are
// written as fMRIPrep's writer does (repr of doubles, "n/a"), with a few
// spellings a reader must keep (0.0, 1e-05).
struct Release {
    std::string tsv, sidecar;
    std::vector<std::vector<double>> motion; // trans_x … rot_z
};

Release releaseTable(const std::string& release)
{
    const auto& trace = support::realTrace(); // mcflirt: rx ry rz tx ty tz
    const std::size_t n = trace.size();
    Release r;
    r.motion.assign(6, std::vector<double>(n));
    for (std::size_t t = 0; t < n; ++t)
        for (std::size_t k = 0; k < 6; ++k) r.motion[k][t] = trace[t][(k + 3) % 6];
    std::vector<std::pair<std::string, std::vector<std::string>>> columns;
    const auto text = [](double v) {
        if (std::isnan(v)) return std::string("n/a");
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", v);
        return std::string(buffer);
    };
    const auto add = [&](const std::string& name, const std::vector<double>& values) {
        std::vector<std::string> cells;
        for (double v : values) cells.push_back(text(v));
        columns.emplace_back(name, cells);
    };
    std::vector<double> gs(n), cos0(n), acc(n), dummy(n, 0.0);
    for (std::size_t t = 0; t < n; ++t) {
        gs[t] = 812.5 + std::sin(0.05 * double(t));
        cos0[t] = std::sqrt(2.0 / double(n)) * std::cos(std::numbers::pi * (2.0 * double(t) + 1.0) / (2.0 * double(n)));
        acc[t] = std::cos(0.11 * double(t)) / 10.0;
    }
    dummy[0] = dummy[1] = 1.0;
    add("global_signal", gs);
    add("global_signal_derivative1", backwardDifference(gs));
    add("std_dvars", backwardDifference(gs)); // stand-ins of the right shape: n/a first
    add("dvars", backwardDifference(gs));
    add("framewise_displacement", powerFD(r.motion));
    if (release == "21") add("rmsd", backwardDifference(acc));
    add("a_comp_cor_00", acc);
    add("cosine00", cos0);
    columns.emplace_back("non_steady_state_outlier00", std::vector<std::string>(n, "0.0"));
    columns.back().second[0] = "1.0";
    columns.emplace_back("non_steady_state_outlier01", std::vector<std::string>(n, "0.0"));
    columns.back().second[1] = "1.0";
    for (std::size_t k = 0; k < 6; ++k) {
        add(kMotion[k], r.motion[k]);
        if (release != "21") continue;
        add(std::string(kMotion[k]) + "_derivative1", backwardDifference(r.motion[k]));
        add(std::string(kMotion[k]) + "_power2", squares(r.motion[k]));
        add(std::string(kMotion[k]) + "_derivative1_power2", squares(backwardDifference(r.motion[k])));
    }
    if (release == "21") {
        columns.emplace_back("motion_outlier00", std::vector<std::string>(n, "0.0"));
        columns.back().second[100] = "1.0";
    }
    columns[0].second[3] = "1e-05"; // spellings another writer might choose
    columns[0].second[4] = "0.0";
    for (std::size_t c = 0; c < columns.size(); ++c) r.tsv += (c ? "\t" : "") + columns[c].first;
    r.tsv += "\n";
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t c = 0; c < columns.size(); ++c) r.tsv += (c ? "\t" : "") + columns[c].second[t];
        r.tsv += "\n";
    }
    r.sidecar = R"({"a_comp_cor_00": {"CumulativeVarianceExplained": 0.41, "Mask": "combined", "Method": "aCompCor",
  "Retained": true, "SingularValue": 31.2, "VarianceExplained": 0.41},
 "a_comp_cor_01": {"Mask": "combined", "Method": "aCompCor", "Retained": false, "VarianceExplained": 0.02},
 "cosine00": {"Method": "Cosine basis", "Description": "DCT-II"}})";
    return r;
}

} // namespace

TEST(BidsConfoundNames, StemsNumbersAndOurNames)
{
    const std::pair<std::string, std::string> stems[] = {{"/data/sub-01/func/sub-01_task-rest_run-1_bold_3DMC.sdm", "/data/sub-01/func/sub-01_task-rest_run-1"},
        {"_3DMC.sdm", "run"}, {"out/sub-02_task-nback_3dmc.SDM", "out/sub-02_task-nback"}, {"dir.v2/motion", "dir.v2/motion"}, {"C:\\study\\r2_3DMC.sdm", "C:\\study\\r2"}};
    for (const auto& [motion, stem] : stems) {
        EXPECT_EQ(confoundsTablePath(motion), stem + "_desc-confounds_timeseries.tsv") << motion;
        EXPECT_EQ(confoundsSidecarPath(motion), stem + "_desc-confounds_timeseries.json") << motion;
    }
    for (const std::string bad : {"spikes", "", "DETR"}) EXPECT_THROW(confoundSetColumn(0, bad), std::invalid_argument) << bad;
    EXPECT_EQ(confoundSetColumn(4, "t1sqr"), "tremora_rot_y_t1sqr");

    // Numbers as the shortest text that reads back bit for bit, floats as floats.
    const std::pair<double, std::string> texts[] = {{0.0, "0"}, {-0.0, "0"}, {0.1, "0.1"}, {-2.5, "-2.5"}, {1e-05, "1e-05"}, {123456789.0, "123456789"}};
    for (const auto& [value, text] : texts) EXPECT_EQ(roundTripNumber(value), text) << value;
    EXPECT_EQ(roundTripNumber(0.1f) + " " + roundTripNumber(-0.000185f), "0.1 -0.000185");
    for (double v : {std::numbers::pi, 1.0 / 3.0, 6.02214076e23, 4.9e-324, -0.036638575179113064})
        EXPECT_EQ(std::strtod(roundTripNumber(v).c_str(), nullptr), v) << v;
    for (float v : {1.0f / 3.0f, 0.035155f, 3.4e38f, 1e-40f}) EXPECT_EQ(std::strtof(roundTripNumber(v).c_str(), nullptr), v) << v;
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) EXPECT_THROW(roundTripNumber(bad), std::invalid_argument);
}

// Each package's own numbers in fMRIPrep's layout, as fMRIPrep's motion
// normalisation lists them, and fMRIPrep's expansions computed from them.
TEST(BidsConfoundsTable, EachFormatsNumbersInFMRIPrepsLayoutWithItsExpansions)
{
    const double deg = std::numbers::pi / 180.0;
    const PackageRow row = {0.01, -0.02, 0.03, 1.5, -2.5, 3.5};
    // format, the row's six numbers as trans_x trans_y trans_z rot_x rot_y rot_z (mm, rad)
    const std::pair<MotionFormat, std::array<double, 6>> layouts[] = {
        {MotionFormat::FSL, {1.5, -2.5, 3.5, 0.01, -0.02, 0.03}},           // rx ry rz tx ty tz
        {MotionFormat::SPM, {0.01, -0.02, 0.03, 1.5, -2.5, 3.5}},           // x y z pitch roll yaw
        {MotionFormat::FMRIPrep, {0.01, -0.02, 0.03, 1.5, -2.5, 3.5}},      // as read
        {MotionFormat::AFNI, {-2.5, 3.5, 1.5, -0.02 * deg, 0.03 * deg, 0.01 * deg}}}; // roll pitch yaw dS dL dP
    for (const auto& [format, expected] : layouts) {
        const PackageRows got = fmriprepLayout({row}, format);
        for (std::size_t k = 0; k < 6; ++k) EXPECT_DOUBLE_EQ(got[0][k], expected[k]) << motionFormatName(format) << " " << kMotion[k];
    }

    // The real trace as FSL's numbers: rotation and translation together.
    const PackageRows layout = fmriprepLayout(support::realTrace(), MotionFormat::FSL);
    const std::size_t n = layout.size();
    const SDM motion = support::motionSdm(support::realTraceRows());
    const LayoutMotion own{{layout.begin(), layout.end()}, "prefiltered_func_data_mcf.par", "mcflirt's"};
    ConfoundsOptions options;
    options.motion = &own;
    options.outliers = false;
    options.fdThreshold = 0.2; // as fMRIPrep's --fd-spike-threshold 0.2: this quiet run has no FD above 0.5
    const ConfoundsTable table = buildConfoundsTable(motion, {}, options);
    std::vector<std::vector<double>> columns(6, std::vector<double>(n));
    for (std::size_t t = 0; t < n; ++t)
        for (std::size_t k = 0; k < 6; ++k) columns[k][t] = layout[t][k];
    const auto cells = cellsByName(confoundsTSV(table));
    const auto read = [&](const std::string& name) {
        std::vector<double> v;
        for (const auto& c : cells.at(name)) v.push_back(cellValue(c));
        return v;
    };
    for (std::size_t k = 0; k < 6; ++k) {
        const std::string p = kMotion[k];
        expectSameSeries(read(p), columns[k], p);
        expectSameSeries(read(p + "_derivative1"), backwardDifference(columns[k]), p + "_derivative1");
        expectSameSeries(read(p + "_power2"), squares(columns[k]), p + "_power2");
        expectSameSeries(read(p + "_derivative1_power2"), squares(backwardDifference(columns[k])), p + "_derivative1_power2");
    }
    const std::vector<double> fd = read("framewise_displacement");
    expectSameSeries(fd, powerFD(columns), "framewise_displacement", 1e-12);
    // The peer tool's FD of the same trace, written with 6 significant digits.
    const std::vector<double> peer = support::realTracePeerFD();
    ASSERT_EQ(peer.size(), n - 1);
    for (std::size_t t = 1; t < n; ++t) EXPECT_NEAR(fd[t], peer[t - 1], 1e-5) << t; // six significant digits
    EXPECT_EQ(cells.at("framewise_displacement")[0], "n/a");
    // The sidecar names the package's file and its convention.
    const Json json = Json::parse(confoundsJSON(table));
    EXPECT_EQ(json.at("rot_z").at("Source"), "prefiltered_func_data_mcf.par");
    EXPECT_EQ(json.at("rot_z").at("Units"), "rad");
    // fMRIPrep's rule for motion outliers: FD above the threshold, numbered from 00.
    std::vector<int> above;
    for (std::size_t t = 1; t < n; ++t)
        if (peer[t - 1] > 0.2) above.push_back(int(t));
    ASSERT_FALSE(above.empty());
    for (std::size_t k = 0; k < above.size(); ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "motion_outlier%02zu", k);
        ASSERT_TRUE(cells.count(name)) << name;
        EXPECT_EQ(cells.at(name)[std::size_t(above[k])], "1") << name;
    }
    EXPECT_EQ(std::count_if(cells.begin(), cells.end(), [](const auto& c) { return c.first.rfind("motion_outlier", 0) == 0; }),
              std::ptrdiff_t(above.size()));
}

// fMRIPrep's tables of two releases carried through: every column in its order
// with its cells as written, every sidecar entry, and only what is missing added.
TEST(BidsConfoundsTable, FMRIPrepsTablesCarriedThroughByteForByte)
{
    const fs::path dir = support::tempDir("carry");
    const SDM motion = support::motionSdm(support::realTraceRows());
    const DVARS dvars{std::vector<double>(365, 40.0), std::vector<double>(365, 1.0), std::vector<double>(365, 1.0), 900.0, 5000, 3};
    for (const std::string release : {"21", "1.4"}) {
        const Release r = releaseTable(release);
        const fs::path tsv = dir / ("r" + release + "_desc-confounds_timeseries.tsv");
        std::ofstream(tsv) << r.tsv;
        std::ofstream(dir / ("r" + release + "_desc-confounds_timeseries.json")) << r.sidecar;
        const FMRIPrepTable fmriprep = readFMRIPrepTable(tsv.string());
        ConfoundsOptions options;
        options.fmriprep = &fmriprep;
        options.dvars = &dvars;
        options.censorAfter = 1;
        options.outliersBy = outlierRuleFromNames({"fd"});
        const ConfoundsTable table = buildConfoundsTable(motion, {}, options);
        const std::string ours = confoundsTSV(table);
        const auto theirs = support::tsvRows(r.tsv), mine = support::tsvRows(ours);
        ASSERT_EQ(mine.size(), theirs.size()) << release;
        // fMRIPrep's columns first, in its order, each cell as written.
        for (std::size_t row = 0; row < theirs.size(); ++row)
            for (std::size_t c = 0; c < theirs[0].size(); ++c) ASSERT_EQ(mine[row][c], theirs[row][c]) << release << " row " << row << " col " << c;
        // Then only what fMRIPrep's table lacks: no second framewise_displacement, no DVARS of ours
        // under its names, and every further name either an expansion it lacks or ours.
        std::set<std::string> added;
        for (std::size_t c = theirs[0].size(); c < mine[0].size(); ++c) {
            const std::string& name = mine[0][c];
            EXPECT_EQ(std::count(mine[0].begin(), mine[0].end(), name), 1) << name;
            if (name.rfind("tremora_", 0) != 0) added.insert(name);
        }
        std::set<std::string> expected;
        if (release == "1.4")
            for (const char* p : kMotion)
                for (const char* e : {"_derivative1", "_derivative1_power2", "_power2"}) expected.insert(std::string(p) + e);
        EXPECT_EQ(added, expected) << release;
        // The expansions added are fMRIPrep's, from its own motion columns.
        const auto cells = cellsByName(ours);
        for (const auto& name : added) {
            const std::size_t k = std::size_t(std::find_if(std::begin(kMotion), std::end(kMotion), [&](const char* p) { return name.rfind(p, 0) == 0; }) - std::begin(kMotion));
            const std::vector<double>& x = r.motion[k];
            const std::vector<double> want = name.find("_derivative1_power2") != std::string::npos ? squares(backwardDifference(x))
                                             : name.find("_derivative1") != std::string::npos ? backwardDifference(x) : squares(x);
            std::vector<double> got;
            for (const auto& cell : cells.at(name)) got.push_back(cellValue(cell));
            expectSameSeries(got, want, release + " " + name);
        }
        // Every sidecar entry of fMRIPrep's, as it wrote it (the left-out component too).
        const Json sidecar = Json::parse(confoundsJSON(table)), original = Json::parse(r.sidecar);
        for (const auto& [key, value] : original.items()) EXPECT_EQ(sidecar.at(key), value) << release << " " << key;
        EXPECT_EQ(sidecar.begin().key(), original.begin().key());
        // Its non-steady-state volumes are outliers of ours: censored with their
        // neighbour, and counted in the outlier mask.
        const std::vector<std::string>& mask = cells.at("tremora_outlier");
        EXPECT_EQ(mask[0] + mask[1] + mask[2], "110") << release;
        EXPECT_EQ(sidecar.at("tremora_outlier").at("NonSteadyState"), Json({0, 1}));
        EXPECT_EQ(sidecar.at("tremora_censor00").at("Volume"), 0);
        EXPECT_EQ(sidecar.at("tremora_censor02").at("Volume"), 2);
        // Our DVARS under our names, since fMRIPrep's is of its preprocessed run.
        EXPECT_EQ(cells.at("tremora_std_dvars")[5], "1");

        // For tools that refuse n/a: 0 in those cells, nothing else changed.
        options.naAsZero = true;
        const auto zeroed = support::tsvRows(confoundsTSV(buildConfoundsTable(motion, {}, options)));
        for (std::size_t row = 0; row < mine.size(); ++row)
            for (std::size_t c = 0; c < mine[row].size(); ++c)
                ASSERT_EQ(zeroed[row][c], mine[row][c] == "n/a" ? "0" : mine[row][c]) << release << " row " << row;
    }
    // A table that does not fit the run, or is not fMRIPrep's, is refused.
    std::ofstream(dir / "short.tsv") << "trans_x\trot_x\n0\t0\n";
    const FMRIPrepTable shortTable = readFMRIPrepTable((dir / "short.tsv").string());
    ConfoundsOptions options;
    options.fmriprep = &shortTable;
    EXPECT_THROW(buildConfoundsTable(motion, {}, options), std::runtime_error);
    for (const std::string bad : {"a\tb\n1\n", "a\ta\n1\t2\n", "a\tb\n1\tnan\n", "a\n", "a\tb\n1\tx\n"}) {
        std::ofstream(dir / "bad.tsv") << bad;
        EXPECT_THROW(readFMRIPrepTable((dir / "bad.tsv").string()), std::runtime_error) << bad;
    }
}

TEST(BidsConfoundsTable, OurColumnsBearNoFMRIPrepName)
{
    const SDM motion = support::motionSdm(steps(30, {8, 20}));
    std::vector<SDM> files;
    for (const char* set : {"detr", "deriv", "sqr", "t1", "t2", "t1sqr", "t2sqr", "derivsqr"}) files.push_back(taskSet(motion, set));
    std::vector<ConfoundSetFile> sets;
    for (const char* set : {"detr", "deriv", "sqr", "t1", "t2", "t1sqr", "t2sqr", "derivsqr"}) sets.push_back({set, &files[sets.size()]});
    const DVARS dvars{std::vector<double>(30, 40.0), std::vector<double>(30, 1.0), std::vector<double>(30, 1.0), 900.0, 50, 0};
    ConfoundsOptions options;
    options.dvars = &dvars;
    options.fdRadius = 65.0;
    options.censorBefore = 1;
    options.outliersBy = outlierRuleFromNames({"fd", "dvars", "rmsd"});
    const ConfoundsTable table = buildConfoundsTable(motion, sets, options);
    int ours = 0;
    for (const auto& column : table.columns) {
        const bool own = column.name.rfind("tremora_", 0) == 0;
        ours += own;
        // Ours are prefixed and match no family of fMRIPrep's; the rest are fMRIPrep's own names.
        EXPECT_NE(own, std::regex_match(column.name, kFMRIPrepFamilies)) << column.name;
    }
    // 48 set columns, rmsd, FD on 65 mm, the outlier mask and censoring columns.
    EXPECT_GE(ours, 48 + 4);
}

TEST(BidsConfoundsTable, MeasuresAndCellsReadBack)
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
        EXPECT_EQ(table.columns[k].name, kMotion[k]);
        EXPECT_EQ(table.columns[k].units, k < 3 ? "mm" : "rad") << table.columns[k].name;
        for (std::size_t t = 0; t < 4; ++t) EXPECT_NEAR(table.columns[k].values[t], expected[k][t], 1e-15) << table.columns[k].name << " " << t;
    }
    // fMRIPrep's FD on 50 mm, ours on 80 mm: volume 1 moves 3 + 2 mm and turns π/2.
    const ConfoundsColumn *fd = table.find("framewise_displacement"), *own = table.find("tremora_framewise_displacement"),
                          *rmsd = table.find("tremora_rmsd");
    ASSERT_TRUE(fd && own && rmsd);
    EXPECT_TRUE(std::isnan(fd->values[0]));
    EXPECT_NEAR(fd->values[1], 5.0 + 50.0 * pi / 2, 1e-9);
    EXPECT_NEAR(own->values[1], 5.0 + 80.0 * pi / 2, 1e-9);
    EXPECT_NEAR(fd->values[2], 50.0 * (pi / 4 + pi), 1e-9);
    EXPECT_NEAR(fd->values[3], 1.0, 1e-9);
    // tremora_rmsd is exactly what the spikes are judged by.
    const std::vector<float> d = spikeDetectionDisplacement(motion);
    EXPECT_EQ(rmsd->values, std::vector<double>(d.begin(), d.end()));
    // A header and one line per volume, each cell reading back as its number (n/a as n/a), floats as floats.
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
            const std::string& cell = lines[t + 1][c];
            if (std::isnan(column.values[t])) EXPECT_EQ(cell, "n/a") << column.name;
            else EXPECT_TRUE(column.single ? std::strtof(cell.c_str(), nullptr) == float(column.values[t]) : std::strtod(cell.c_str(), nullptr) == column.values[t])
                << column.name << " " << t << ": " << cell;
        }
    }
}

// Censoring as Power et al. (2014): each outlier with its neighbours, then
// every kept stretch shorter than the minimum segment; worked by hand.
TEST(BidsConfoundsTable, CensoringNeighboursAndMinimumSegments)
{
    const struct { std::vector<int> censored; int volumes, minimum; std::vector<int> expected; } segments[] = {
        {{4}, 10, 3, {4}},                                 // both stretches long enough
        {{2, 7}, 10, 3, {0, 1, 2, 7, 8, 9}},               // too short at both ends
        {{3, 4}, 10, 3, {3, 4}},                           // adjacent outliers leave no stretch between
        {{3, 5}, 10, 2, {3, 4, 5}},                        // one volume between two outliers
        {{3, 5}, 10, 1, {3, 5}},                           // a minimum of 1 keeps every stretch
        {{}, 10, 11, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},      // the minimum is longer than the run
        {{}, 10, 10, {}},                                  // the whole run is just long enough
        {{0, 9}, 10, 9, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},   // 8 kept volumes < 9
    };
    for (const auto& c : segments)
        EXPECT_EQ(censorShortSegments(c.censored, c.volumes, c.minimum), c.expected) << "minimum " << c.minimum << " of " << c.volumes;

    // censored: one column per volume, in order; causedBy: the spikes a column names, where it matters
    const struct { std::vector<int> steps; int before, after, minimum; std::vector<int> censored; std::map<int, std::vector<int>> causedBy; } cases[] = {
        {{10}, 1, 2, 0, {9, 10, 11, 12}, {{9, {10}}, {12, {10}}}},
        {{10, 11}, 1, 1, 0, {9, 10, 11, 12}, {{10, {10, 11}}, {11, {10, 11}}}}, // overlapping neighbourhoods merge
        {{1}, 3, 0, 0, {0, 1}, {{0, {1}}}},  // clipped at the start
        {{19}, 0, 5, 0, {19}, {{19, {19}}}}, // clipped at the end
        {{3, 17}, 0, 1, 5, {0, 1, 2, 3, 4, 17, 18, 19}, {{0, {}}, {4, {3}}, {19, {}}}}, // short ends censored too
        {{}, 2, 2, 0, {}, {}},
    };
    for (const auto& c : cases) {
        const std::string label = "case " + std::to_string(&c - cases);
        const SDM motion = support::motionSdm(steps(20, c.steps));
        ConfoundsOptions options;
        options.spikeThreshold = 1.0f;
        options.censorBefore = c.before;
        options.censorAfter = c.after;
        options.minSegment = c.minimum;
        const ConfoundsTable table = buildConfoundsTable(motion, {}, options);
        EXPECT_EQ(spikeVolumes(spikeDetectionDisplacement(motion), 1.0f), c.steps) << label;
        std::vector<const ConfoundsColumn*> censoring;
        for (const auto& column : table.columns)
            if (column.name.rfind("tremora_censor", 0) == 0) censoring.push_back(&column);
        ASSERT_EQ(censoring.size(), c.censored.size()) << label;
        const Json sidecar = Json::parse(confoundsJSON(table));
        for (std::size_t k = 0; k < censoring.size(); ++k) {
            const std::string name = (k < 10 ? "tremora_censor0" : "tremora_censor") + std::to_string(k);
            EXPECT_EQ(censoring[k]->name, name) << label;
            std::vector<double> one(20, 0.0);
            one[std::size_t(c.censored[k])] = 1.0;
            EXPECT_EQ(censoring[k]->values, one) << label << ", " << name;
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
    const LayoutMotion shortMotion{std::vector<std::array<double, 6>>(11, std::array<double, 6>{}), "mc.par", ""};
    EXPECT_THROW(buildConfoundsTable(nanMotion, {}, {}), std::runtime_error);
    EXPECT_THROW(buildConfoundsTable(motion, {{"detr", &infinite}}, {}), std::runtime_error);
    EXPECT_THROW(buildConfoundsTable(motion, {{"deriv", &shorter}}, {}), std::runtime_error);
    EXPECT_THROW(buildConfoundsTable(motion, {{"sqr", &five}}, {}), std::runtime_error);
    EXPECT_THROW(buildConfoundsTable(motion, {{"wiggle", &motion}}, {}), std::invalid_argument);
    EXPECT_THROW(buildConfoundsTable(motion, {}, {.censorAfter = -1}), std::invalid_argument);
    EXPECT_THROW(buildConfoundsTable(motion, {}, {.minSegment = -1}), std::invalid_argument);
    EXPECT_THROW(buildConfoundsTable(motion, {}, {.motion = &shortMotion}), std::runtime_error);
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
    EXPECT_EQ(json.at("tremora_framewise_displacement").at("SphereRadius").get<double>(), 100.0 / 3.0);
    EXPECT_EQ(json.at("tremora_rmsd").at("SphereRadius").get<double>(), 65.0);
    // The threshold as the user wrote it (0.3, not the float's 0.30000001192092896).
    EXPECT_EQ(json.at("tremora_rmsd").at("SpikeThreshold").get<double>(), 0.3);
    EXPECT_EQ(json.at("tremora_rmsd").at("Spikes").get<std::vector<int>>(), (std::vector<int>{8, 20}));
    EXPECT_EQ(json.at("tremora_outlier").at("RMSDOutliers").get<std::vector<int>>(), (std::vector<int>{8, 20}));
    EXPECT_EQ(json.at("tremora_trans_x_deriv").at("Source"), shown + "_deriv.sdm");
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
