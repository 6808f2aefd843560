// The FMR document's STC slice data: layout, 16-bit and float storage, short
// files, hostile headers, partial loads, saving and renaming runs.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "fixtures.h"
#include "ioerror.h"
#include "myFMR.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::readBytes;
using support::readFile;
using support::RunOnDisk;
using support::tempDir;
using support::writeRun;

namespace {

// What the fixture's runs hold at voxel (x, y, z) of volume t: the four indices apart.
float codeOf(int x, int y, int z, int t) { return float(1000 * z + 100 * t + 10 * y + x); }

std::string floatBytes(const std::vector<float>& values)
{
    std::string bytes(values.size() * 4, '\0');
    std::memcpy(bytes.data(), values.data(), bytes.size()); // little-endian, as the file
    return bytes;
}

template <typename E, typename F>
std::string messageOf(F&& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<no exception>";
}

long entries(const fs::path& dir) { return long(std::distance(fs::directory_iterator(dir), fs::directory_iterator())); }

} // namespace

TEST(FMRSliceData, LargeImagesCrossTheReadAndWriteBlocks)
{
    // Images of 4.4 MB: the 8 MB blocks between file and memory end inside one.
    const int nx = 1100, ny = 1000, nz = 2, nv = 3;
    const std::int64_t image = std::int64_t(nx) * ny;
    const fs::path dir = tempDir("fmr-large");
    // The value is the element's position in the file, exact below 2^24.
    const fs::path path = writeRun(dir, "big", {.nx = nx, .ny = ny, .nz = nz, .volumes = nv, .value = [&](int x, int y, int z, int t) {
        return float((z * nv + t) * image + y * nx + x);
    }});
    const auto bytes = readBytes(dir / "big.stc");
    FMR fmr(path.string(), true);
    for (int t = 0; t < nv; ++t)
        for (int z = 0; z < nz; ++z)
            for (std::int64_t i = 0; i < image; i += 997) // a prime stride visits every offset class
                ASSERT_EQ(fmr.Volumes[t][int(z * image + i)], float((z * nv + t) * image + i)) << "volume " << t << " slice " << z << " element " << i;
    FMR one(path.string(), false);
    one.LoadSTCVolume(1);
    EXPECT_TRUE(one.Volumes[0] == fmr.Volumes[1]);
    fmr.Save();
    EXPECT_EQ(readBytes(dir / "big.stc"), bytes);
}

TEST(FMRSliceData, StoredValuesAndTheirBytes)
{
    // 16-bit: signed little-endian integers when read; written truncated toward
    // zero, then the low 16 bits.
    const struct { float value; unsigned char low, high; float readBack; } cases[] = {
        {40000.7f, 0x40, 0x9C, -25536}, {-1.9f, 0xFF, 0xFF, -1}, {2.9f, 0x02, 0x00, 2}, {-0.5f, 0x00, 0x00, 0},
        {-32769.0f, 0xFF, 0x7F, 32767}, {-32768.0f, 0x00, 0x80, -32768}, {65536.5f, 0x00, 0x00, 0},
        // beyond the 32-bit range: the low 16 bits of the exact integer
        {2147483904.0f, 0x00, 0x01, 256}, {-2147483904.0f, 0x00, 0xFF, -256}, {-4294967296.0f, 0x00, 0x00, 0},
        {std::nanf(""), 0x00, 0x00, 0}, {INFINITY, 0x00, 0x00, 0},
    };
    const int n = int(std::size(cases));
    const fs::path dir = tempDir("fmr-storage");
    const fs::path path = writeRun(dir, "w", {.nx = n, .ny = 1, .nz = 1, .volumes = 1, .int16 = true});
    FMR out(path.string(), true);
    for (int i = 0; i < n; ++i) out.Volumes[0][i] = cases[i].value;
    out.Save();
    const auto bytes = readBytes(dir / "w.stc");
    ASSERT_EQ(bytes.size(), std::size_t(2 * n));
    FMR back(path.string(), true);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(bytes[2 * i], cases[i].low) << "value " << cases[i].value;
        EXPECT_EQ(bytes[2 * i + 1], cases[i].high) << "value " << cases[i].value;
        EXPECT_EQ(back.Volumes[0][i], cases[i].readBack) << "value " << cases[i].value;
    }
    // Floats keep every bit, the sign of zero too.
    const std::vector<float> values = {0.0f, -0.0f, 1.5f, -3.25e-7f, 1e30f, 40000.7f};
    const fs::path floats = writeRun(dir, "f", {.nx = 3, .ny = 2, .nz = 1, .volumes = 1});
    support::writeFile(dir / "f.stc", floatBytes(values));
    FMR f(floats.string(), true);
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(std::memcmp(&f.Volumes[0][int(i)], &values[i], 4), 0) << values[i];
}

