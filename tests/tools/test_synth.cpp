// tremora synth: the task signal lies where the task SDM says it does. (Its
// files and the jumps it prints are in the golden tier.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "myFMR.h"
#include "mySDM.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::runCli;

namespace {

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

TEST(Synth, TaskSignalLiesInOneRegionAndFollowsTheTask)
{
    const fs::path plain = support::tempDir("synth-plain"), task = support::tempDir("synth-task");
    for (const fs::path& dir : {plain, task}) {
        std::vector<std::string> args = {"synth", "--out", dir.string(), "--dims", "24", "24", "8", "--volumes", "90", "--seed", "5"};
        if (dir == task) args.push_back("--task-sdm");
        const auto r = runCli(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // (The task SDM's course, lagging the blocks, is in the golden tier.)
    SDM design((task / "synth_task.sdm").string());
    ASSERT_EQ(design.NrOfPredictors.value(), 2);
    EXPECT_TRUE(design.HasBaseline()) << "the constant comes last";
    // Same seed, same noise: the difference of the two runs is the task signal alone.
    FMR a((plain / "synth.fmr").string(), true), b((task / "synth.fmr").string(), true);
    const std::vector<double> taskCourse(design.Predictors[0].begin(), design.Predictors[0].end());
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
