// The confound model comparison: the haemodynamic response and the task
// design against their formulas, the additions a confounds table supplies,
// and the fit statistics (F, adjusted R2, BIC, Benjamini-Hochberg) against a
// double-precision least-squares fit written here.
#include <gtest/gtest.h>

#include <boost/math/special_functions/gamma.hpp>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "bidsconfounds.h"
#include "confoundmodels.h"
#include "groupmodels.h"
#include "modelstats.h"
#include "myGLMfunctions.h"
#include "mySDM.h"
#include "taskdesign.h"
#include "testing.h"

namespace fs = std::filesystem;
using namespace tool::models;

namespace {

// ---------------------------------------------------------------- the design

TEST(TaskDesign, HrfIsTheDifferenceOfTwoGammaDensitiesAtHandComputedPoints)
{
    // h(t) = t^5 e^-t / 5! - t^15 e^-t / (6 * 15!), worked by hand:
    // t = 6: 7776 e^-6 / 120 = 0.160623141, 6^15 e^-6 / 15! = 0.000891256.
    EXPECT_NEAR(canonicalHrf(6.0), 0.160623141 - 0.000891256 / 6, 1e-8);
    EXPECT_NEAR(canonicalHrf(5.0), 0.175467370 - 0.000157245 / 6, 1e-8);
    // t = 16, the undershoot: 16^5 e^-16 / 120 = 0.000983347, 16^15 e^-16 / 15! = 0.099217532.
    EXPECT_NEAR(canonicalHrf(16.0), 0.000983347 - 0.099217532 / 6, 1e-8);
    EXPECT_LT(canonicalHrf(16.0), 0.0);
    EXPECT_EQ(canonicalHrf(0.0), 0.0);
    EXPECT_EQ(canonicalHrf(-2.0), 0.0);
}

// The response to a boxcar [onset, onset + duration) at time t, from the
// gamma distribution functions: the integral of h over the boxcar, divided by
// its integral over 0..32 s.
double blockResponse(double t, double onset, double duration)
{
    const auto integral = [](double x) {
        x = std::clamp(x, 0.0, 32.0);
        return x <= 0 ? 0.0 : boost::math::gamma_p(6.0, x) - boost::math::gamma_p(16.0, x) / 6;
    };
    return (integral(t - onset) - integral(t - onset - duration)) / integral(32.0);
}

TEST(TaskDesign, EachTrialTypeIsItsBoxcarsConvolvedAndTheConstantComesLast)
{
    const fs::path file = fs::path(::testing::TempDir()) / "models_events.tsv";
    std::ofstream(file) << "onset\tduration\ttrial_type\tresponse_time\n"
                           "4\t6\tleft\t0.5\n"
                           "40\t10\tright\tn/a\n"
                           "n/a\t3\tleft\t1\n"
                           "60\t4\tleft\t0.7\n";
    const std::vector<Event> events = readEvents(file.string());
    ASSERT_EQ(events.size(), 3u);
    const double tr = 2.0;
    const int volumes = 50;
    const TaskDesign design = taskDesign(events, tr, volumes);
    ASSERT_EQ(design.names, (std::vector<std::string>{"left", "right", "constant"}));
    double peak = 0;
    for (int v = 0; v < volumes; ++v) {
        const double t = v * tr;
        const double left = blockResponse(t, 4, 6) + blockResponse(t, 60, 4);
        const double right = blockResponse(t, 40, 10);
        EXPECT_NEAR(design.columns[0][std::size_t(v)], left, 2e-3) << "volume " << v;
        EXPECT_NEAR(design.columns[1][std::size_t(v)], right, 2e-3) << "volume " << v;
        EXPECT_EQ(design.columns[2][std::size_t(v)], 1.0);
        peak = std::max(peak, right);
    }
    EXPECT_GT(peak, 0.8); // the oracle itself is not flat

    // A run without events: the constant alone.
    const TaskDesign rest = taskDesign({}, tr, volumes);
    ASSERT_EQ(rest.names, std::vector<std::string>{"constant"});
    const SDM sdm = designSdm(design);
    EXPECT_EQ(sdm.NrOfPredictors.value(), 3);
    EXPECT_TRUE(sdm.HasBaseline());
}

TEST(TaskDesign, ATableWithoutOnsetOrWithTextForANumberIsRefused)
{
    const fs::path file = fs::path(::testing::TempDir()) / "models_bad_events.tsv";
    std::ofstream(file) << "onset\ttrial_type\n1\ta\n";
    EXPECT_THROW(readEvents(file.string()), std::runtime_error);
    std::ofstream(file) << "onset\tduration\n1\tlong\n";
    EXPECT_THROW(readEvents(file.string()), std::runtime_error);
}

// ---------------------------------------------------------------- the additions

qc::FMRIPrepTable tableWith(const std::vector<std::string>& names, int rows, const std::string& sidecar = "")
{
    qc::FMRIPrepTable table;
    table.names = names;
    for (std::size_t c = 0; c < names.size(); ++c) {
        std::vector<std::string> cells;
        for (int r = 0; r < rows; ++r)
            cells.push_back(r == 0 && names[c].find("derivative1") != std::string::npos ? "n/a" : std::to_string(c + r * 0.5));
        table.cells.push_back(cells);
    }
    table.sidecar = sidecar;
    return table;
}

TEST(ConfoundModels, FamiliesAddWhatTheModelLacksAndAFamilyTheTableCannotSupplyIsNamedAndSkipped)
{
    std::vector<std::string> names;
    for (const char* m : {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"})
        for (const char* e : {"", "_derivative1", "_power2", "_derivative1_power2"}) names.push_back(std::string(m) + e);
    for (const char* c : {"global_signal", "csf"}) names.push_back(c); // no white_matter, no global_signal expansions
    for (const char* c : {"a_comp_cor_00", "a_comp_cor_01", "a_comp_cor_02", "cosine00", "tremora_censor00", "motion_outlier00"})
        names.push_back(c);
    const std::string sidecar = R"({"a_comp_cor_00": {"Method": "aCompCor", "Mask": "combined", "Retained": true},
                                   "a_comp_cor_01": {"Method": "aCompCor", "Mask": "CSF", "Retained": true},
                                   "a_comp_cor_02": {"Method": "aCompCor", "Mask": "combined", "Retained": false}})";
    const Additions a = additionsFrom(tableWith(names, 5, sidecar), {"6p", "24p", "wmcsf", "gsr", "acompcor", "cosine", "scrub"});
    ASSERT_EQ(a.steps.size(), 5u);
    EXPECT_EQ(a.steps[0].family, "6p");
    EXPECT_EQ(a.steps[0].columns.size(), 6u);
    EXPECT_EQ(a.steps[1].family, "24p");
    EXPECT_EQ(a.steps[1].columns.size(), 18u); // 24 less the 6 already in the model
    EXPECT_EQ(a.steps[1].values[0][0], 0.0);    // trans_x_derivative1's n/a
    EXPECT_EQ(a.steps[2].columns, std::vector<std::string>{"a_comp_cor_00"});
    EXPECT_EQ(a.steps[3].columns, std::vector<std::string>{"cosine00"});
    EXPECT_EQ(a.steps[4].columns, std::vector<std::string>{"tremora_censor00"});
    ASSERT_EQ(a.skipped.size(), 2u);
    EXPECT_NE(a.skipped[0].find("wmcsf"), std::string::npos);
    EXPECT_NE(a.skipped[0].find("white_matter"), std::string::npos);
    EXPECT_NE(a.skipped[1].find("global_signal_derivative1"), std::string::npos);

    EXPECT_THROW(checkSequence({"6p", "36p"}), std::invalid_argument);
    EXPECT_THROW(checkSequence({"6p", "6p"}), std::invalid_argument);
    EXPECT_NO_THROW(checkSequence(defaultSequence()));
}

// ---------------------------------------------------------------- fit statistics

// Least squares in double precision by the normal equations, solved by
// Gaussian elimination with partial pivoting: the residual sum of squares.
double sseOf(const std::vector<std::vector<double>>& columns, const std::vector<double>& y)
{
    const std::size_t p = columns.size(), n = y.size();
    std::vector<std::vector<double>> a(p, std::vector<double>(p + 1, 0.0));
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j)
            for (std::size_t t = 0; t < n; ++t) a[i][j] += columns[i][t] * columns[j][t];
        for (std::size_t t = 0; t < n; ++t) a[i][p] += columns[i][t] * y[t];
    }
    for (std::size_t k = 0; k < p; ++k) {
        std::size_t pivot = k;
        for (std::size_t i = k + 1; i < p; ++i)
            if (std::abs(a[i][k]) > std::abs(a[pivot][k])) pivot = i;
        std::swap(a[k], a[pivot]);
        for (std::size_t i = k + 1; i < p; ++i) {
            const double f = a[i][k] / a[k][k];
            for (std::size_t j = k; j <= p; ++j) a[i][j] -= f * a[k][j];
        }
    }
    std::vector<double> b(p);
    for (std::size_t k = p; k-- > 0;) {
        double s = a[k][p];
        for (std::size_t j = k + 1; j < p; ++j) s -= a[k][j] * b[j];
        b[k] = s / a[k][k];
    }
    double sse = 0;
    for (std::size_t t = 0; t < n; ++t) {
        double fit = 0;
        for (std::size_t j = 0; j < p; ++j) fit += columns[j][t] * b[j];
        sse += (y[t] - fit) * (y[t] - fit);
    }
    return sse;
}