// The file holds slice by slice, volume by volume, row by row; what a short
// file lacks reads as zeros, in a full load and a single volume's alike.
TEST(FMRSliceData, FileOrderAndShortFilesFilledWithZeros)
{
    // 3 x 2 voxels, 2 slices, 3 volumes: 36 elements, of which `bytes` are there (-1: all); a DataType line put in.
    const struct { const char* what; bool int16; long bytes; const char* dataType; } cases[] = {
        {"floats", false, -1, ""},
        {"16-bit without DataType", true, -1, ""},
        {"16-bit, DataType 1", true, -1, "DataType: 1\n"},
        {"float file cut in the middle of slice 1, volume 0", false, (18 + 3) * 4, ""},
        {"float file cut inside an element", false, 5 * 4 + 3, ""},
        {"16-bit file cut after slice 0", true, 18 * 2, ""},
        {"16-bit file of one odd byte", true, 1, ""},
        {"empty file", false, 0, ""},
    };
    for (const auto& c : cases) {
        const fs::path dir = tempDir("fmr-order");
        const fs::path path = writeRun(dir, "r", {.nx = 3, .ny = 2, .nz = 2, .volumes = 3, .int16 = c.int16});
        support::writeFile(path, readFile(path) + c.dataType);
        if (c.bytes >= 0) fs::resize_file(dir / "r.stc", std::uintmax_t(c.bytes));
        const auto bytes = readBytes(dir / "r.stc");
        const std::size_t whole = bytes.size() / (c.int16 ? 2 : 4); // complete elements present
        FMR fmr(path.string(), true), last(path.string(), false);
        last.LoadSTCVolume(2);
        std::size_t position = 0;
        for (int z = 0; z < 2; ++z)
            for (int t = 0; t < 3; ++t)
                for (int y = 0; y < 2; ++y)
                    for (int x = 0; x < 3; ++x, ++position) {
                        const float expected = position < whole ? codeOf(x, y, z, t) : 0.0f;
                        EXPECT_EQ(fmr.Volumes[t].at(x, y, z), expected) << c.what << ": file element " << position;
                        if (t == 2) EXPECT_EQ(last.Volumes[0].at(x, y, z), expected) << c.what << ": element " << position << " alone";
                    }
        // 16-bit slice data read as stored, slice by slice: the same values, the same zeros.
        if (c.int16) {
            std::vector<int> seen;
            last.ForEachStoredSlice(0, 5, [&](int z, const std::int16_t* data) {
                seen.push_back(z);
                for (int t = 0; t < 3; ++t)
                    for (int i = 0; i < 6; ++i) {
                        const std::size_t at = std::size_t((z * 3 + t) * 6 + i);
                        EXPECT_EQ(data[t * 6 + i], at < whole ? codeOf(i % 3, i / 3, z, t) : 0.0f) << c.what << ": file element " << at;
                    }
            });
            EXPECT_EQ(seen, (std::vector<int>{0, 1})) << c.what << ": every slice once, those beyond the run none";
        } else {
            EXPECT_THROW(last.ForEachStoredSlice(0, 2, [](int, const std::int16_t*) {}), std::logic_error) << c.what;
        }
        if (c.bytes >= 0) continue;
        fmr.Save();
        EXPECT_EQ(readBytes(dir / "r.stc"), bytes) << c.what << ": written back unchanged";
    }
}

