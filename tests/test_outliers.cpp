// Outliers by framewise displacement, standardized DVARS and the relative RMS
// displacement, through tremora confound on a run whose spikes of motion and
// of intensity lie apart; the DVARS columns against nipype's ComputeDVARS; the
// squared-derivative set against a double-precision computation from its
// definition.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>

#include "bidsconfounds.h"
#include "dvars.h"
#include "fixtures.h"
#include "mySDM.h"
#include "mySDMfunctions.h"
#include "nifti.h"
#include "stringmanipulation.h"
#include "testing.h"

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// The columns of a confounds table by name.
std::map<std::string, std::vector<double>> readTable(const fs::path& path)
{
    std::istringstream in(support::readFile(path));
    std::string line;
    std::getline(in, line);
    std::vector<std::string> header;
    std::istringstream names(line);
    for (std::string name; std::getline(names, name, '\t');) header.push_back(name);
    std::map<std::string, std::vector<double>> columns;
    for (const auto& name : header) columns[name];
    while (std::getline(in, line)) {
        std::istringstream cells(line);
        std::string cell;
        for (std::size_t k = 0; k < header.size() && std::getline(cells, cell, '\t'); ++k)
            columns[header[k]].push_back(std::stod(cell));
    }
    return columns;
}

// The volumes the motion_outlierNN columns censor, in column order.
std::vector<int> censoredByColumns(const std::map<std::string, std::vector<double>>& table)
{
    std::vector<int> volumes;
    for (const auto& [name, values] : table) {
        if (name.rfind("motion_outlier", 0) != 0) continue;
        for (std::size_t t = 0; t < values.size(); ++t)
            if (values[t] == 1.0) volumes.push_back(int(t));
    }
    return volumes;
}

// 40 volumes of 10 x 10 x 6 voxels: a smooth head with noise, no motion in
// the data. Volume 12 alone is 40 units brighter (DVARS jumps into it and
// out of it: volumes 12 and 13). The motion SDM has, at volume 25, a jump of
// 0.2 mm along each axis with 0.1 degree about z (framewise displacement
// 0.6 + 50 mm x 0.1 degree = 0.687 mm, but an RMS displacement of at most
// 0.36 mm), and at volume 33 a jump of 0.48 mm along z (framewise
// displacement 0.48 mm, RMS displacement about 0.46 mm).
struct SpikyRun {
    fs::path dir, fmr, sdm;
};

SpikyRun spikyRun()
{
    SpikyRun r;
    r.dir = support::tempDir("outliers");
    support::RunOnDisk run;
    run.nx = 10, run.ny = 10, run.nz = 6, run.volumes = 40;
    run.value = [](int x, int y, int z, int t) {
        unsigned h = unsigned(((t * 7 + z) * 13 + y) * 17 + x) * 2654435761u;
        h ^= h >> 15;
        const float noise = float(h % 2001) / 100.0f - 10.0f; // uniform in [-10, 10]
        return 800.0f + 20.0f * float(x) + 10.0f * float(y) + 30.0f * float(z) + noise + (t == 12 ? 40.0f : 0.0f);
    };
    r.fmr = support::writeRun(r.dir, "run", run);
    support::MotionRows rows(40, std::array<double, 6>{});
    for (int t = 25; t < 40; ++t) {
        for (int k = 0; k < 3; ++k) rows[std::size_t(t)][std::size_t(k)] += 0.2;
        rows[std::size_t(t)][5] += 0.1;
    }
    for (int t = 33; t < 40; ++t) rows[std::size_t(t)][2] += 0.48;
    r.sdm = support::saveMotionSdm(r.dir / "run_3DMC.sdm", rows);
    return r;
}

} // namespace

