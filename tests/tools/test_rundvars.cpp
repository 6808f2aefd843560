// DVARS once per run's job: the table step's result is given to the report
// step only for the same slice data and mask; changed data or another mask
// are computed afresh; 16-bit slice data give the floats' numbers.
#include <filesystem>

#include "dvars.h"
#include "fixtures.h"
#include "myFMR.h"
#include "rundvars.h"
#include "testing.h"

namespace fs = std::filesystem;

namespace {

bool same(const qc::DVARS& a, const qc::DVARS& b)
{
    return a.dvars == b.dvars && a.standardized == b.standardized && a.voxelwise == b.voxelwise && a.median == b.median &&
           a.voxels == b.voxels && a.constant == b.constant;
}

support::RunOnDisk noisyRun(unsigned seed)
{
    support::RunOnDisk run;
    run.nx = 6, run.ny = 5, run.nz = 4, run.volumes = 30;
    run.value = [seed](int x, int y, int z, int t) {
        unsigned h = seed ^ unsigned(((x * 31 + y) * 17 + z) * 131 + t) * 2654435761u;
        h ^= h >> 13, h *= 0x5bd1e995u, h ^= h >> 15;
        return float(900 + 20 * x + 7 * z + (t == 11 ? 40 : 0) + int(h % 41));
    };
    return run;
}

} // namespace

TEST(RunDVARS, KeptOnlyForTheSameSliceDataAndMask)
{
    const fs::path dir = support::tempDir("rundvars");
    const fs::path fmrPath = support::writeRun(dir, "run", noisyRun(1));
    FMR run(fmrPath.string(), false);
    std::vector<unsigned char> all(6 * 5 * 4, 1), part = all;
    for (std::size_t i = 0; i < part.size(); i += 3) part[i] = 0;

    tool::setDVARSThreads(2);
    const qc::DVARS first = tool::runDVARS(run, all);
    EXPECT_TRUE(same(first, qc::computeDVARS(run, all))) << "the threads change nothing";
    EXPECT_TRUE(same(tool::runDVARS(run, all), first));
    // Another mask: its own numbers, not the kept ones.
    const qc::DVARS masked = tool::runDVARS(run, part);
    EXPECT_TRUE(same(masked, qc::computeDVARS(run, part)));
    EXPECT_NE(masked.voxels, first.voxels);

    // The slice data rewritten with other values of the same size: computed afresh.
    const fs::path stc = dir / "run.stc";
    const auto before = fs::last_write_time(stc);
    support::writeRun(dir, "run", noisyRun(2));
    fs::last_write_time(stc, before + std::chrono::seconds(1));
    FMR again(fmrPath.string(), false);
    const qc::DVARS fresh = tool::runDVARS(again, all);
    EXPECT_TRUE(same(fresh, qc::computeDVARS(again, all)));
    EXPECT_NE(fresh.dvars, first.dvars);

    // The same values as 16-bit slice data: the same numbers to the bit.
    support::RunOnDisk sixteen = noisyRun(2);
    sixteen.int16 = true;
    FMR int16Run(support::writeRun(dir, "run16", sixteen).string(), false);
    EXPECT_EQ(fs::file_size(dir / "run16.stc") * 2, fs::file_size(stc));
    EXPECT_TRUE(same(tool::runDVARS(int16Run, all), fresh));
}
