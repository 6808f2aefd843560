// The carpet plot: its rows against a detrend and z-score written here from
// their definitions, the even choice of at most a thousand rows, the run
// report's carpet (its outliers, mask and regions) and the group page's
// choice of carpets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <regex>

#include "carpet.h"
#include "fixtures.h"
#include "myFMR.h"
#include "nifti.h"
#include "testing.h"

using namespace qc; // the quality-control library (code/qc)

namespace fs = std::filesystem;

namespace {

// Noise from a small linear congruential generator, uniform in [−1, 1].
double noise(unsigned key)
{
    unsigned s = key * 2654435761u + 12345u;
    for (int k = 0; k < 3; ++k) s = s * 1103515245u + 12345u;
    return double((s >> 8) % 20001) / 10000.0 - 1.0;
}

// The oracle: the least-squares line a + b·t from the uncentred normal
// equations (Cramer's rule), its residuals divided by their standard
// deviation with n − 1.
std::vector<double> oracleRow(const std::vector<double>& x)
{
    const double n = double(x.size());
    double st = 0, stt = 0, sx = 0, stx = 0;
    for (std::size_t t = 0; t < x.size(); ++t) st += double(t), stt += double(t) * double(t), sx += x[t], stx += double(t) * x[t];
    const double det = n * stt - st * st;
    const double a = (sx * stt - st * stx) / det, b = (n * stx - st * sx) / det;
    std::vector<double> r(x.size());
    double ss = 0;
    for (std::size_t t = 0; t < x.size(); ++t) r[t] = x[t] - (a + b * double(t)), ss += r[t] * r[t];
    const double sd = std::sqrt(ss / (n - 1));
    for (double& v : r) v /= sd;
    return r;
}

// A phantom run with noise: intensities by position, a drift per voxel, and
// the volumes in `spikes` 6 % brighter (an intensity artefact of the whole image).
support::RunOnDisk spikedRun(int nx, int ny, int nz, int volumes, std::vector<int> spikes)
{
    support::RunOnDisk run{.nx = nx, .ny = ny, .nz = nz, .volumes = volumes};
    run.value = [=](int x, int y, int z, int t) {
        const unsigned i = unsigned((z * ny + y) * nx + x);
        const bool head = (x - nx / 2) * (x - nx / 2) + (y - ny / 2) * (y - ny / 2) < (nx / 2 - 1) * (nx / 2 - 1);
        if (!head) return float(5 + 2 * noise(i * 7919u + unsigned(t)));
        double v = 400 + 30 * x + 20 * y + 50 * z + 0.8 * t * ((x % 3) - 1) + 6 * noise(i * 7919u + unsigned(t));
        if (std::find(spikes.begin(), spikes.end(), t) != spikes.end()) v *= 1.06;
        return float(v);
    };
    return run;
}

} // namespace