TEST(FMRSliceData, HostileHeadersAreRefusedBeforeAllocating)
{
    const struct { const char* what; int nx, ny, nz, nv; const char* mentions; } cases[] = {
        {"negative x", -4, 4, 4, 2, "ResolutionX -4"},
        {"negative y", 4, -1, 4, 2, "ResolutionY -1"},
        {"negative slices", 4, 4, -30, 2, "NrOfSlices -30"},
        {"negative volumes", 4, 4, 4, -2, "NrOfVolumes -2"},
        {"a volume beyond 32-bit element counts", 65536, 65536, 1, 1, "65536 x 65536 x 1"},
        {"a product that wraps to a small 32-bit number", 65536, 65536, 4, 1, "65536 x 65536 x 4"},
        {"a billion volumes", 64, 64, 30, 1000000000, "1000000000 volumes"},
        // Found by fuzzing: two billion volumes of no voxels were reserved (48 GB).
        {"two billion volumes of no voxels", 0, 4, 2, 2000000000, "2000000000 volumes"},
    };
    for (const auto& c : cases) {
        const fs::path dir = tempDir("fmr-hostile");
        support::writeFile(dir / "h.fmr", "\nNrOfVolumes: " + std::to_string(c.nv) + "\nNrOfSlices: " + std::to_string(c.nz) +
                                              "\nPrefix: \"h\"\nResolutionX: " + std::to_string(c.nx) +
                                              "\nResolutionY: " + std::to_string(c.ny) + "\n");
        support::writeFile(dir / "h.stc", "\x01\x02\x03\x04");
        const std::string path = (dir / "h.fmr").string();
        const std::string message = messageOf<IOError>([&] { FMR fmr(path, true); });
        EXPECT_NE(message.find(c.mentions), std::string::npos) << c.what << ": " << message;
        EXPECT_NE(message.find(path), std::string::npos) << c.what << ": " << message;
        // The document still reads; a single volume loads unless the volume itself is too large.
        FMR fmr(path, false);
        if (c.nv > 1000) {
            fmr.LoadSTCVolume(0);
            ASSERT_EQ(fmr.Volumes.size(), 1u) << c.what;
            if (c.nx > 0) EXPECT_EQ(fmr.Volumes[0][0], float(0x0201)) << c.what; // the bytes there, the rest zeros
        } else {
            EXPECT_THROW(fmr.LoadSTCVolume(0), IOError) << c.what;
            EXPECT_TRUE(fmr.Volumes.empty()) << c.what;
        }
    }
}

TEST(FMRPartialLoad, VolumesOfTheFullLoadAndNoOverwriteOfTheSource)
{
    for (bool int16 : {false, true}) {
        const fs::path dir = tempDir("fmr-partial");
        const fs::path path = writeRun(dir, "p", {.nx = 5, .ny = 3, .nz = 4, .volumes = 6, .int16 = int16});
        const FMR full(path.string(), true);
        for (const auto [first, count] : {std::pair{0, 1}, {5, 1}, {2, 3}, {0, 6}, {3, 0}}) {
            FMR part(path.string(), false);
            part.LoadSTC(first, count);
            ASSERT_EQ(part.Volumes.size(), std::size_t(count));
            for (int k = 0; k < count; ++k) EXPECT_TRUE(part.Volumes[k] == full.Volumes[first + k]) << int16 << " volume " << first + k;
        }
        FMR part(path.string(), false);
        for (const auto [first, count] : {std::pair{6, 1}, {-1, 1}, {5, 2}, {0, -1}, {2147483647, 1}})
            EXPECT_THROW(part.LoadSTC(first, count), std::out_of_range) << first << ", " << count;
        EXPECT_TRUE(part.Volumes.empty());
        EXPECT_FALSE(full.HasPartialSTC());

        // A partial load cannot overwrite the run it came from; under a new name it becomes a run of its own.
        const auto bytes = readBytes(dir / "p.stc");
        const std::string document = readFile(path);
        part.LoadSTCVolume(1);
        EXPECT_TRUE(part.HasPartialSTC());
        EXPECT_THROW(part.Save(), IOError);
        EXPECT_EQ(readBytes(dir / "p.stc"), bytes);
        EXPECT_EQ(readFile(path), document);
        part.SaveAs((dir / "one.fmr").string());
        const FMR one((dir / "one.fmr").string(), true);
        EXPECT_EQ(one.NrOfVolumes.value(), 1);
        ASSERT_EQ(one.Volumes.size(), 1u);
        EXPECT_TRUE(one.Volumes[0] == full.Volumes[1]);
    }
}