SDM sdmOf(const std::vector<std::vector<double>>& columns, const std::string& name)
{
    SDM sdm;
    sdm.FileName = name;
    sdm.NrOfDataPoints = static_cast<int>(columns[0].size());
    for (const auto& c : columns) sdm.AddPredictor(std::vector<float>(c.begin(), c.end()), "x", 0, 0, 0);
    return sdm;
}

TEST(ModelStatistics, FAdjustedR2AndBicMatchADoublePrecisionFit)
{
    const int n = 60, voxels = 12;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> task(n), one(n, 1.0);
    std::vector<std::vector<double>> setA(2, std::vector<double>(n)), setB(3, std::vector<double>(n));
    for (int t = 0; t < n; ++t) {
        task[std::size_t(t)] = (t / 10) % 2;
        setA[0][std::size_t(t)] = std::sin(t * 0.3);
        setA[1][std::size_t(t)] = (t - 30) / 30.0;
        for (auto& c : setB) c[std::size_t(t)] = noise(random);
    }
    // Each voxel carries the task, set A and (in odd voxels only) set B with
    // weights of both signs, and noise.
    std::vector<std::vector<float>> volumes(n, std::vector<float>(voxels));
    std::vector<std::vector<double>> data(voxels, std::vector<double>(n));
    for (int v = 0; v < voxels; ++v)
        for (int t = 0; t < n; ++t) {
            const double b = v % 2 ? (v < 6 ? 5.0 : -5.0) : 0.0;
            double y = 1000 + 20 * v + (v - 5) * 3.0 * task[std::size_t(t)] + (6.0 - v) * setA[0][std::size_t(t)] +
                       8.0 * setA[1][std::size_t(t)] + b * setB[0][std::size_t(t)] - b * setB[2][std::size_t(t)] +
                       3.0 * noise(random);
            data[std::size_t(v)][std::size_t(t)] = static_cast<float>(y);
            volumes[std::size_t(t)][std::size_t(v)] = static_cast<float>(y);
        }
    std::vector<float*> pointers;
    for (auto& volume : volumes) pointers.push_back(volume.data());
    const RunTimeCourses run{pointers.data(), n, {voxels, 1, 1}, "run.fmr"};
    ConfoundAnalysis analysis(sdmOf({task, one}, "task.sdm"), {sdmOf(setA, "run_a.sdm"), sdmOf(setB, "run_b.sdm")}, run, 1);
    const ConfoundStep first = analysis.next(), second = analysis.next();
    EXPECT_EQ(first.columnsBefore, 2);
    EXPECT_EQ(first.columnsAfter, 4);
    EXPECT_EQ(second.columnsAfter, 7);

    const std::vector<std::vector<double>> m0 = {task, one}, m1 = {task, one, setA[0], setA[1]},
                                           m2 = {task, one, setA[0], setA[1], setB[0], setB[1], setB[2]};
    int bFavoured = 0;
    for (int v = 0; v < voxels; ++v) {
        const std::vector<double>& y = data[std::size_t(v)];
        double mean = 0, sst = 0;
        for (double x : y) mean += x / n;
        for (double x : y) sst += (x - mean) * (x - mean);
        const double sse0 = sseOf(m0, y), sse1 = sseOf(m1, y), sse2 = sseOf(m2, y);
        const auto adjusted = [&](double sse, int p) { return 1 - (sse / sst) * (n - 1) / (n - p - 1); };
        // Second step: the model with set A before, with A and B after.
        const double f = ((sse1 - sse2) / 3) / (sse2 / (n - 7));
        const auto& maps = second.maps; // residual tSNR, its change, R2adj, R2adj difference, F
        EXPECT_NEAR(maps[2].volume[v], adjusted(sse2, 7), 2e-4) << v;
        EXPECT_NEAR(maps[3].volume[v], adjusted(sse2, 7) - adjusted(sse1, 4), 2e-4) << v;
        EXPECT_NEAR(maps[4].volume[v], f, 1e-3 * std::max(1.0, f)) << v;
        EXPECT_EQ(maps[4].df1, 3);
        EXPECT_EQ(maps[4].df2, n - 7);
        EXPECT_NEAR(first.sseBefore[v], sse0, 1e-3 * sse0);
        EXPECT_NEAR(second.sseBefore[v], sse1, 1e-3 * sse1);
        EXPECT_NEAR(second.sseAfter[v], sse2, 1e-3 * sse2);
        // BIC by its definition on the double fit.
        const double bic1 = n * std::log(sse1 / n) + 4 * std::log(double(n));
        const double bic2 = n * std::log(sse2 / n) + 7 * std::log(double(n));
        EXPECT_NEAR(bic(second.sseBefore[v], n, second.columnsBefore), bic1, 0.01);
        EXPECT_NEAR(bic(second.sseAfter[v], n, second.columnsAfter), bic2, 0.01);
        if (bic2 < bic1) ++bFavoured;
        if (v % 2 == 0) EXPECT_LT(bic1, bic2) << "set B adds nothing to voxel " << v;
    }
    EXPECT_EQ(bFavoured, voxels / 2); // the odd voxels, which carry set B
}