TEST(Carpet, RowsAgreeWithTheDefinitionAndAreOrderedByMeanOrLabel)
{
    // Voxels with their own level, drift and noise; one constant voxel and
    // one exactly linear one, whose rows carry nothing.
    // The run as floats and as 16-bit integers (the values cut to integers
    // as they are stored, and the oracle's series with them).
    const int nx = 6, ny = 5, nz = 3, nt = 23;
    const auto value = [](int x, int y, int z, int t) -> double {
        const int i = (z * 5 + y) * 6 + x;
        if (i == 7) return 512.0;
        if (i == 8) return 300.0 + 3 * t;
        return 200 + 37 * ((i * 13) % 29) + (x - 2.5) * 0.9 * t + 15 * noise(unsigned(i * 100 + t)) + (t == 11 ? 30 : 0);
    };
    std::vector<unsigned char> mask(std::size_t(nx * ny * nz), 1);
    mask[3] = mask[20] = mask[44] = 0; // in the first and second slices
    std::vector<int> labels(mask.size());
    for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = int(i % 3 == 0 ? 2 : 1);

    for (const bool int16 : {false, true})
    for (const bool segmented : {false, true}) {
        SCOPED_TRACE(std::string(int16 ? "16-bit run, " : "float run, ") + (segmented ? "by label, then mean" : "by mean"));
        support::RunOnDisk phantom{.nx = nx, .ny = ny, .nz = nz, .volumes = nt, .int16 = int16};
        phantom.value = [&](int x, int y, int z, int t) { return float(value(x, y, z, t)); };
        const fs::path dir = support::tempDir("carpet_rows");
        FMR run(support::writeRun(dir, "run", phantom).string(), false);
        const auto series = [&](int voxel) {
            std::vector<double> x;
            for (int t = 0; t < nt; ++t) {
                const float v = float(value(voxel % nx, voxel / nx % ny, voxel / (nx * ny), t));
                x.push_back(int16 ? double(std::int16_t(v)) : double(v));
            }
            return x;
        };
        const Carpet c = computeCarpet(run, mask, 1000, segmented ? labels : std::vector<int>{});
        ASSERT_EQ(c.rows(), nx * ny * nz - 3) << "every masked voxel, as there are fewer than the limit";
        ASSERT_EQ(c.values.size(), std::size_t(c.rows()) * nt);
        EXPECT_EQ(c.labels.size(), segmented ? std::size_t(c.rows()) : 0u);
        for (int r = 0; r < c.rows(); ++r) {
            const int voxel = c.voxels[std::size_t(r)];
            EXPECT_TRUE(mask[std::size_t(voxel)]) << voxel;
            const std::vector<double> x = series(voxel);
            const double mean = std::accumulate(x.begin(), x.end(), 0.0) / nt;
            // The means are summed in double from float data: agreement to
            // the float's 7 digits.
            EXPECT_NEAR(c.means[std::size_t(r)], mean, 1e-6 * mean) << voxel;
            if (r > 0) {
                const int previous = c.voxels[std::size_t(r - 1)];
                const bool sameLabel = !segmented || labels[std::size_t(previous)] == labels[std::size_t(voxel)];
                if (segmented) EXPECT_LE(labels[std::size_t(previous)], labels[std::size_t(voxel)]) << "row " << r;
                if (sameLabel) EXPECT_GE(c.means[std::size_t(r - 1)], c.means[std::size_t(r)]) << "row " << r;
            }
            if (voxel == 7 || voxel == 8) {
                for (int t = 0; t < nt; ++t) EXPECT_EQ(c.at(r, t), 0.0f) << "voxel " << voxel << " volume " << t;
                continue;
            }
            const std::vector<double> z = oracleRow(x);
            // Stored as float: a z-score of a few units to about 1e-6.
            for (int t = 0; t < nt; ++t) EXPECT_NEAR(c.at(r, t), z[std::size_t(t)], 2e-5) << "voxel " << voxel << " volume " << t;
        }
    }
}

