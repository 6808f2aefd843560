// tremora synth: the phantom looks like a head, the motion jumps where it
// says, the task signal lies where the task SDM says it does. (The files'
// layout is in the golden tier.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <regex>
#include <sstream>

#include "myFMR.h"
#include "mySDM.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::runCli;

namespace {

support::CliResult synth(const fs::path& dir, std::vector<std::string> extra)
{
    std::vector<std::string> args = {"synth", "--out", dir.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return runCli(args);
}

// The jump volumes named in the program's output.
std::vector<int> printedJumps(const std::string& out)
{
    std::smatch m;
    std::vector<int> jumps;
    if (!std::regex_search(out, m, std::regex("jumps at volumes ([0-9, ]+)\\)"))) return jumps;
    std::istringstream in(m[1].str());
    for (std::string word; std::getline(in, word, ',');) jumps.push_back(std::stoi(word));
    return jumps;
}

// Framewise displacement: summed absolute change of the six parameters, the
// rotations (degrees) taken as arcs on a 50 mm sphere.
std::vector<double> framewiseDisplacement(const SDM& motion)
{
    const int n = motion.NrOfDataPoints.value();
    std::vector<double> fd(std::size_t(n), 0.0);
    for (int v = 1; v < n; ++v)
        for (int k = 0; k < 6; ++k) {
            const double d = std::fabs(motion.Predictors[k][v] - motion.Predictors[k][v - 1]);
            fd[std::size_t(v)] += k < 3 ? d : 50.0 * d * M_PI / 180.0;
        }
    return fd;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b)
{
    const double n = double(a.size());
    const double ma = std::accumulate(a.begin(), a.end(), 0.0) / n, mb = std::accumulate(b.begin(), b.end(), 0.0) / n;
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

} // namespace

TEST(Synth, PhantomLooksLikeAHead)
{
    const fs::path dir = support::tempDir("synth-head");
    ASSERT_EQ(synth(dir, {"--dims", "40", "40", "12", "--volumes", "3"}).status, 0);
    FMR fmr((dir / "synth.fmr").string(), false);
    fmr.LoadSTCVolume(0);
    const Volume<float>& v = fmr.Volumes[0];
    // Background: the corners of every slice are dark (noise magnitude, mostly below 20).
    double corners = 0;
    int n = 0;
    for (int z = 0; z < 12; ++z)
        for (int y : {0, 1, 38, 39})
            for (int x : {0, 1, 38, 39}) {
                corners += v[(z * 40 + y) * 40 + x];
                ++n;
                EXPECT_GE(v[(z * 40 + y) * 40 + x], 0.0f);
            }
    EXPECT_LT(corners / n, 20.0) << "mean background";
    // The middle of the central slices holds brain tissue, between CSF and white matter levels.
    double centre = 0;
    n = 0;
    for (int z = 5; z <= 6; ++z)
        for (int y = 14; y < 26; ++y)
            for (int x = 14; x < 26; ++x, ++n) centre += v[(z * 40 + y) * 40 + x];
    EXPECT_GT(centre / n, 300.0);
    EXPECT_LT(centre / n, 850.0);
    // Brain-like intensities (grey and white matter, 500 to 900) fill a good part of the volume.
    int brain = 0;
    for (int i = 0; i < v.size(); ++i) brain += v[i] > 500.0f && v[i] < 900.0f;
    EXPECT_GT(brain, v.size() / 5);
    EXPECT_LT(brain, v.size() * 3 / 4);
}

TEST(Synth, MotionJumpsWhereItSays)
{
    struct Case {
        int volumes;
        std::string seed;
        std::size_t jumps;
    };
    for (const Case c : {Case{200, "1", 3}, Case{6, "1", 1}, Case{2, "1", 0}}) {
        const fs::path dir = support::tempDir("synth-motion");
        const auto r = synth(dir, {"--dims", "4", "4", "2", "--volumes", std::to_string(c.volumes), "--seed", c.seed});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<int> jumps = printedJumps(r.out);
        ASSERT_EQ(jumps.size(), c.jumps) << r.out;
        SDM motion((dir / "synth_3DMC.sdm").string());
        const std::vector<double> fd = framewiseDisplacement(motion);
        // The printed volumes are exactly the ones with the largest displacement,
        // and each of them stands far above the rest of the run.
        std::vector<int> order(std::size_t(c.volumes));
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](int a, int b) { return fd[a] > fd[b]; });
        std::vector<int> largest(order.begin(), order.begin() + std::ptrdiff_t(jumps.size()));
        std::sort(largest.begin(), largest.end());
        EXPECT_EQ(largest, jumps) << r.out;
        const double quiet = jumps.size() < std::size_t(c.volumes) ? fd[order[jumps.size()]] : 0.0;
        for (int j : jumps) {
            EXPECT_GT(fd[j], 0.5) << "volume " << j;
            EXPECT_GT(fd[j], 3 * quiet) << "volume " << j << " against the largest quiet step " << quiet;
        }
        // Within the range the SDM reader takes exactly (under 10 mm and 10 degrees).
        for (const auto& p : motion.Predictors)
            for (float value : p) EXPECT_LT(std::fabs(value), 9.9f);
    }
}

