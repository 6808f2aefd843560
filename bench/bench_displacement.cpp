// The voxel displacement computation on a synthetic run: wall time (best of
// five), masked voxel-volume updates per second and peak memory.
//
// usage: bench_displacement NX NY NZ VOLUMES [MASK_FRACTION] [SEED] [--threads N]
// (threads: default the library's, the cores the process may use)
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <string>

#include "mySDM.h"
#include "parallel.h"
#include "tremora.h"

namespace {

// Slow drift plus three jumps, as the numpy version makes it.
SDM syntheticMotion(int volumes, std::mt19937& random)
{
    SDM sdm;
    sdm.NrOfDataPoints = volumes;
    std::normal_distribution<float> jump(0.0f, 0.6f);
    std::vector<std::vector<float>> p(6, std::vector<float>(static_cast<std::size_t>(volumes)));
    for (int k = 0; k < 6; ++k)
        for (int t = 0; t < volumes; ++t)
            p[static_cast<std::size_t>(k)][static_cast<std::size_t>(t)] =
                0.4f * std::sin(static_cast<float>(t) / (37.0f + 11.0f * k)) + 0.002f * t * (k + 1) / 6.0f;
    for (int j = 0; j < 3; ++j) {
        const int at = static_cast<int>(random() % static_cast<unsigned>(volumes));
        for (int k = 0; k < 3; ++k) {
            const float step = jump(random);
            for (int t = at; t < volumes; ++t) p[static_cast<std::size_t>(k)][static_cast<std::size_t>(t)] += step;
        }
    }
    for (int k = 0; k < 6; ++k) sdm.AddPredictor(p[static_cast<std::size_t>(k)], "p" + std::to_string(k), 0, 0, 0);
    return sdm;
}

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv)
{
    int threads = 0;
    std::vector<char*> positional;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--threads" && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else
            positional.push_back(argv[i]);
    }
    argc = static_cast<int>(positional.size()) + 1;
    for (int i = 1; i < argc; ++i) argv[i] = positional[static_cast<std::size_t>(i - 1)];
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s NX NY NZ VOLUMES [MASK_FRACTION] [SEED] [--threads N]\n", argv[0]);
        return 2;
    }
    threads = parallel::resolve(threads);
    const glm::tvec3<int> dims(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]));
    const int volumes = std::atoi(argv[4]);
    const double fraction = argc > 5 ? std::atof(argv[5]) : 0.4;
    std::mt19937 random(argc > 6 ? static_cast<unsigned>(std::atoi(argv[6])) : 1u);
    const glm::tvec3<float> extent(dims.x * 3.0f, dims.y * 3.0f, dims.z * 3.0f);

    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<int> mask;
    for (int i = 0; i < dims.x * dims.y * dims.z; ++i)
        if (uniform(random) < fraction) mask.push_back(i);
    const SDM motion = syntheticMotion(volumes, random);
    const long before = peakKilobytes();

    double best = 1e30;
    float checksum = 0.0f;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const auto start = std::chrono::steady_clock::now();
        const DisplacementMaps maps = computeDisplacementMaps(motion, dims, extent, mask, threads);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds < best) best = seconds;
        checksum = maps.meanAbsolute.mean() + maps.meanRelative.mean();
    }
    const double updates = static_cast<double>(mask.size()) * volumes;
    std::printf("tremora threads=%d seconds=%.4f voxels=%zu volumes=%d updates_per_second=%.4g peak_rss_kb=%ld "
                "(before the computation %ld) checksum=%g\n",
                threads, best, mask.size(), volumes, updates / best, peakKilobytes(), before,
                static_cast<double>(checksum));
    return 0;
}