TEST(Outliers, EachRuleFlagsItsOwnVolumesInTheColumnsTheSpikeSdmAndTheSidecar)
{
    const SpikyRun run = spikyRun();
    struct Case {
        std::string rule;
        std::vector<std::string> extra;
        std::vector<int> outliers, censored;
    };
    const std::vector<Case> cases = {
        {"rmsd", {}, {33}, {33}},
        {"fd", {}, {25}, {25}},
        {"dvars", {}, {12, 13}, {12, 13}},
        {"fd,dvars", {}, {12, 13, 25}, {12, 13, 25}},
        {"fd,dvars,rmsd", {"--censor-before", "1", "--censor-after", "1"}, {12, 13, 25, 33}, {11, 12, 13, 14, 24, 25, 26, 32, 33, 34}},
        {"fd", {"--fd-threshold", "0.7"}, {}, {}}, // nothing above it: no spike SDM, no outlier column
    };
    const fs::path spikes = run.dir / "run_3DMC_spikes.sdm";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule + (c.extra.empty() ? "" : " " + c.extra[0]));
        std::vector<std::string> args = {"confound", "--sdm", run.sdm.string(), "--fmr", run.fmr.string(), "--tsv",
                                         "--spike-threshold", "0.38", "--outliers-by", c.rule};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const auto r = support::runCli(args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto table = readTable(run.dir / "run_desc-confounds_timeseries.tsv");
        EXPECT_EQ(censoredByColumns(table), c.censored);
        for (const char* column : {"dvars", "std_dvars", "trans_x_derivative1_power2", "rot_z_derivative1_power2"})
            EXPECT_EQ(table.count(column), 1u) << column;
        if (c.outliers.empty()) {
            EXPECT_FALSE(fs::exists(spikes)) << "the task's rmsd spike SDM is removed when the rule flags nothing";
        } else {
            EXPECT_EQ(spikeVolumesOfSDM(SDM(spikes.string())), c.outliers);
        }
        // Each measure's volumes whatever the rule; the rule and its thresholds recorded.
        const Json sidecar = Json::parse(support::readFile(run.dir / "run_desc-confounds_timeseries.json"));
        const bool fdRaised = !c.extra.empty() && c.extra[0] == "--fd-threshold";
        EXPECT_EQ(sidecar["framewise_displacement"]["Outliers"], fdRaised ? Json::array() : Json({25}));
        EXPECT_EQ(sidecar["std_dvars"]["Outliers"], Json({12, 13}));
        EXPECT_EQ(sidecar["rmsd"]["Spikes"], Json({33}));
        std::vector<std::string> names;
        for (std::size_t start = 0, end; start <= c.rule.size(); start = end + 1) {
            end = std::min(c.rule.find(',', start), c.rule.size());
            names.push_back(c.rule.substr(start, end - start));
        }
        EXPECT_EQ(sidecar["framewise_displacement"]["OutliersBy"], Json(names));
        if (!c.censored.empty()) {
            const Json& first = sidecar["motion_outlier00"];
            EXPECT_EQ(first["OutliersBy"], Json(names));
            EXPECT_EQ(first.contains("FDThreshold"), c.rule.find("fd") != std::string::npos);
            EXPECT_EQ(first.contains("DVARSThreshold"), c.rule.find("dvars") != std::string::npos);
            EXPECT_EQ(first.contains("SpikeThreshold"), c.rule.find("rmsd") != std::string::npos);
        }
    }
}

TEST(Outliers, BadRulesAndMasksStopBeforeAnythingIsWritten)
{
    const SpikyRun run = spikyRun();
    const fs::path mask = run.dir / "mask.nii";
    support::NiftiLayout layout;
    layout.dims = {10, 10, 5, 1}; // one slice short of the run
    layout.ndim = 3;
    support::writeNifti(mask.string(), layout, std::vector<double>(500, 1.0));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--outliers-by", "dvars"}, 2, "needs the run (--fmr)"},
        {{"--outliers-by", "fd,movement"}, 2, "--outliers-by"},
        {{"--fmr", run.fmr.string(), "--mask", mask.string(), "--tsv"}, 1, "not on the run's grid"},
        {{"--mask", mask.string()}, 2, "--mask is only used with --fmr"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"confound", "--sdm", run.sdm.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = support::runCli(args);
        EXPECT_EQ(r.status, c.status) << c.args[1] << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(run.dir / "run_3DMC_detr.sdm")) << c.args[1];
        EXPECT_FALSE(fs::exists(run.dir / "run_desc-confounds_timeseries.tsv")) << c.args[1];
    }
}

