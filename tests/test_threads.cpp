// Worker threads: the work is shared out and every thread joined within the
// call; the plug-in's thread count follows the affinity mask unless set; the
// displacement maps and the confound analysis are the same bits for 1, 2 and
// 7 threads, through the library and through the program, whose map files
// (written on host threads) nibabel and nifti_clib read; a map file that
// fails on a host thread is reported and loses nothing; batch hands each run
// its share of the cores.
#include <dlfcn.h>
#include <sched.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

#include "gridtransformations.h"
#include "host.h"
#include "myGLMfunctions.h"
#include "mySDM.h"
#include "nifti.h"
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

SDM motionSdm(int volumes, unsigned seed)
{
    // Rotation with translation in every volume: a voxel's path depends on
    // where it lies, so a voxel given another voxel's work would show.
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> translation(-1.5f, 1.5f), rotation(-2.0f, 2.0f);
    SDM sdm;
    sdm.NrOfDataPoints = volumes;
    for (int p = 0; p < 6; ++p) {
        std::vector<float> values(static_cast<std::size_t>(volumes));
        for (float& v : values) v = p < 3 ? translation(random) : rotation(random);
        sdm.AddPredictor(values, "p" + std::to_string(p), 0, 0, 0);
    }
    return sdm;
}

bool sameBits(const Volume<float>& a, const Volume<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(float) * std::size_t(a.size())) == 0;
}

std::string output(const std::string& command)
{
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "cannot run " + command;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    const int status = pclose(pipe);
    return status == 0 ? text : "status " + std::to_string(status) + ": " + text;
}

} // namespace

// ---------------------------------------------------------------- the pool

TEST(WorkerPool, EveryPartOnceAndNoThreadOutlivesTheCall)
{
    const struct {
        std::size_t parts;
        int threads;
    } cases[] = {{0, 3}, {1, 7}, {5, 2}, {7, 7}, {1000, 7}, {1000, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.parts) + " parts on " + std::to_string(c.threads) + " threads");
        const std::size_t before = threadsOfProcess();
        std::vector<std::atomic<int>> visits(c.parts);
        std::mutex mutex;
        std::set<int> workers;
        std::size_t busiest = 0;
        parallel::forEach(c.parts, c.threads, [&](std::size_t part, int worker) {
            visits[part].fetch_add(1);
            std::lock_guard<std::mutex> lock(mutex);
            workers.insert(worker);
            busiest = std::max(busiest, threadsOfProcess());
        });
        for (std::size_t part = 0; part < c.parts; ++part) ASSERT_EQ(visits[part].load(), 1) << "part " << part;
        const std::size_t most = std::max<std::size_t>(1, std::min<std::size_t>(c.parts, std::size_t(c.threads)));
        EXPECT_LE(workers.size(), most);
        for (int w : workers) EXPECT_TRUE(w >= 0 && std::size_t(w) < most) << "worker " << w;
        EXPECT_LE(busiest, before + most - 1) << "more threads than asked for";
        EXPECT_EQ(threadsOfProcess(), before) << "a thread outlived the call";
    }
}

TEST(WorkerPool, AFailingPartReachesTheCaller)
{
    for (int threads : {1, 4}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        const std::size_t before = threadsOfProcess();
        std::atomic<std::size_t> done{0};
        try {
            parallel::forEach(10000, threads, [&](std::size_t part, int) {
                if (part == 10) throw std::runtime_error("part 10 failed");
                done.fetch_add(1);
            });
            ADD_FAILURE() << "the failure was lost";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "part 10 failed");
        }
        // On one thread the parts go in order and stop at the failure (on
        // more, how many others were under way then is the scheduler's).
        if (threads == 1) EXPECT_EQ(done.load(), 10u);
        EXPECT_EQ(threadsOfProcess(), before) << "a thread outlived the call";
    }
}

TEST(WorkerPool, ThePluginsCountFollowsTheAffinityMaskUnlessSet)
{
    using Set = void (*)(int);
    using Get = int (*)();
    auto set = reinterpret_cast<Set>(dlsym(support::pluginLibrary(), "setPluginThreads"));
    auto get = reinterpret_cast<Get>(dlsym(support::pluginLibrary(), "getPluginThreads"));
    ASSERT_NE(set, nullptr) << "the program resolves setPluginThreads by name";
    ASSERT_NE(get, nullptr);

    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    int first = 0;
    while (!CPU_ISSET(first, &all)) ++first;
    cpu_set_t one;
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
    EXPECT_EQ(get(), CPU_COUNT(&all));
}

// ---------------------------------------------------------------- the same bits for any count

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
    const int n = 30;
    const SDM motion = motionSdm(n, 7);

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