TEST(ModelStatistics, FTailAndBenjaminiHochbergByTheirDefinitions)
{
    // With 2 numerator degrees of freedom, P(F >= f) = (1 + 2 f / d2)^(-d2 / 2).
    for (double f : {0.5, 1.0, 3.0, 9.0})
        for (int d2 : {5, 40})
            EXPECT_NEAR(fUpperTail(f, 2, d2), std::pow(1 + 2 * f / d2, -d2 / 2.0), 1e-12) << f << " " << d2;
    EXPECT_EQ(fUpperTail(0.0, 3, 10), 1.0);
    EXPECT_EQ(fUpperTail(std::nan(""), 3, 10), 1.0);

    // Step-up: q i / m at q = 0.05, m = 10 is 0.005, 0.010, ...; only the two smallest pass.
    EXPECT_EQ(benjaminiHochbergPassing({0.205, 0.001, 0.039, 0.041, 0.042, 0.06, 0.074, 0.008, 0.212, 0.216}, 0.05), 2u);
    // The largest passing rank decides, although earlier p-values are above their own line.
    EXPECT_EQ(benjaminiHochbergPassing({0.04, 0.03, 0.049, 0.02}, 0.05), 4u);
    EXPECT_EQ(benjaminiHochbergPassing({0.02, 0.03, 0.04, 0.2}, 0.05), 0u);
    EXPECT_EQ(benjaminiHochbergPassing({}, 0.05), 0u);
    EXPECT_DOUBLE_EQ(median({5, 1, 3, 2}), 2.5);
}

} // namespace