TEST(FMRSave, NrOfVolumesFollowsTheLoadedVolumesAndAWrongSizeChangesNothing)
{
    const fs::path dir = tempDir("fmr-save-count");
    const fs::path path = writeRun(dir, "c", {.nx = 2, .ny = 1, .nz = 1, .volumes = 3, .value = [](int x, int, int, int t) {
        return float(2 * t + x + 1);
    }});
    FMR two(path.string(), true);
    two.Volumes.pop_back();
    two.Save();
    two.UnloadSTC(); // the data go, the header stays
    EXPECT_EQ(two.Volumes.capacity(), 0u);
    EXPECT_EQ(two.NrOfVolumes.value(), 2);
    EXPECT_NE(readFile(path).find("NrOfVolumes:          2\n"), std::string::npos) << readFile(path);
    EXPECT_EQ(readFile(dir / "c.stc"), floatBytes({1, 2, 3, 4}));
    // Without loaded volumes only the document is written, NrOfVolumes kept.
    writeRun(dir, "c", {.nx = 2, .ny = 1, .nz = 1, .volumes = 44});
    const auto stcBefore = readBytes(dir / "c.stc");
    FMR fmr(path.string(), false);
    fmr.TR.set("TR", 2500, 22);
    fmr.Save();
    EXPECT_NE(readFile(path).find("NrOfVolumes:          44\n"), std::string::npos);
    EXPECT_NE(readFile(path).find("TR:                   2500\n"), std::string::npos);
    EXPECT_EQ(readBytes(dir / "c.stc"), stcBefore);
    // A volume of another size is refused before anything is written.
    const std::string document = readFile(path);
    FMR all(path.string(), true);
    all.Volumes.emplace_back(3, 1, 1, 0.0f);
    EXPECT_EQ(messageOf<WriteFileError>([&] { all.Save(); }),
              "Failed opening STC for writing: " + (dir / "c.stc").string() + " (a volume of 3 x 1 x 1 voxels in a run of 2 x 1 x 1)");
    EXPECT_EQ(readFile(path), document);
    EXPECT_EQ(readBytes(dir / "c.stc"), stcBefore);
    EXPECT_EQ(entries(dir), 2);
}

TEST(FMRSave, SliceDataUnderThePrefixAndSaveAsRenamesTheRun)
{
    const fs::path dir = tempDir("fmr-saveas"), old = dir / "old" / "run1.fmr";
    fs::create_directories(dir / "new"), fs::create_directories(dir / "old");
    const std::string document = readFile(fs::path(TREMORA_SOURCE_DIR) / "tests/data/run1.fmr"), stc = (dir / "old" / "run1.stc").string();
    support::writeFile(old, document);
    FMR fmr(old.string(), false);
    EXPECT_EQ(fmr.STCFileName(), stc); // the prefix's quotes are layout
    EXPECT_EQ(messageOf<OpenFileError>([&] { FMR loaded(old.string(), true); }), "Failed opening STC for reading: " + stc);
    EXPECT_EQ(messageOf<OpenFileError>([&] { fmr.LoadSTCVolume(0); }), "Failed opening STC for reading: " + stc);
    EXPECT_TRUE(fmr.Volumes.empty());
    writeRun(dir / "old", "run1", {}); // the document's grid: 4 x 3 x 2, 3 volumes, floats
    support::writeFile(old, document);
    const auto bytes = readBytes(stc);
    fmr.SaveAs((dir / "new" / "run2.fmr").string());
    EXPECT_EQ(fmr.FileName, (dir / "new" / "run2.fmr").string());
    EXPECT_EQ(fmr.Volumes.size(), 3u);
    std::string expected = document;
    expected.replace(expected.find("\"run1\""), 6, "\"run2\""); // quoting and width kept
    EXPECT_EQ(readFile(dir / "new" / "run2.fmr"), expected);
    EXPECT_EQ(readBytes(dir / "new" / "run2.stc"), bytes);
    EXPECT_EQ(readFile(old), document) << "the old run is untouched";
    EXPECT_EQ(entries(dir / "new"), 2);
}
