// The host's record of its current run: filled from the FMR document, the
// path limit of the record, and the slice data served on the first request.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "ioerror.h"
#include "myFMR.h"
#include "run.h"
#include "fixtures.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::HostTest;
using support::writeFile;

namespace {

float** currentSTCData() { return support::hostFunction<float**()>("zrGetSTCFloatDataOfCurrentFMR")(); }

std::string runDocument(int volumes, int nx, int ny, int slices, const std::string& extra)
{
    return "\nFileVersion:          7\nNrOfVolumes:          " + std::to_string(volumes) +
           "\nNrOfSlices:           " + std::to_string(slices) +
           "\nPrefix:               \"run\"\nDataType:             2\nResolutionX:          " + std::to_string(nx) +
           "\nResolutionY:          " + std::to_string(ny) + "\n" + extra;
}

FMR_Header currentRecord()
{
    FMR_Header header;
    std::memset(&header, 0xAB, sizeof header);
    support::hostFunction<void(void*)>("zrGetHeaderOfCurrentFMR")(&header);
    return header;
}

} // namespace

class RunRecord : public HostTest {};

TEST_F(RunRecord, FilledFromTheDocument)
{
    const struct {
        const char* what;
        std::string extra;
        float voxelX, voxelY, voxelZ;
    } cases[] = {
        {"thickness and gap", "InplaneResolutionX:   3\nInplaneResolutionY:   2.5\nSliceThickness:       3.5\n"
                              "SliceGap:             0.5\n", 3.0f, 2.5f, 4.0f},
        {"no gap line", "InplaneResolutionX:   2\nInplaneResolutionY:   2\nSliceThickness:       2.4\n", 2.0f, 2.0f, 2.4f},
        {"the thickness of the position block is not the slice spacing",
         "InplaneResolutionX:   3\nInplaneResolutionY:   3\nSliceThickness:       3\nSliceGap:             1\n"
         "PositionInformationFromImageHeaders\nPosInfosVerified: 1\nSliceThickness: 9\nGapThickness: 9\n",
         3.0f, 3.0f, 4.0f},
    };
    const fs::path path = support::tempDir("run-record") / "run.fmr";
    for (const auto& c : cases) {
        writeFile(path, runDocument(12, 64, 48, 30, c.extra));
        host::openRun(hostState(), path.string());
        const FMR_Header h = currentRecord();
        EXPECT_STREQ(h.FileName, path.c_str()) << c.what;
        EXPECT_TRUE(h.NrOfVolumes == 12 && h.DimX == 64 && h.DimY == 48 && h.DimZ == 30) << c.what;
        // sums of two decimal fractions: a few float ulps at most
        EXPECT_NEAR(h.VoxelSizeX, c.voxelX, 1e-6f) << c.what;
        EXPECT_NEAR(h.VoxelSizeY, c.voxelY, 1e-6f) << c.what;
        EXPECT_NEAR(h.VoxelSizeZ, c.voxelZ, 1e-6f) << c.what;
        EXPECT_FALSE(hostState().run.loaded) << "slice data are loaded only when asked for";
    }
}

TEST_F(RunRecord, PathsUpToTheRecordsLimitAndARefusedRunKeepsTheCurrentOne)
{
    // A folder chain and a file name that make the document's path exactly 303 bytes long.
    fs::path dir = support::tempDir("run-long");
    while (dir.string().size() + 1 + 100 + 1 + 10 < 303) dir /= std::string(100, 'd');
    const std::string file = std::string(303 - dir.string().size() - 1 - 4, 'r') + ".fmr";
    fs::create_directories(dir);
    const fs::path path = dir / file;
    ASSERT_EQ(path.string().size(), 303u) << path;
    writeFile(path, runDocument(7, 2, 2, 1, ""));
    host::openRun(hostState(), path.string());
    EXPECT_EQ(std::string(currentRecord().FileName), path.string());
    EXPECT_EQ(currentRecord().NrOfVolumes, 7) << "the terminating zero byte must not touch NrOfVolumes";

    // One byte more does not fit; a missing document and negative dimensions
    // are refused as well; the current run stays.
    writeFile(dir / ("x" + file), runDocument(9, 2, 2, 1, ""));
    writeFile(dir / "n.fmr", runDocument(3, -64, 2, 1, ""));
    const std::pair<fs::path, std::string> refused[] = {
        {dir / ("x" + file), "is 304 bytes long; the host's run record holds at most 303"},
        {dir / "missing.fmr", "Failed opening for reading: " + (dir / "missing.fmr").string()},
        {dir / "n.fmr", "ResolutionX -64"}};
    for (const auto& [refusedPath, message] : refused) {
        try {
            host::openRun(hostState(), refusedPath.string());
            ADD_FAILURE() << refusedPath << " was accepted";
        } catch (const IOError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
        EXPECT_EQ(currentRecord().NrOfVolumes, 7);
        EXPECT_EQ(hostState().run.fmrPath, path.string());
    }
}

TEST_F(RunRecord, SliceDataServedFromTheFirstRequestOnOrNullWithTheReason)
{
    // The fixture's value 1000 z + 100 t + 10 y + x tells voxel and volume apart.
    const fs::path dir = support::tempDir("run-data");
    support::openRunOnDisk(dir, {.nx = 3, .ny = 2, .nz = 5, .volumes = 4});
    float** data = currentSTCData();
    ASSERT_NE(data, nullptr) << hostState().run.loadError;
    for (int v = 0; v < 4; ++v)
        for (int i = 0; i < 30; ++i) ASSERT_EQ(data[v][i], float(1000 * (i / 6) + 100 * v + 10 * (i % 6 / 3) + i % 3)) << v << " " << i;
    // Later requests serve what was loaded, without reading the file again.
    fs::remove(dir / "run.stc");
    EXPECT_EQ(currentSTCData(), data);
    const auto open = [&](const char* name, int volumes) {
        writeFile(dir / name, runDocument(volumes, 2, 2, 1, ""));
        host::openRun(hostState(), (dir / name).string());
    };
    const struct {
        const char* what;
        std::function<void()> setUp;
        std::string reason; // part of Run::loadError ("" when no load is tried)
    } cases[] = {
        {"no run document", [&] { hostState().run = host::Run(); }, ""},
        {"an empty run document", [&] { host::openEmptyRun(hostState()); }, ""},
        {"the STC file is missing", [&] { open("a.fmr", 2); }, "Failed opening STC for reading: " + (dir / "run.stc").string()},
        {"the document changed after it was opened",
         [&] {
             support::writeRun(dir, "run", {.nx = 2, .ny = 2, .nz = 1, .volumes = 3});
             open("b.fmr", 2);
             writeFile(dir / "b.fmr", runDocument(3, 2, 2, 1, ""));
         },
         "changed since it was opened"},
        {"a run of zero volumes", [&] { writeFile(dir / "run.stc", ""), open("c.fmr", 0); }, ""},
    };
    for (const auto& c : cases) {
        host::reset();
        c.setUp();
        const std::string& error = hostState().run.loadError;
        EXPECT_EQ(currentSTCData(), nullptr) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.empty(), c.reason.empty()) << c.what << ": " << error;
    }
}