// ---------------------------------------------------------------- the group's choice

namespace groupchoice {

fs::path summary(const std::string& name, const std::vector<std::array<double, 3>>& models)
{
    // model rows: task, 6p, 24p with (median tSNR, share of BIC wins, mean FD)
    const char* names[] = {"task", "6p", "24p"};
    const fs::path path = fs::path(::testing::TempDir()) / (name + "_desc-models_summary.tsv");
    std::ofstream out(path);
    out << "model\tcolumns\tcolumns_added\tvolumes\tmedian_tsnr\tmedian_tsnr_gain_percent\tmedian_r2adj_gain\t"
           "share_f_significant\tshare_bic_wins\tmean_fd\n";
    for (std::size_t m = 0; m < models.size(); ++m)
        out << names[m] << "\t" << 2 + 6 * m << "\t" << 6 * m << "\t100\t" << models[m][0] << "\tn/a\tn/a\tn/a\t" << models[m][1]
            << "\t" << models[m][2] << "\n";
    return path;
}

TEST(GroupModels, EachRunVotesForItsMostWinningModelAndTheMostVotedIsChosen)
{
    using tool::bids::groupModels;
    // Two runs prefer 6p, one 24p, one the task alone; the FD of the runs rises
    // as the tSNR after 6p falls, so its motion dependence is negative.
    const std::vector<tool::bids::RunSummary> runs = {
        {"a", summary("a", {{{50, 0.1, 0.1}, {60, 0.6, 0.1}, {61, 0.3, 0.1}}})},
        {"b", summary("b", {{{50, 0.2, 0.2}, {55, 0.5, 0.2}, {58, 0.3, 0.2}}})},
        {"c", summary("c", {{{50, 0.1, 0.3}, {52, 0.2, 0.3}, {60, 0.7, 0.3}}})},
        {"d", summary("d", {{{50, 0.5, 0.4}, {49, 0.3, 0.4}, {50, 0.2, 0.4}}})},
        {"missing", fs::path(::testing::TempDir()) / "none_desc-models_summary.tsv"},
    };
    const auto g = groupModels(runs);
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->json["Choice"], "6p");
    EXPECT_EQ(g->json["Rule"], tool::bids::kModelChoiceRule);
    EXPECT_EQ(g->json["Votes"]["6p"], 2);
    EXPECT_EQ(g->json["DisagreeingRuns"], nlohmann::json({"c", "d"}));
    EXPECT_EQ(std::count(g->tsv.begin(), g->tsv.end(), '\n'), 1 + 12);
    // r(FD, median tSNR after 6p) over (0.1, 60), (0.2, 55), (0.3, 52), (0.4, 49), worked by hand: -0.9909.
    EXPECT_NE(g->section.find("<td>-0.99</td>"), std::string::npos) << g->section;