TEST(SameBits, ConfoundAnalysisFor1And2And7Threads)
{
    // 24 x 20 x 12 voxels, 40 volumes: the voxels above 100 make some 150
    // panels, the others are skipped.
    const glm::tvec3<int> dims(24, 20, 12);
    const int n = 40, voxels = dims.x * dims.y * dims.z;
    std::mt19937 random(99);
    std::normal_distribution<float> noise(0.0f, 5.0f);
    std::vector<std::vector<float>> data(n, std::vector<float>(std::size_t(voxels)));
    std::vector<float> task(n), drift(n), jump(n);
    for (int t = 0; t < n; ++t) {
        task[std::size_t(t)] = (t / 6) % 2 ? 1.0f : -1.0f;
        drift[std::size_t(t)] = float(t) / float(n);
        jump[std::size_t(t)] = t > 27 ? 1.0f : 0.0f;
    }
    for (int v = 0; v < voxels; ++v) {
        const float base = v % 7 == 0 ? 50.0f : 400.0f + float(v % 13) * 20.0f;
        for (int t = 0; t < n; ++t)
            data[std::size_t(t)][std::size_t(v)] = base + 8.0f * task[std::size_t(t)] + 15.0f * drift[std::size_t(t)] * float(v % 5) +
                                                   6.0f * jump[std::size_t(t)] + noise(random);
    }
    std::vector<float*> volumes;
    for (auto& volume : data) volumes.push_back(volume.data());
    const auto sdm = [&](const std::string& name, std::vector<std::vector<float>> predictors) {
        SDM s;
        s.FileName = name;
        s.NrOfDataPoints = n;
        for (auto& p : predictors) s.AddPredictor(p, "p", 0, 0, 0);
        return s;
    };
    const SDM design = sdm("/runs/run_task.sdm", {task});
    const std::vector<SDM> confounds = {sdm("/runs/run_3DMC_detr.sdm", {drift}), sdm("/runs/run_3DMC_spikes.sdm", {jump})};
    const RunTimeCourses run{volumes.data(), n, dims, "/runs/run.fmr"};

    const auto analyse = [&](int threads) {
        ConfoundAnalysis analysis(design, confounds, run, threads);
        std::vector<ConfoundMap> maps;
        while (!analysis.done())
            for (ConfoundMap& map : analysis.next().maps) maps.push_back(std::move(map));
        return maps;
    };
    const std::vector<ConfoundMap> one = analyse(1);
    ASSERT_EQ(one.size(), 12u);
    for (int threads : {2, 7}) {
        const std::vector<ConfoundMap> many = analyse(threads);
        ASSERT_EQ(many.size(), one.size());
        for (std::size_t k = 0; k < one.size(); ++k) {
            EXPECT_EQ(many[k].fileName, one[k].fileName);
            EXPECT_TRUE(sameBits(many[k].volume, one[k].volume)) << one[k].fileName << ", " << threads << " threads";
            EXPECT_EQ(std::memcmp(&many[k].threshold2, &one[k].threshold2, sizeof(float)), 0) << one[k].fileName;
        }
    }
    EXPECT_GT(one.back().volume.max(), 0.0f) << "the F of adding the jump";

    // Each voxel's own time course was analysed: the data's tSNR, mean over
    // sample standard deviation, in double; 0 where a value is not above 100.
    ASSERT_EQ(one[0].fileName, "/runs/run_tSNR_data.map");
    for (int v = 0; v < voxels; ++v) {
        double sum = 0.0, lowest = 1e30;
        for (int t = 0; t < n; ++t) sum += data[std::size_t(t)][std::size_t(v)], lowest = std::min<double>(lowest, data[std::size_t(t)][std::size_t(v)]);
        const double mean = sum / n;
        double squares = 0.0;
        for (int t = 0; t < n; ++t) squares += std::pow(data[std::size_t(t)][std::size_t(v)] - mean, 2);
        const double tsnr = lowest > 100.0 ? mean / std::sqrt(squares / (n - 1)) : 0.0;
        // Single-precision sums of 40 values near 500: a few units in the 7th digit.
        ASSERT_NEAR(one[0].volume[v], tsnr, 1e-5 * tsnr) << "voxel " << v;
    }
}

