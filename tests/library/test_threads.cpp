// Worker threads: the work is shared out and every thread joined within the
// call; the plug-in's thread count follows the affinity mask unless set; the
// displacement maps are the same bits for 1, 2 and 7 threads; a map file that
// fails on a host thread is reported and loses nothing; batch hands each run
// its share of the cores. (The confound analysis runs on the affinity mask's
// threads against its double-precision oracle in the analysis suite.)
#include <dlfcn.h>
#include <sched.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>

#include "fixtures.h"
#include "gridtransformations.h"
#include "host.h"
#include "options.h"
#include "parallel.h"
#include "run.h"
#include "testing.h"
#include "tmpfs_mount.h"
#include "tremora.h"

namespace fs = std::filesystem;
using support::runCli;

namespace {

// Threads of this process, from /proc.
std::size_t threadsOfProcess()
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++n;
    return n;
}

} // namespace

TEST(WorkerPool, EveryPartOnceAndNoThreadOutlivesTheCall)
{
    for (const auto& [parts, threads] : std::vector<std::pair<std::size_t, int>>{{0, 3}, {1, 7}, {5, 2}, {1000, 7}, {1000, 1}}) {
        SCOPED_TRACE(std::to_string(parts) + " parts on " + std::to_string(threads) + " threads");
        const std::size_t before = threadsOfProcess();
        std::vector<std::atomic<int>> visits(parts);
        std::mutex mutex;
        std::size_t busiest = 0;
        parallel::forEach(parts, threads, [&](std::size_t part, int) {
            visits[part].fetch_add(1);
            std::lock_guard<std::mutex> lock(mutex);
            busiest = std::max(busiest, threadsOfProcess());
        });
        for (std::size_t part = 0; part < parts; ++part) ASSERT_EQ(visits[part].load(), 1) << "part " << part;
        const std::size_t most = std::max<std::size_t>(1, std::min<std::size_t>(parts, std::size_t(threads)));
        EXPECT_LE(busiest, before + most - 1) << "more threads than asked for";
        EXPECT_EQ(threadsOfProcess(), before) << "a thread outlived the call";
    }
    // A failing part reaches the caller and takes no thread with it.
    for (int threads : {1, 4}) {
        const std::size_t before = threadsOfProcess();
        std::string caught = "nothing";
        try {
            parallel::forEach(10000, threads, [](std::size_t part, int) {
                if (part == 10) throw std::runtime_error("part 10 failed");
            });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        EXPECT_EQ(caught, "part 10 failed") << threads << " threads";
        EXPECT_EQ(threadsOfProcess(), before) << "a thread outlived the failure";
    }
}

TEST(WorkerPool, ThePluginsCountFollowsTheAffinityMaskUnlessSet)
{
    auto set = reinterpret_cast<void (*)(int)>(dlsym(support::pluginLibrary(), "setPluginThreads"));
    auto get = reinterpret_cast<int (*)()>(dlsym(support::pluginLibrary(), "getPluginThreads"));
    ASSERT_TRUE(set && get) << "the program resolves both by name";
    cpu_set_t all, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    int first = 0;
    while (!CPU_ISSET(first, &all)) ++first;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    set(0);
    EXPECT_EQ(get(), CPU_COUNT(&all)) << "by default the cores the process may use";
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(get(), 1) << "a narrower mask, fewer threads";
    set(3);
    EXPECT_EQ(get(), 3) << "a count set is kept whatever the mask";
    set(0);
    EXPECT_EQ(get(), 1) << "0 returns to the mask";
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}

TEST(SameBits, DisplacementMapsFor1And2And7Threads)
{
    // 24 x 24 x 20 voxels, ten in eleven in the mask, but neither the first
    // nor the last: many chunks of blocks for seven workers, a last block
    // that is not full, and voxels outside the mask at both ends.
    const glm::tvec3<int> dims(24, 24, 20);
    const glm::tvec3<float> extent(24 * 3.0f, 24 * 3.0f, 20 * 3.5f);
    const int last = dims.x * dims.y * dims.z - 1;
    std::vector<int> mask;
    for (int i = 1; i < last; ++i)
        if (i % 11 != 3) mask.push_back(i);
    ASSERT_NE(mask.size() % 16, 0u);
    // The same voxels listed backwards must give the same maps.
    const std::vector<int> backwards(mask.rbegin(), mask.rend());
    // Rotation with translation in every volume: a voxel's path depends on
    // where it lies, so a voxel given another voxel's work would show.
    const int n = 30;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> translation(-1.5, 1.5), rotation(-2.0, 2.0);
    support::MotionRows rows(n);
    for (auto& row : rows)
        for (int p = 0; p < 6; ++p) row[std::size_t(p)] = p < 3 ? translation(random) : rotation(random);
    const SDM motion = support::motionSdm(rows);

    // The plain algorithm, one volume at a time over the whole grid moved by
    // the sampling code: every voxel's seven measures, the mask's voxels only.
    const auto g0 = getGrid3D(dims, extent);
    auto previous = g0;
    const std::size_t voxels = g0.size();
    std::vector<std::vector<float>> expected(7, std::vector<float>(voxels, 0.0f));
    std::vector<char> inMask(voxels, 0);
    for (int i : mask) inMask[std::size_t(i)] = 1;
    for (int t = 0; t < n; ++t) {
        Vector<float> p(6);
        for (int k = 0; k < 6; ++k) p[k] = motion.Predictors[std::size_t(k)][std::size_t(t)];
        const auto gt = getTransformedGrid3D(g0, getTrfMatrixTM(p));
        for (std::size_t j = 0; j < voxels; ++j) {
            if (!inMask[j]) continue;
            const glm::tvec3<float> da = gt[j] - g0[j], dr = gt[j] - previous[j];
            const float a = std::sqrt((da.x * da.x + da.y * da.y) + da.z * da.z);
            const float r = std::sqrt(dr.x * dr.x + dr.y * dr.y + dr.z * dr.z);
            const float measures[7] = {a, a, r, r, std::fabs(da.x), std::fabs(da.y), std::fabs(da.z)};
            for (int m = 0; m < 7; ++m) {
                float& e = expected[std::size_t(m)][j];
                e = (m == 1 || m == 3) ? e + measures[m] : (e > measures[m] ? e : measures[m]);
            }
        }
        previous = gt;
    }
    for (float& v : expected[1]) v /= float(n);
    for (float& v : expected[3]) v /= float(n);

    const std::vector<int>* const orders[] = {&mask, &backwards};
    for (int threads : {1, 2, 7}) {
        for (const std::vector<int>* order : orders) {
            const DisplacementMaps maps = computeDisplacementMaps(motion, dims, extent, *order, threads);
            const std::pair<const char*, const Volume<float>*> got[] = {
                {"maximum absolute", &maps.maxAbsolute}, {"mean absolute", &maps.meanAbsolute},
                {"maximum relative", &maps.maxRelative}, {"mean relative", &maps.meanRelative},
                {"maximum x", &maps.maxAbsoluteX},       {"maximum y", &maps.maxAbsoluteY},
                {"maximum z", &maps.maxAbsoluteZ}};
            for (int m = 0; m < 7; ++m) {
                const Volume<float>& volume = *got[m].second;
                ASSERT_EQ(std::size_t(volume.size()), voxels);
                EXPECT_EQ(std::memcmp(volume.data(), expected[std::size_t(m)].data(), voxels * sizeof(float)), 0)
                    << got[m].first << " on " << threads << " threads, mask listed "
                    << (order == &mask ? "in order" : "backwards");
            }
        }
    }
}

TEST(HostMapThreads, AMapThatFailsOnAHostThreadIsShownAndLosesNothing)
{
    const fs::path runDir = support::tempDir("threads-fail-run");
    ASSERT_EQ(runCli({"synth", "--out", runDir.string(), "--name", "run", "--dims", "64", "64", "16", "--volumes", "8"}).status, 0);
    host::reset();
    host::State& s = host::state();
    host::openRun(s, (runDir / "run.fmr").string());
    // A disk far too small for one map: the save's own checks pass, the
    // writing on the host's thread fails.
    TmpfsMount disk("threads-fail", "32k");
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    const fs::path dir = disk.dir(), target = dir / "run_3DMC_MaxAbsolute.nii.gz";
    fs::copy_file(runDir / "run_3DMC.sdm", dir / "run_3DMC.sdm");
    support::writeFile(target, "the result of an earlier run\n");
    support::setParameters(support::displacementParameters(dir / "run_3DMC.sdm", {"map_max_abs"}));
    s.parameters["fmr_threshold"] = "0";
    s.mapWriters = 2;
    support::runTask("displacement");
    EXPECT_TRUE(s.messages.empty()) << "the save itself went through";
    EXPECT_EQ(host::finishMapWrites(s), 1);
    EXPECT_EQ(s.messages, (std::vector<std::string>{"Error: Cannot write map " + target.string() + " (writing failed: " +
                                                    std::strerror(ENOSPC) + ")"}));
    ASSERT_EQ(s.savedMaps.size(), 1u);
    EXPECT_EQ(s.savedMaps[0].file, "") << "no file written";
    EXPECT_EQ(support::readFile(target), "the result of an earlier run\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "no temporary file beside the two";
}

// How the share reaches a run's steps: the golden case batch_threads_per_run.
TEST(BatchThreads, TheCoresAreDividedAmongTheRunsAtOnce)
{
    // {cores, --jobs, runs, threads each}
    const std::tuple<int, long, std::size_t, int> cases[] = {
        {2, 2, 5, 1},  // two runs at once on two cores
        {2, 1, 3, 2},  // one at a time takes both
        {8, 3, 10, 2}, // what is left over stays free rather than be shared unevenly
        {8, 4, 2, 4},  // fewer runs than jobs: the runs there are share the cores
        {1, 4, 4, 1},  // never below one
    };
    for (const auto& [cores, jobs, runs, each] : cases)
        EXPECT_EQ(tool::threadsPerRun(cores, jobs, runs), each) << cores << " cores, --jobs " << jobs << ", " << runs << " runs";
}