    // A tie goes to the smaller model.
    const auto tie = groupModels({runs[0], runs[2]});
    EXPECT_EQ(tie->json["Choice"], "6p");
    EXPECT_FALSE(groupModels({runs[4]}).has_value());
}

} // namespace groupchoice

// ---------------------------------------------------------------- studies with a known answer

namespace knowntruth {

std::vector<std::vector<std::string>> rowsOf(const fs::path& tsv) { return support::tsvRows(support::readFile(tsv)); }

class KnownConfoundModel : public ::testing::TestWithParam<std::string> {};

TEST_P(KnownConfoundModel, TheStudyChoosesTheTrueModelAndItWinsByBicInMostVoxelsOfEveryRun)
{
    const std::string truth = GetParam();
    const fs::path root = fs::path(::testing::TempDir()) / ("models_truth_" + truth);
    fs::remove_all(root);
    ASSERT_EQ(support::runCli({"synth", "--bids", (root / "raw").string(), "--participants", "1", "--confound-truth", truth}).status, 0);
    const auto participant = support::runCli({"bids", (root / "raw").string(), (root / "out").string(), "participant",
                                              "--compare-models", "all", "--jobs", "2"});
    ASSERT_EQ(participant.status, 0) << participant.out << participant.err;
    ASSERT_EQ(support::runCli({"bids", (root / "raw").string(), (root / "out").string(), "group"}).status, 0);

    std::ifstream json(root / "out" / "group_models.json");
    const nlohmann::json choice = nlohmann::json::parse(json);
    EXPECT_EQ(choice["Choice"], truth);
    const auto rows = rowsOf(root / "out" / "group_models.tsv");
    ASSERT_FALSE(rows.empty());
    const auto column = [&](const std::string& name) {
        return std::size_t(std::find(rows[0].begin(), rows[0].end(), name) - rows[0].begin());
    };
    int runs = 0;
    for (std::size_t r = 1; r < rows.size(); ++r)
        if (rows[r][column("model")] == truth) {
            ++runs;
            EXPECT_GE(std::stod(rows[r][column("share_bic_wins")]), 0.8) << rows[r][0];
        }
    EXPECT_EQ(runs, 6);
    // Resumable like the rest: a second call finds every run up to date.
    const auto again = support::runCli({"bids", (root / "raw").string(), (root / "out").string(), "participant",
                                        "--compare-models", "all", "--jobs", "2"});
    EXPECT_NE(again.out.find("6 up to date"), std::string::npos) << again.out;

    if (truth == "6p") {
        // One run folder through process: the raw run, its events, and fMRIPrep's files of it.
        const fs::path folder = root / "folder";
        fs::create_directories(folder);
        const std::string stem = "sub-01_ses-1_task-motor_run-1";
        for (const fs::path& from : {root / "raw/sub-01/ses-1/func" / (stem + "_bold.nii.gz"),
                                     root / "raw/sub-01/ses-1/func" / (stem + "_events.tsv")})
            fs::copy_file(from, folder / from.filename());
        for (const char* file : {"_desc-confounds_timeseries.tsv", "_desc-confounds_timeseries.json", "_desc-brain_mask.nii.gz",
                                 "_desc-hmc_boldref.nii.gz"})
            fs::copy_file(root / "raw/derivatives/fmriprep/sub-01/ses-1/func" / (stem + file), folder / (stem + file));
        const auto processed = support::runCli({"process", folder.string(), "--compare-models", "6p,12p"});
        ASSERT_EQ(processed.status, 0) << processed.out << processed.err;
        std::vector<fs::path> summaries;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().string().ends_with("_desc-models_summary.tsv")) summaries.push_back(entry.path());
        ASSERT_EQ(summaries.size(), 1u) << processed.out;
        const auto table = rowsOf(summaries[0]);
        ASSERT_EQ(table.size(), 4u); // header, task, 6p, 12p
        EXPECT_EQ(table[2][0], "6p");
        EXPECT_GE(std::stod(table[2][8]), 0.8);
        EXPECT_EQ(support::runCli({"process", folder.string(), "--compare-models", "6p,7p"}).status, 2);
    }
    fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(Truths, KnownConfoundModel, ::testing::Values("6p", "24p", "wmcsf"));

} // namespace knowntruth