TEST(Carpet, AtMostTheLimitOfRowsEvenlySpacedInTheIntensityOrder)
{
    // {n, k}: k positions, or n when fewer: the middle of each of k equal
    // stretches of the n, rounded down, so that neighbours are a whole
    // stretch apart give or take the rounding.
    const std::pair<int, int> cases[] = {{10, 3}, {7, 1}, {999, 1000}, {1000, 1000}, {1001, 1000}, {2500, 1000}, {123457, 1000}};
    for (const auto& [n, k] : cases) {
        const std::vector<int> at = evenlySpaced(n, k);
        ASSERT_EQ(int(at.size()), std::min(n, k)) << n << " " << k;
        const double stretch = double(n) / double(at.size());
        for (std::size_t j = 0; j < at.size(); ++j) {
            const double middle = (double(j) + 0.5) * stretch;
            EXPECT_TRUE(at[j] <= middle + 1e-9 && at[j] > middle - 1) << n << " " << k << " at " << j << ": " << at[j];
            if (j > 0) EXPECT_TRUE(at[j] - at[j - 1] >= std::floor(stretch) && at[j] - at[j - 1] <= std::ceil(stretch))
                << n << " " << k << " at " << j;
            EXPECT_LT(at[j], n);
        }
    }

    // A run of 2000 masked voxels: 1000 rows, every other voxel of the
    // brightness order, the second brightest first (the middle of the first pair).
    support::RunOnDisk phantom{.nx = 25, .ny = 20, .nz = 4, .volumes = 6};
    phantom.value = [](int x, int y, int z, int t) { return float(1000 + 3 * ((x * 7 + y * 31 + z * 101) % 2000) + (t % 2)); };
    const fs::path dir = support::tempDir("carpet_limit");
    FMR run(support::writeRun(dir, "run", phantom).string(), false);
    const std::vector<unsigned char> mask(2000, 1);
    const Carpet c = computeCarpet(run, mask);
    // The same integers stored as 16-bit slice data, read slice by slice:
    // the same carpet to the bit, rows chosen across every slice.
    phantom.int16 = true;
    FMR run16(support::writeRun(support::tempDir("carpet_limit16"), "run", phantom).string(), false);
    const Carpet c16 = computeCarpet(run16, mask);
    EXPECT_EQ(c16.voxels, c.voxels);
    EXPECT_EQ(c16.means, c.means);
    EXPECT_EQ(c16.values, c.values);
    ASSERT_EQ(c.rows(), 1000);
    EXPECT_EQ(c.candidates, 2000);
    EXPECT_EQ(c.values.size(), 1000u * 6u) << "only the chosen rows are kept";
    std::vector<double> all;
    for (int i = 0; i < 2000; ++i) all.push_back(1000.5 + 3 * ((i % 25 * 7 + i / 25 % 20 * 31 + i / 500 * 101) % 2000));
    std::sort(all.rbegin(), all.rend());
    for (int r = 0; r < 1000; ++r) ASSERT_NEAR(c.means[std::size_t(r)], all[std::size_t(2 * r + 1)], 1e-9) << "row " << r;

    // Bad input is refused with nothing read.
    EXPECT_THROW(computeCarpet(run, std::vector<unsigned char>(1999, 1)), std::invalid_argument);
    EXPECT_THROW(computeCarpet(run, std::vector<unsigned char>(2000, 0)), std::invalid_argument);
    EXPECT_THROW(computeCarpet(run, mask, 0), std::invalid_argument);
    EXPECT_THROW(computeCarpet(run, mask, 10, std::vector<int>(5, 1)), std::invalid_argument);
}

TEST(Carpet, RunReportDrawsTheCarpetWithTheOutliersOfItsRuleAndTheRowsOfItsMask)
{
    // Spikes in the image at 12 and 30, and head jumps there in the motion,
    // so that framewise displacement peaks over the same columns.
    const int nt = 45;
    const fs::path dir = support::tempDir("carpet_report");
    const fs::path fmr = support::writeRun(dir, "run", spikedRun(20, 20, 6, nt, {12, 30}));
    support::MotionRows rows = support::stillRows(nt);
    for (int t = 0; t < nt; ++t) rows[std::size_t(t)][0] = 0.01 * (t % 2) + (t >= 12 ? 1.2 : 0.0) + (t >= 30 ? -0.9 : 0.0);
    const fs::path sdm = support::saveMotionSdm(dir / "run_3DMC.sdm", rows);
    const auto report = [&](const std::string& name, std::vector<std::string> extra) {
        std::vector<std::string> args = {"report", "--fmr", fmr.string(), "--sdm", sdm.string(), "--out", (dir / name).string()};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto r = support::runCli(args);
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        return support::readFile(dir / name);
    };
    const std::regex carpet("id=\"carpet\" data-rows=\"([0-9]+)\" data-volumes=\"([0-9]+)\" data-outliers=\"([0-9 ]*)\"");
    // By default the volumes above the FD threshold and the spike volumes; by a
    // rule, as the confounds table: an image spike at t raises DVARS at t (into
    // it) and t + 1 (out of it); the head jumps raise FD alone.
    const std::string html = report("report.html", {});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(html, m, carpet));
    EXPECT_EQ(m[2].str(), std::to_string(nt));
    EXPECT_EQ(m[3].str(), "12 30");
    for (const auto& [rule, marked] : {std::pair<std::string, std::string>{"dvars", "12 13 30 31"}, {"fd", "12 30"}}) {
        const std::string text = report("report_" + rule + ".html", {"--outliers-by", rule});
        std::smatch ruled;
        ASSERT_TRUE(std::regex_search(text, ruled, carpet)) << rule;
        EXPECT_EQ(ruled[3].str(), marked) << rule;
    }
    const int rowsShown = std::stoi(m[1].str());
    EXPECT_TRUE(rowsShown > 100 && rowsShown <= 1000) << rowsShown;

    // A brain mask on the run's grid decides the rows; a segmentation orders
    // them by region and leaves out the voxels of none. (A mask of another
    // grid: the golden case report_mask_of_another_grid.)
    support::NiftiLayout layout;
    layout.dims = {20, 20, 6, 1};
    layout.ndim = 3;
    std::vector<double> brain(20 * 20 * 6, 0.0), labels(brain.size(), 0.0);
    for (int i = 0; i < 150; ++i) brain[std::size_t(i * 13 % 2400)] = 1, labels[std::size_t(i * 13 % 2400)] = i < 40 ? 0 : i < 90 ? 2 : 1;
    labels[1] = 3; // outside the mask
    support::writeNifti((dir / "brain.nii").string(), layout, brain);
    support::writeNifti((dir / "labels.nii").string(), layout, labels);
    const std::string brainMask = (dir / "brain.nii").string();
    EXPECT_NE(report("masked.html", {"--mask", brainMask}).find("id=\"carpet\" data-rows=\"150\""), std::string::npos);
    const std::string regions = report("segmented.html", {"--mask", brainMask, "--segmentation", (dir / "labels.nii").string()});
    EXPECT_NE(regions.find("id=\"carpet\" data-rows=\"110\""), std::string::npos);
    EXPECT_NE(regions.find("label 1 (60 rows), <span style=\"color: #2ca02c\">&#9632;</span> label 2 (50 rows)."), std::string::npos);
}