TEST(Synth, TaskSignalLiesInOneRegionAndFollowsTheTask)
{
    const fs::path plain = support::tempDir("synth-plain"), task = support::tempDir("synth-task");
    const std::vector<std::string> options = {"--dims", "24", "24", "8", "--volumes", "90", "--seed", "5"};
    ASSERT_EQ(synth(plain, options).status, 0);
    std::vector<std::string> withTask = options;
    withTask.push_back("--task-sdm");
    const auto r = synth(task, withTask);
    ASSERT_EQ(r.status, 0) << r.err;

    SDM design((task / "synth_task.sdm").string());
    ASSERT_EQ(design.NrOfPredictors.value(), 2);
    EXPECT_EQ(design.NrOfDataPoints.value(), 90);
    EXPECT_TRUE(design.HasBaseline()) << "the constant comes last";
    const std::vector<float>& course = design.Predictors[0];
    EXPECT_NEAR(*std::max_element(course.begin(), course.end()), 1.0f, 1e-6f); // scaled to a peak of 1
    EXPECT_NEAR(course[5], 0.0f, 1e-6f) << "the run starts at rest";
    // The response lags the blocks: high late in a task block, low late in a rest block.
    EXPECT_GT(course[38], 0.8f);
    EXPECT_LT(course[58], 0.2f);

    // Same seed, same noise: the difference of the two runs is the task signal alone.
    FMR a((plain / "synth.fmr").string(), true), b((task / "synth.fmr").string(), true);
    std::vector<double> taskCourse(course.begin(), course.end());
    int active = 0;
    for (int i = 0; i < a.Volumes[0].size(); ++i) {
        std::vector<double> diff(90), baseline(90);
        double largest = 0;
        for (int v = 0; v < 90; ++v) {
            diff[v] = double(b.Volumes[v][i]) - a.Volumes[v][i];
            baseline[v] = a.Volumes[v][i];
            largest = std::max(largest, std::fabs(diff[v]));
        }
        if (largest == 0) continue;
        ++active;
        // follows the task, at about 2 % of the voxel's intensity (float rounding of ~600: 1e-4)
        EXPECT_GT(correlation(diff, taskCourse), 0.999) << "voxel " << i;
        const double mean = std::accumulate(baseline.begin(), baseline.end(), 0.0) / 90;
        EXPECT_NEAR(largest / mean, 0.02, 0.002) << "voxel " << i;
    }
    EXPECT_GT(active, 10) << "the task region is empty";
    EXPECT_LT(active, a.Volumes[0].size() / 10) << "the task region is not a region";
}
