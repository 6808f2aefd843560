// Benchmark of analyzeConfounds on a synthetic run held by the stand-in host:
// 64 x 64 x 36 voxels, 300 volumes, about 40 % of the voxels inside an
// ellipsoidal "brain" (all values above 100), a 2-predictor task design and
// three 6-predictor confound sets.
//
//   bench_analyze [--write DIR] [--repeat K] [--threads N]
//
// --write DIR also writes the run and the designs as raw float32 files
// (run.f32: volume after volume; task.f32, conf0.f32 ...: predictor after
// predictor) so that another implementation can compute the same maps.
// Prints one line per repetition and a summary with the best wall time and
// the peak resident memory of the process.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "TMZRPluginInterface.h"
#include "host.h"
#include "myGLMfunctions.h"
#include "mySDM.h"
#include "parallel.h"
#include "tremora.h"

namespace {

constexpr int kX = 64, kY = 64, kZ = 36, kN = 300;

// Small deterministic generator (xorshift64*), normal values by Box-Muller.
struct Random {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    double uniform()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return double((state * 0x2545F4914F6CDD1Dull) >> 11) * (1.0 / 9007199254740992.0);
    }
    double normal()
    {
        const double u = uniform() + 1e-300, v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
    }
};

SDM makeSdm(const std::string& fileName, const std::vector<std::vector<float>>& predictors)
{
    SDM sdm;
    sdm.FileName = fileName;
    sdm.NrOfDataPoints = kN;
    int k = 0;
    for (const auto& p : predictors) sdm.AddPredictor(p, std::string("p").append(std::to_string(k++)), 250, 250, 250);
    return sdm;
}

void writeFloats(const std::string& path, const float* values, std::size_t count)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(values), std::streamsize(count * sizeof(float)));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void writeSdm(const std::string& path, const SDM& sdm)
{
    std::vector<float> all;
    for (const auto& p : sdm.Predictors) all.insert(all.end(), p.begin(), p.end());
    writeFloats(path, all.data(), all.size());
}

void quiet(const char*) {}