TEST(Carpet, GroupPageCarriesTheCarpetsOfTheRunsWithTheHighestMeanFD)
{
    const fs::path dir = support::tempDir("carpet_group"), study = dir / "study", out = dir / "out";
    ASSERT_EQ(support::runCli({"synth", "--bids", study.string(), "--participants", "1"}).status, 0);
    ASSERT_EQ(support::runCli({"bids", study.string(), out.string(), "participant", "--jobs", "2"}).status, 0);
    ASSERT_EQ(support::runCli({"bids", study.string(), out.string(), "group"}).status, 0);
    // The runs by mean FD from the group table, highest first.
    std::vector<std::pair<double, std::string>> runs;
    const auto table = support::tsvRows(support::readFile(out / "group_motion.tsv"));
    const std::size_t meanFD = std::size_t(std::find(table[0].begin(), table[0].end(), "mean_fd") - table[0].begin());
    for (std::size_t r = 1; r < table.size(); ++r) {
        const auto& c = table[r];
        runs.emplace_back(std::stod(c.at(meanFD)), c[0] + "/" + c[1] + "/func/" + c[0] + "_" + c[1] + "_task-" + c[2] +
                                                  (c[3] == "n/a" ? "" : "_run-" + c[3]) + "_desc-motion_report.html");
    }
    ASSERT_EQ(runs.size(), 6u);
    std::sort(runs.rbegin(), runs.rend());
    // Three figures, in that order, each the one its run report holds but for
    // its ids, numbered on the group page.
    const std::string html = support::readFile(out / "group_report.html");
    std::size_t at = html.find("id=\"worst-carpets\"");
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(runs[std::size_t(k)].second);
        const std::size_t link = html.find("<a href=\"" + runs[std::size_t(k)].second + "\">", at);
        const std::size_t from = html.find("<!-- carpet -->", link), to = html.find("<!-- /carpet -->", from);
        ASSERT_TRUE(link != std::string::npos && to != std::string::npos);
        const std::string report = support::readFile(out / runs[std::size_t(k)].second);
        std::string figure = html.substr(from, to - from);
        const std::string numbered = " id=\"worst" + std::to_string(k + 1) + "-carpet";
        EXPECT_NE(figure.find(numbered + "-image\""), std::string::npos);
        for (std::size_t p = figure.find(numbered); p != std::string::npos; p = figure.find(numbered, p))
            figure.replace(p, numbered.size(), " id=\"carpet");
        EXPECT_EQ(figure, report.substr(std::min(report.find("<!-- carpet -->"), report.size()), figure.size()));
        at = to;
    }
    EXPECT_EQ(html.find("<!-- carpet -->", at), std::string::npos) << "three carpets";
}
