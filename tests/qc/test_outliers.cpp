// Outliers by framewise displacement, standardized DVARS and the relative RMS
// displacement, through tremora confound on a run whose spikes of motion and
// of intensity lie apart, and the table's refusals of a rule without its
// measure. (The squared-derivative set: with the other sets in test_tasks;
// options that need the run or a mask on its grid: the golden tier.)
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "bidsconfounds.h"
#include "dvars.h"
#include "fixtures.h"
#include "mySDM.h"
#include "mySDMfunctions.h"
#include "testing.h"

using namespace qc; // the quality-control library (code/qc)

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// The volumes the columns of a confounds table whose names begin with
// `prefix` censor, in column order.
std::vector<int> censoredByColumns(const fs::path& table, const std::string& prefix = "tremora_censor")
{
    const auto rows = support::tsvRows(support::readFile(table));
    std::vector<int> volumes;
    for (std::size_t k = 0; k < rows[0].size(); ++k)
        for (std::size_t r = 1; rows[0][k].rfind(prefix, 0) == 0 && r < rows.size(); ++r)
            if (std::stod(rows[r].at(k)) == 1.0) volumes.push_back(int(r - 1));
    return volumes;
}

} // namespace

TEST(Outliers, EachRuleFlagsItsOwnVolumesInTheColumnsTheSpikeSdmAndTheSidecar)
{
    // 40 volumes of 10 x 10 x 6 voxels: a smooth head with noise, no motion in
    // the data. Volume 12 alone is 40 units brighter (DVARS jumps into it and
    // out of it: volumes 12 and 13). The motion SDM has, at volume 25, a jump of
    // 0.2 mm along each axis with 0.1 degree about z (framewise displacement
    // 0.6 + 50 mm x 0.1 degree = 0.687 mm, but an RMS displacement of at most
    // 0.36 mm), and at volume 33 a jump of 0.48 mm along z (framewise
    // displacement 0.48 mm, RMS displacement about 0.46 mm).
    const fs::path dir = support::tempDir("outliers");
    support::RunOnDisk run;
    run.nx = 10, run.ny = 10, run.nz = 6, run.volumes = 40;
    run.value = [](int x, int y, int z, int t) {
        unsigned h = unsigned(((t * 7 + z) * 13 + y) * 17 + x) * 2654435761u;
        h ^= h >> 15;
        const float noise = float(h % 2001) / 100.0f - 10.0f; // uniform in [-10, 10]
        return 800.0f + 20.0f * float(x) + 10.0f * float(y) + 30.0f * float(z) + noise + (t == 12 ? 40.0f : 0.0f);
    };
    const fs::path fmr = support::writeRun(dir, "run", run);
    support::MotionRows rows(40, std::array<double, 6>{});
    for (int t = 25; t < 40; ++t) rows[std::size_t(t)] = {0.2, 0.2, t < 33 ? 0.2 : 0.68, 0, 0, 0.1};
    const fs::path sdm = support::saveMotionSdm(dir / "run_3DMC.sdm", rows);
    const struct {
        std::vector<std::string> rule, extra;
        std::vector<int> outliers, censored;
    } cases[] = {
        {{"rmsd"}, {}, {33}, {33}},
        {{"fd"}, {}, {25}, {25}},
        {{"dvars"}, {}, {12, 13}, {12, 13}},
        {{"fd", "dvars"}, {}, {12, 13, 25}, {12, 13, 25}},
        {{"fd", "dvars", "rmsd"}, {"--censor-before", "1", "--censor-after", "1"}, {12, 13, 25, 33}, {11, 12, 13, 14, 24, 25, 26, 32, 33, 34}},
        {{"fd"}, {"--fd-threshold", "0.7"}, {}, {}}, // nothing above it: no spike SDM, no outlier column
    };
    const fs::path spikes = dir / "run_3DMC_spikes.sdm";
    for (const auto& c : cases) {
        std::string rule;
        for (const auto& name : c.rule) rule += (rule.empty() ? "" : ",") + name;
        SCOPED_TRACE(rule + (c.extra.empty() ? "" : " " + c.extra[0]));
        std::vector<std::string> args = {"confound", "--sdm", sdm.string(), "--fmr", fmr.string(), "--tsv",
                                         "--spike-threshold", "0.38", "--outliers-by", rule};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const auto r = support::runCli(args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(censoredByColumns(dir / "run_desc-confounds_timeseries.tsv"), c.censored);
        // fMRIPrep's motion outliers follow fMRIPrep's rule whatever ours: FD above
        // --fd-threshold or standardized DVARS above --dvars-threshold.
        EXPECT_EQ(censoredByColumns(dir / "run_desc-confounds_timeseries.tsv", "motion_outlier"),
                  (c.extra.empty() || c.extra[0] != "--fd-threshold" ? std::vector<int>{12, 13, 25} : std::vector<int>{12, 13}));
        // The task's rmsd spike SDM is written again for the rule, removed when it flags nothing.
        EXPECT_EQ(fs::exists(spikes) ? spikeVolumesOfSDM(SDM(spikes.string())) : std::vector<int>{}, c.outliers);
        // Each measure's volumes whatever the rule (the sidecar's keys: the golden tier).
        const Json sidecar = Json::parse(support::readFile(dir / "run_desc-confounds_timeseries.json"));
        const Json& mask = sidecar["tremora_outlier"];
        EXPECT_EQ(mask["FDOutliers"], c.extra.empty() || c.extra[0] != "--fd-threshold" ? Json({25}) : Json::array());
        EXPECT_EQ(mask["DVARSOutliers"], Json({12, 13}));
        EXPECT_EQ(mask["RMSDOutliers"], Json({33}));
        EXPECT_EQ(sidecar["tremora_rmsd"]["Spikes"], Json({33}));
    }
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
    ASSERT_TRUE(table.find("tremora_censor00") && !table.find("tremora_censor01"));
    EXPECT_EQ(table.find("tremora_censor00")->values[8], 1.0);
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