long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv)
{
    std::string writeDir;
    int repeat = 5, threads = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--write" && i + 1 < argc) writeDir = argv[++i];
        else if (a == "--repeat" && i + 1 < argc) repeat = std::stoi(argv[++i]);
        else if (a == "--threads" && i + 1 < argc) threads = std::stoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_analyze [--write DIR] [--repeat K] [--threads N]\n");
            return 2;
        }
    }
    parallel::setThreadCount(threads);
    if (!InitZRAccess()) {
        std::fprintf(stderr, "cannot bind the host functions\n");
        return 1;
    }

    Random rng;
    // Designs: a block task with its ramp, then motion-like confound sets:
    // slow random walks, their differences, their squares.
    std::vector<float> block(kN), ramp(kN);
    for (int t = 0; t < kN; ++t) {
        block[std::size_t(t)] = (t / 15) % 2 == 0 ? 1.0f : -1.0f;
        ramp[std::size_t(t)] = float(t - kN / 2) / float(kN);
    }
    const SDM task = makeSdm("/bench/run_task.sdm", {block, ramp});
    std::vector<std::vector<float>> walk(6, std::vector<float>(kN)), diff(6, std::vector<float>(kN)),
        square(6, std::vector<float>(kN));
    for (int k = 0; k < 6; ++k) {
        double x = 0.0;
        for (int t = 0; t < kN; ++t) {
            x += rng.normal() * 0.05;
            walk[std::size_t(k)][std::size_t(t)] = float(x);
        }
        for (int t = 0; t < kN; ++t) {
            const float prev = walk[std::size_t(k)][std::size_t(t > 0 ? t - 1 : 0)];
            diff[std::size_t(k)][std::size_t(t)] = walk[std::size_t(k)][std::size_t(t)] - prev;
            square[std::size_t(k)][std::size_t(t)] = walk[std::size_t(k)][std::size_t(t)] * walk[std::size_t(k)][std::size_t(t)];
        }
    }
    const std::vector<SDM> confounds = {makeSdm("/bench/run_3DMC_detr.sdm", walk),
                                        makeSdm("/bench/run_3DMC_deriv.sdm", diff),
                                        makeSdm("/bench/run_3DMC_sq.sdm", square)};

    // The run: an ellipsoid of radii 0.914 times the half extents holds 40 %
    // of the voxels; inside, a baseline of 500 to 900 plus task, confounds
    // and noise; outside, background near 40.
    const int voxels = kX * kY * kZ;
    host::State& state = host::state();
    state.documentId = 1;
    state.documentType = 1;
    state.writeMapFiles = false; // the work is timed, not the gzip of its maps
    host::Run& run = state.run;
    run.present = true;
    std::strcpy(run.header.FileName, "/bench/run.fmr");
    run.fmrPath = "/bench/run.fmr";
    run.header.NrOfVolumes = kN;
    run.header.DimX = kX;
    run.header.DimY = kY;
    run.header.DimZ = kZ;
    run.volumes.assign(kN, std::vector<float>(std::size_t(voxels)));
    int inside = 0;
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x) {
                const int v = (z * kY + y) * kX + x;
                const double dx = (x + 0.5 - kX / 2.0) / (0.914 * kX / 2.0);
                const double dy = (y + 0.5 - kY / 2.0) / (0.914 * kY / 2.0);
                const double dz = (z + 0.5 - kZ / 2.0) / (0.914 * kZ / 2.0);
                const bool brain = dx * dx + dy * dy + dz * dz <= 1.0;
                inside += brain ? 1 : 0;
                const double base = 500.0 + 400.0 * rng.uniform();
                double w[20];
                for (double& c : w) c = (rng.uniform() - 0.5) * 40.0;
                for (int t = 0; t < kN; ++t) {
                    double value;
                    if (brain) {
                        value = base + w[0] * block[std::size_t(t)] + w[1] * ramp[std::size_t(t)] + 10.0 * rng.normal();
                        for (int k = 0; k < 6; ++k)
                            value += w[2 + k] * walk[std::size_t(k)][std::size_t(t)] +
                                     w[8 + k] * diff[std::size_t(k)][std::size_t(t)] +
                                     w[14 + k] * square[std::size_t(k)][std::size_t(t)];
                    } else {
                        value = 40.0 + 15.0 * rng.normal();
                    }
                    run.volumes[std::size_t(t)][std::size_t(v)] = float(value);
                }
            }
    for (auto& volume : run.volumes) run.volumePointers.push_back(volume.data());
    run.loaded = true;

    if (!writeDir.empty()) {
        std::ofstream out(writeDir + "/run.f32", std::ios::binary);
        for (const auto& volume : run.volumes)
            out.write(reinterpret_cast<const char*>(volume.data()), std::streamsize(volume.size() * sizeof(float)));
        writeSdm(writeDir + "/task.f32", task);
        for (std::size_t c = 0; c < confounds.size(); ++c) writeSdm(writeDir + "/conf" + std::to_string(c) + ".f32", confounds[c]);
    }

    std::printf("run %dx%dx%d, %d volumes, %d voxels in the brain (%.1f %%), task 2 predictors, 3 confound sets of 6\n",
                kX, kY, kZ, kN, inside, 100.0 * inside / voxels);
    const long beforeKiB = peakKiB();
    double best = 1e30;
    for (int r = 0; r < repeat; ++r) {
        state.savedMaps.clear();
        state.maps.clear();
        TMZRLog log(&quiet);
        const auto start = std::chrono::steady_clock::now();
        analyzeConfounds(task, confounds, run.header, log);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, seconds);
        std::printf("analyzeConfounds: %.4f s, %zu maps\n", seconds, state.savedMaps.size());
    }
    // A checksum of the maps, so that the work cannot be optimised away and
    // runs can be compared.
    double checksum = 0.0;
    for (const auto& m : state.savedMaps)
        for (float x : m.voxels)
            if (std::isfinite(x)) checksum += x;
    std::printf("checksum %.6g\n", checksum);
    std::printf("RESULT cpp best_s=%.4f peak_rss_mib=%.1f data_peak_before_mib=%.1f threads=%d\n", best,
                peakKiB() / 1024.0, beforeKiB / 1024.0, parallel::threadCount());
    return 0;
}