TEST(SquaredDerivativeSet, AgreesWithADoublePrecisionComputationFromItsDefinition)
{
    // Drifts, oscillations and a jump, translations and rotations together.
    const int n = 90;
    support::MotionRows rows(static_cast<std::size_t>(n));
    for (int t = 0; t < n; ++t)
        for (int k = 0; k < 6; ++k)
            rows[std::size_t(t)][std::size_t(k)] = 0.01 * (k + 1) * t + 0.3 * std::sin(0.2 * t * (k + 1) + k) +
                                                   (t >= 40 + k ? 0.5 - 0.15 * k : 0.0) + (k == 4 ? 2.0 : 0.0);
    const SDM set = squaredDerivativeSet(support::motionSdm(rows));
    ASSERT_EQ(set.Predictors.size(), 6u);
    for (int k = 0; k < 6; ++k) {
        // Least-squares line of p over t = 0..n-1, removed.
        std::vector<double> p(static_cast<std::size_t>(n));
        double mt = 0, mp = 0;
        for (int t = 0; t < n; ++t) p[std::size_t(t)] = rows[std::size_t(t)][std::size_t(k)], mt += t, mp += p[std::size_t(t)];
        mt /= n, mp /= n;
        double sxy = 0, sxx = 0;
        for (int t = 0; t < n; ++t) sxy += (t - mt) * (p[std::size_t(t)] - mp), sxx += (t - mt) * (t - mt);
        for (int t = 0; t < n; ++t) p[std::size_t(t)] -= mp + sxy / sxx * (t - mt);
        // Central difference, 0 at both ends; squared; z-scored with n - 1.
        std::vector<double> q(std::size_t(n), 0.0);
        for (int t = 1; t + 1 < n; ++t) q[std::size_t(t)] = std::pow((p[std::size_t(t + 1)] - p[std::size_t(t - 1)]) / 2, 2);
        double mean = 0, var = 0;
        for (double v : q) mean += v / n;
        for (double v : q) var += (v - mean) * (v - mean) / (n - 1);
        for (int t = 0; t < n; ++t)
            EXPECT_NEAR(set.Predictors[std::size_t(k)][std::size_t(t)], (q[std::size_t(t)] - mean) / std::sqrt(var), 2e-4)
                << "parameter " << k << " volume " << t;
    }
    EXPECT_EQ(set.PredictorNames[0].find(" detrended derivative squared") != std::string::npos, true) << set.PredictorNames[0];
}

TEST(Outliers, TableRefusesARuleWithoutItsMeasureAndASpikeSdmOfAnotherRule)
{
    // 12 still volumes but a 0.6 mm jump along x at volume 5 (fd and rmsd),
    // and a DVARS whose standardized form is 2 at volume 8 only.
    SDM motion = support::motionSdm(support::stillRows(12));
    for (int t = 5; t < 12; ++t) motion.Predictors[0][std::size_t(t)] = 0.6f;
    DVARS dvars;
    dvars.dvars.assign(12, 10.0);
    dvars.standardized.assign(12, 1.0);
    dvars.dvars[0] = dvars.standardized[0] = 0.0;
    dvars.standardized[8] = 2.0;
    dvars.voxels = 100;
    ConfoundsOptions options;
    options.outliersBy = outlierRuleFromNames({"dvars"});
    EXPECT_THROW(buildConfoundsTable(motion, {}, options), std::invalid_argument) << "dvars without the run's DVARS";
    options.dvars = &dvars;
    const ConfoundsTable table = buildConfoundsTable(motion, {}, options);
    std::vector<std::string> names;
    for (const auto& c : table.columns) names.push_back(c.name);
    EXPECT_EQ(names, (std::vector<std::string>{"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z", "framewise_displacement",
                                               "dvars", "std_dvars", "rmsd", "motion_outlier00"}));
    EXPECT_EQ(table.find("motion_outlier00")->values[8], 1.0);
    // The task's spike SDM marks the rmsd spike (volume 5): with the dvars rule it must be written again.
    const SDM rmsdSpikes = spikeSet(motion, {5});
    EXPECT_THROW(buildConfoundsTable(motion, {{"spikes", &rmsdSpikes}}, options), std::runtime_error);
    const SDM dvarsSpikes = spikeSet(motion, {8});
    EXPECT_NO_THROW(buildConfoundsTable(motion, {{"spikes", &dvarsSpikes}}, options));
    // A DVARS of another run length is refused.
    dvars.standardized.pop_back();
    EXPECT_THROW(buildConfoundsTable(motion, {}, options), std::runtime_error);
    for (const auto& bad : std::vector<std::vector<std::string>>{{}, {"fd", "spikes"}})
        EXPECT_THROW(outlierRuleFromNames(bad), std::invalid_argument);
}