// Through the program: the maps it writes, the voxels computed on 1, 2 and 7
// threads and the files compressed on as many host threads, are the same
// bytes; nibabel and nifti_clib read the same voxels from them.
TEST(SameBits, ProgramMapFilesFor1And2And7Threads)
{
    const fs::path dir = support::tempDir("threads-cli");
    ASSERT_EQ(runCli({"synth", "--out", dir.string(), "--name", "run", "--dims", "40", "36", "20", "--volumes", "25"}).status, 0);
    std::map<int, std::vector<fs::path>> written;
    for (int threads : {1, 2, 7}) {
        const fs::path folder = dir / ("threads" + std::to_string(threads));
        fs::create_directories(folder);
        for (const char* file : {"run.fmr", "run.stc", "run_3DMC.sdm"}) fs::copy_file(dir / file, folder / file);
        const auto r = runCli({"displacement", "--fmr", (folder / "run.fmr").string(), "--sdm",
                               (folder / "run_3DMC.sdm").string(), "--threads", std::to_string(threads)});
        ASSERT_EQ(r.status, 0) << r.err;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().string().ends_with(".nii.gz")) written[threads].push_back(entry.path().filename());
        std::sort(written[threads].begin(), written[threads].end());
        EXPECT_EQ(written[threads].size(), 7u) << r.out;
    }
    for (int threads : {2, 7}) {
        ASSERT_EQ(written[threads], written[1]);
        for (const fs::path& name : written[1])
            EXPECT_EQ(support::readBytes(dir / ("threads" + std::to_string(threads)) / name),
                      support::readBytes(dir / "threads1" / name))
                << name << " on " << threads << " threads";
    }

    const fs::path map = dir / "threads2" / "run_3DMC_MaxAbsolute.nii.gz";
    std::array<int, 3> dims{};
    const std::vector<float> voxels = support::readFloatNifti(map.string(), &dims);
    EXPECT_EQ(dims, (std::array<int, 3>{40, 36, 20}));
    double sum = 0.0;
    for (float v : voxels) sum += v;
    EXPECT_GT(sum, 0.0);
    // nibabel's reading, voxel for voxel in the same order (x fastest).
    const fs::path raw = dir / "nibabel.f32";
    const std::string said = output("/usr/bin/python3 -c \"import nibabel as nib, numpy as np; i = nib.load('" +
                                    map.string() + "'); d = np.asarray(i.dataobj); print(d.shape, d.dtype); "
                                    "d.ravel(order='F').astype('<f4').tofile('" + raw.string() + "')\"");
    EXPECT_EQ(said, "(40, 36, 20) float32\n");
    const std::vector<unsigned char> bytes = support::readBytes(raw);
    ASSERT_EQ(bytes.size(), voxels.size() * sizeof(float));
    EXPECT_EQ(std::memcmp(bytes.data(), voxels.data(), bytes.size()), 0) << "nibabel and nifti_clib read other voxels";
}

// ---------------------------------------------------------------- failures on the host's threads

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
    const fs::path dir = disk.dir();
    fs::copy_file(runDir / "run_3DMC.sdm", dir / "run_3DMC.sdm");
    const fs::path target = dir / "run_3DMC_MaxAbsolute.nii.gz";
    support::writeFile(target, "the result of an earlier run\n");
    for (const auto& [name, value] : std::map<std::string, std::string>{
             {"fmr_threshold", "0"}, {"map_max_abs", "1"}, {"map_mean_abs", "0"}, {"map_max_rel", "0"},
             {"map_mean_rel", "0"}, {"map_max_abs_x", "0"}, {"map_max_abs_y", "0"}, {"map_max_abs_z", "0"},
             {"plot_regular", "0"}, {"plot_detrended", "0"}})
        s.parameters[name] = value;
    s.parameters["sdmfile"] = (dir / "run_3DMC.sdm").string();
    s.mapWriters = 2;

    support::runTask("displacement");
    EXPECT_TRUE(s.messages.empty()) << "the save itself went through";
    EXPECT_EQ(host::finishMapWrites(s), 1);
    EXPECT_EQ(s.messages, (std::vector<std::string>{"Error: Cannot write map " + target.string() +
                                                    " (writing failed: " + std::strerror(ENOSPC) + ")"}));
    ASSERT_EQ(s.savedMaps.size(), 1u);
    EXPECT_EQ(s.savedMaps[0].file, "") << "no file written";
    EXPECT_EQ(support::readFile(target), "the result of an earlier run\n");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"run_3DMC.sdm", "run_3DMC_MaxAbsolute.nii.gz"})) << "no temporary file";
}

// ---------------------------------------------------------------- batch

TEST(BatchThreads, TheCoresAreDividedAmongTheRunsAtOnce)
{
    const struct {
        int cores;
        long jobs;
        std::size_t runs;
        int each;
    } cases[] = {
        {2, 2, 5, 1},  // two runs at once on two cores
        {2, 1, 3, 2},  // one at a time takes both
        {8, 3, 10, 2}, // what is left over stays free rather than be shared unevenly
        {8, 4, 2, 4},  // fewer runs than jobs: the runs there are share the cores
        {1, 4, 4, 1},  // never below one
    };
    for (const auto& c : cases)
        EXPECT_EQ(tool::threadsPerRun(c.cores, c.jobs, c.runs), c.each)
            << c.cores << " cores, --jobs " << c.jobs << ", " << c.runs << " runs";

    // The share reaches the run's steps.
    const fs::path dir = support::tempDir("threads-batch");
    ASSERT_EQ(runCli({"synth", "--out", (dir / "a").string(), "--dims", "8", "8", "4", "--volumes", "20", "--name", "a"}).status, 0);
    const auto r = runCli({"batch", "--jobs", "1", "--threads", "3", "--summary", (dir / "summary.tsv").string(),
                           (dir / "a").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string log = support::readFile(dir / "a" / "tremora_batch.log");
    EXPECT_NE(log.find("== tremora displacement --fmr " + (dir / "a" / "a.fmr").string() + " --sdm " +
                       (dir / "a" / "a_3DMC.sdm").string() + " --maps all --threads 3"),
              std::string::npos)
        << log;
}
