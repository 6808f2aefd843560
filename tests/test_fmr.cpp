// The FMR document and its STC slice data: the text layout read and written
// back byte for byte, the binary layout (slice, volume, row, voxel), 16-bit
// and float storage, saving and renaming runs, short files, hostile headers,
// a refused save (failed saves: test_savefailures) and loading single volumes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>

#include "ioerror.h"
#include "myFMR.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::readBytes;
using support::readFile;
using support::tempDir;
using support::writeFile;

namespace {

// A document with every main line, the position block and a slice timing
// table, in exactly the layout the writer produces.
const std::string FullDocument =
    "\n"
    "FileVersion:          7\n"
    "NrOfVolumes:          3\n"
    "NrOfSlices:           2\n"
    "NrOfSkippedVolumes:   0\n"
    "Prefix:               \"run1\"\n"
    "DataStorageFormat:    2\n"
    "DataType:             2\n"
    "TR:                   2000\n"
    "InterSliceTime:       1000\n"
    "TimeResolutionVerified:   1\n"
    "TE:                   30\n"
    "SliceAcquisitionOrder:    1\n"
    "SliceAcquisitionOrderVerified:  1\n"
    "ResolutionX:          4\n"
    "ResolutionY:          3\n"
    "LoadAMRFile:          \"run1_firstvol_as_anat.amr\"\n"
    "ShowAMRFile:          1\n"
    "ImageIndex:           0\n"
    "LayoutNColumns:       2\n"
    "LayoutNRows:          1\n"
    "LayoutZoomLevel:      1\n"
    "SegmentSize:          10\n"
    "SegmentOffset:        0\n"
    "NrOfLinkedProtocols:  1\n"
    "ProtocolFile:         \"/data/prt/two blocks.prt\"\n"
    "InplaneResolutionX:   3\n"
    "InplaneResolutionY:   3\n"
    "SliceThickness:       3.5\n"
    "SliceGap:             0.35\n"
    "VoxelResolutionVerified:  1\n"
    "\n"
    "\n"
    "PositionInformationFromImageHeaders\n"
    "\n"
    "PosInfosVerified:     1\n"
    "CoordinateSystem:     1\n"
    "Slice1CenterX:        -1.25\n"
    "Slice1CenterY:        -12.3456\n"
    "Slice1CenterZ:        -40.5\n"
    "SliceNCenterX:        -1.25\n"
    "SliceNCenterY:        -12.3456\n"
    "SliceNCenterZ:        -36.65\n"
    "RowDirX:              1\n"
    "RowDirY:              0\n"
    "RowDirZ:              0\n"
    "ColDirX:              0\n"
    "ColDirY:              1\n"
    "ColDirZ:              0\n"
    "NRows:                3\n"
    "NCols:                4\n"
    "FoVRows:              9\n"
    "FoVCols:              12\n"
    "SliceThickness:       3.4\n"
    "GapThickness:         0.35\n"
    "\n"
    "\n"
    "NrOfPastSpatialTransformations: 0\n"
    "\n"
    "\n"
    "LeftRightConvention:  1\n"
    "\n"
    "\n"
    "FirstDataSourceFile:  /data/dicom/sub 01/0001.dcm\n"
    "\n"
    "MultibandSequence:    0\n"
    "\n"
    "SliceTimingTableSize: 2\n"
    "0\n"
    "1000\n";

// The main lines alone, as a small 16-bit run without DataType writes them.
const std::string ShortDocument =
    "\n"
    "FileVersion:          5\n"
    "NrOfVolumes:          4\n"
    "NrOfSlices:           3\n"
    "Prefix:               run2\n"
    "TR:                   1500\n"
    "ResolutionX:          2\n"
    "ResolutionY:          2\n"
    "InplaneResolutionX:   2.5\n"
    "InplaneResolutionY:   2.5\n"
    "SliceThickness:       3\n"
    "SliceGap:             0\n";

std::string printed(FMR& fmr)
{
    std::ostringstream out;
    fmr.PrintTo(out);
    return out.str();
}

// A run in dir: the document text and an STC file of the given bytes.
fs::path writeRun(const fs::path& dir, const std::string& name, const std::string& document,
                  const std::vector<unsigned char>& stc)
{
    writeFile(dir / (name + ".fmr"), document);
    writeFile(dir / (name + ".stc"), std::string(stc.begin(), stc.end()));
    return dir / (name + ".fmr");
}

std::vector<unsigned char> floatBytes(const std::vector<float>& values)
{
    std::vector<unsigned char> bytes(values.size() * 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &values[i], 4);
        for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = std::uint8_t(bits >> (8 * b));
    }
    return bytes;
}

std::vector<unsigned char> int16Bytes(const std::vector<int>& values)
{
    std::vector<unsigned char> bytes;
    for (int v : values) {
        bytes.push_back(std::uint8_t(v & 0xFF));
        bytes.push_back(std::uint8_t((v >> 8) & 0xFF));
    }
    return bytes;
}

// A document of nx x ny x nz voxels and nv volumes with the given DataType line ("" for none).
std::string gridDocument(int nx, int ny, int nz, int nv, const std::string& dataTypeLine, const std::string& prefix)
{
    return "\nFileVersion:          7\nNrOfVolumes:          " + std::to_string(nv) +
           "\nNrOfSlices:           " + std::to_string(nz) + "\nPrefix:               \"" + prefix + "\"\n" +
           dataTypeLine + "ResolutionX:          " + std::to_string(nx) + "\nResolutionY:          " +
           std::to_string(ny) + "\n";
}

// What the file holds at position ((z*nv + v)*ny + y)*nx + x: a value that
// tells the four indices apart and fits 16 bits.
float codeOf(int x, int y, int z, int v)
{
    return float(1000 * z + 100 * v + 10 * y + x);
}

std::vector<float> codedFile(int nx, int ny, int nz, int nv)
{
    std::vector<float> values;
    for (int z = 0; z < nz; ++z)
        for (int v = 0; v < nv; ++v)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) values.push_back(codeOf(x, y, z, v));
    return values;
}

std::vector<int> asInts(const std::vector<float>& values)
{
    return std::vector<int>(values.begin(), values.end());
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

std::vector<std::string> folderEntries(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

// ---------------------------------------------------------------- text layout

TEST(FMRDocument, WrittenBackByteForByte)
{
    struct Case {
        const char* what;
        std::string text;
    };
    const Case cases[] = {
        {"every line, position block and slice timing table", FullDocument},
        {"main lines only, unquoted prefix", ShortDocument},
        {"empty document", "\n"},
    };
    const fs::path dir = tempDir("fmr-roundtrip");
    for (const Case& c : cases) {
        writeFile(dir / "a.fmr", c.text);
        FMR fmr((dir / "a.fmr").string(), false);
        const std::string once = printed(fmr);
        EXPECT_EQ(once, c.text) << c.what;
        // and the written document reads back to the same text again
        writeFile(dir / "b.fmr", once);
        FMR again((dir / "b.fmr").string(), false);
        EXPECT_EQ(printed(again), c.text) << c.what;
    }
}

TEST(FMRDocument, ValuesAndTheirMeaning)
{
    const fs::path dir = tempDir("fmr-values");
    writeFile(dir / "run1.fmr", FullDocument);
    FMR fmr((dir / "run1.fmr").string(), false);
    EXPECT_EQ(fmr.FileName, (dir / "run1.fmr").string());
    EXPECT_EQ(fmr.NrOfVolumes.value(), 3);
    EXPECT_EQ(fmr.NrOfSlices.value(), 2);
    EXPECT_EQ(fmr.ResolutionX.value(), 4);
    EXPECT_EQ(fmr.ResolutionY.value(), 3);
    EXPECT_EQ(fmr.Prefix.value(), "run1"); // quotes are layout, not value
    EXPECT_EQ(fmr.ProtocolFile.value(), "/data/prt/two blocks.prt");
    EXPECT_EQ(fmr.FirstDataSourceFile.value(), "/data/dicom/sub 01/0001.dcm");
    // The same key before and inside the position block fills two members.
    EXPECT_FLOAT_EQ(fmr.SliceThickness.value(), 3.5f);
    EXPECT_FLOAT_EQ(fmr.PosInfoSliceThickness.value(), 3.4f);
    EXPECT_FLOAT_EQ(fmr.Slice1CenterY.value(), -12.3456f);
    EXPECT_TRUE(fmr.VoxelResolutionVerified.value());
    EXPECT_EQ(fmr.STCFileName(), (dir / "run1.stc").string());
    ASSERT_EQ(fmr.SliceTimingTable.size(), 2u);
    EXPECT_EQ(fmr.SliceTimingTable[1], 1000.0f);
    EXPECT_TRUE(fmr.Volumes.empty());
}

TEST(FMRDocument, LayoutVariants)
{
    struct Case {
        const char* what;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"tabs after a key come back as one blank each", "\nNrOfVolumes:\t\t5\n", "\nNrOfVolumes:  5\n"},
        {"block lines without PosInfosVerified follow the main lines without a title",
         "\nSliceGap: 0\nPositionInformationFromImageHeaders\nNRows: 64\nSliceThickness: 3\nGapThickness: 1\n",
         "\nSliceGap: 0\nNRows: 64\nSliceThickness: 3\nGapThickness: 1\n\n\n"},
        {"a main key inside the block is not taken for a main line",
         "\nPositionInformationFromImageHeaders\nPosInfosVerified: 1\nNrOfVolumes: 9\nGapThickness: 0\nNrOfVolumes: 8\n",
         "\nNrOfVolumes: 8\n\nPositionInformationFromImageHeaders\n\nPosInfosVerified: 1\nGapThickness: 0\n\n\n"},
        {"a key met twice keeps the last value; unknown keys are skipped",
         "\nTR: 1000\nScannerMood: grumpy\nTR: 2000\n", "\nTR: 2000\n"},
        {"three slice timing entries in default float notation",
         "\nSliceTimingTableSize: 3\n0.0\n37.50\n75\n", "\nSliceTimingTableSize: 3\n0\n37.5\n75\n"},
        {"a slice timing table shorter than its size keeps what is there",
         "\nSliceTimingTableSize: 1000000000\n10\n20\n", "\nSliceTimingTableSize: 1000000000\n10\n20\n"},
        {"a value that cannot be read ends the document",
         "\nTR: 2000\nTE: thirty\nNrOfSlices: 30\n", "\nTR: 2000\nTE: 0\n"},
        {"carriage returns after a number are harmless", "\r\nTR: 2000\r\nTE: 30\r\n", "\nTR: 2000\nTE: 30\n"},
        // Found by the document fuzz target: written straight after the colon,
        // the value would merge with its key and the next read would lose it.
        {"a value on the line after its key is written one blank after the colon",
         "\nResolutionX:\n64\nPrefix:\n", "\nPrefix: \nResolutionX: 64\n"},
        // Found by the same target: the entries of both tables were kept,
        // more than the size announced, and a second read lost the rest.
        {"a second slice timing table replaces the first, like any key met twice",
         "\nSliceTimingTableSize: 2\n0\n1\nSliceTimingTableSize: 2\n0\n1000\n", "\nSliceTimingTableSize: 2\n0\n1000\n"},
    };
    const fs::path dir = tempDir("fmr-variants");
    for (const Case& c : cases) {
        writeFile(dir / "v.fmr", c.in);
        FMR fmr((dir / "v.fmr").string(), false);
        EXPECT_EQ(printed(fmr), c.out) << c.what << "\ninput:\n" << c.in;
    }
}

TEST(FMRDocument, ValueOnTheLineAfterItsKeyReadsBackAfterASave)
{
    const fs::path dir = tempDir("fmr-nextline");
    writeFile(dir / "v.fmr", "\nNrOfVolumes:\n3\nResolutionX:\n64\n");
    FMR fmr((dir / "v.fmr").string(), false);
    writeFile(dir / "again.fmr", printed(fmr));
    FMR again((dir / "again.fmr").string(), false);
    EXPECT_EQ(again.NrOfVolumes.value(), 3);
    EXPECT_EQ(again.ResolutionX.value(), 64);
    EXPECT_EQ(printed(again), printed(fmr));
}

TEST(FMRDocument, MissingFilesNameTheirPath)
{
    const fs::path dir = tempDir("fmr-missing");
    const std::string document = (dir / "nothing.fmr").string();
    EXPECT_EQ(messageOf<OpenFileError>([&] { FMR fmr(document, false); }), "Failed opening for reading: " + document);

    writeFile(dir / "nodata.fmr", gridDocument(2, 2, 1, 1, "", "nodata"));
    const std::string stc = (dir / "nodata.stc").string();
    EXPECT_EQ(messageOf<OpenFileError>([&] { FMR fmr((dir / "nodata.fmr").string(), true); }),
              "Failed opening STC for reading: " + stc);
    FMR fmr((dir / "nodata.fmr").string(), false);
    EXPECT_EQ(messageOf<OpenFileError>([&] { fmr.LoadSTCVolume(0); }), "Failed opening STC for reading: " + stc);
    EXPECT_TRUE(fmr.Volumes.empty());
}

// ---------------------------------------------------------------- slice data

TEST(FMRSliceData, FileOrderIsSliceVolumeRowVoxel)
{
    struct Case {
        const char* what;
        std::string dataTypeLine;
        bool floats;
    };
    const Case cases[] = {
        {"DataType 2: floats", "DataType:             2\n", true},
        {"DataType 1: 16-bit", "DataType:             1\n", false},
        {"no DataType line: 16-bit", "", false},
    };
    const int nx = 4, ny = 3, nz = 2, nv = 3;
    const fs::path dir = tempDir("fmr-order");
    for (const Case& c : cases) {
        const std::vector<float> values = codedFile(nx, ny, nz, nv);
        const auto bytes = c.floats ? floatBytes(values) : int16Bytes(asInts(values));
        const fs::path path = writeRun(dir, "grid", gridDocument(nx, ny, nz, nv, c.dataTypeLine, "grid"), bytes);
        FMR fmr(path.string(), true);
        ASSERT_EQ(fmr.Volumes.size(), std::size_t(nv)) << c.what;
        for (int v = 0; v < nv; ++v) {
            const Volume<float>& volume = fmr.Volumes[v];
            ASSERT_EQ(volume.nx(), nx);
            ASSERT_EQ(volume.ny(), ny);
            ASSERT_EQ(volume.nz(), nz);
            for (int z = 0; z < nz; ++z)
                for (int y = 0; y < ny; ++y)
                    for (int x = 0; x < nx; ++x)
                        EXPECT_EQ(volume[(z * ny + y) * nx + x], codeOf(x, y, z, v))
                            << c.what << " voxel " << x << "," << y << "," << z << " of volume " << v;
        }
        // Written back unchanged, the file is the same byte for byte.
        fmr.Save();
        EXPECT_EQ(readBytes(dir / "grid.stc"), bytes) << c.what;
    }
}

TEST(FMRSliceData, LargeImagesCrossTheReadAndWriteBlocks)
{
    // Images of 1.1 million floats (4.4 MB): the 8 MB blocks in which the data
    // move between file and memory end inside an image.
    const int nx = 1100, ny = 1000, nz = 2, nv = 3;
    std::vector<float> values(std::size_t(nx) * ny * nz * nv);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = float(i); // exact below 2^24
    const fs::path dir = tempDir("fmr-large");
    const auto bytes = floatBytes(values);
    const fs::path path = writeRun(dir, "big", gridDocument(nx, ny, nz, nv, "DataType: 2\n", "big"), bytes);
    FMR fmr(path.string(), true);
    const std::int64_t image = std::int64_t(nx) * ny;
    for (int v = 0; v < nv; ++v)
        for (int z = 0; z < nz; ++z)
            for (std::int64_t i = 0; i < image; i += 997) // a prime stride visits every offset class
                ASSERT_EQ(fmr.Volumes[v][int(z * image + i)], float((z * nv + v) * image + i))
                    << "volume " << v << " slice " << z << " element " << i;
    FMR one(path.string(), false);
    one.LoadSTCVolume(1);
    EXPECT_TRUE(one.Volumes[0] == fmr.Volumes[1]);
    fmr.Save();
    EXPECT_EQ(readBytes(dir / "big.stc"), bytes);
}

TEST(FMRSliceData, SixteenBitStorage)
{
    // Reading: signed little-endian 16-bit integers.
    const fs::path dir = tempDir("fmr-int16");
    const fs::path path = writeRun(dir, "s", gridDocument(4, 1, 1, 1, "", "s"),
                                   {0xFF, 0xFF, 0x40, 0x9C, 0xFF, 0x7F, 0x00, 0x80});
    FMR fmr(path.string(), true);
    const float expectedRead[] = {-1.0f, -25536.0f, 32767.0f, -32768.0f};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(fmr.Volumes[0][i], expectedRead[i]) << "element " << i;

    // Writing: truncation toward zero, then the low 16 bits.
    struct Case {
        float value;
        unsigned char low, high;
        float readBack;
    };
    const Case cases[] = {
        {40000.7f, 0x40, 0x9C, -25536.0f},
        {-1.9f, 0xFF, 0xFF, -1.0f},
        {2.9f, 0x02, 0x00, 2.0f},
        {-0.5f, 0x00, 0x00, 0.0f},
        {-32769.0f, 0xFF, 0x7F, 32767.0f},
        {65536.5f, 0x00, 0x00, 0.0f},
        // beyond the 32-bit range: the low 16 bits of the exact integer
        {2147483904.0f, 0x00, 0x01, 256.0f},   // 2^31 + 256
        {-2147483904.0f, 0x00, 0xFF, -256.0f}, // -(2^31 + 256): two's complement low bits
        {-4294967296.0f, 0x00, 0x00, 0.0f},
        {std::nanf(""), 0x00, 0x00, 0.0f},
        {INFINITY, 0x00, 0x00, 0.0f},
    };
    const int n = int(std::size(cases));
    writeFile(dir / "w.fmr", gridDocument(n, 1, 1, 1, "", "w"));
    FMR out((dir / "w.fmr").string(), false);
    out.Volumes.emplace_back(n, 1, 1, 0.0f);
    for (int i = 0; i < n; ++i) out.Volumes[0][i] = cases[i].value;
    out.Save();
    const auto bytes = readBytes(dir / "w.stc");
    ASSERT_EQ(bytes.size(), std::size_t(2 * n));
    FMR back((dir / "w.fmr").string(), true);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(bytes[2 * i], cases[i].low) << "value " << cases[i].value;
        EXPECT_EQ(bytes[2 * i + 1], cases[i].high) << "value " << cases[i].value;
        EXPECT_EQ(back.Volumes[0][i], cases[i].readBack) << "value " << cases[i].value;
    }
}

TEST(FMRSliceData, FloatStorageKeepsEveryBit)
{
    const std::vector<float> values = {0.0f, -0.0f, 1.5f, -3.25e-7f, 1e30f, 40000.7f};
    const fs::path dir = tempDir("fmr-float");
    const fs::path path = writeRun(dir, "f", gridDocument(3, 2, 1, 1, "DataType: 2\n", "f"), floatBytes(values));
    FMR fmr(path.string(), true);
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(fmr.Volumes[0][int(i)], values[i]) << "element " << i;
        EXPECT_EQ(std::signbit(fmr.Volumes[0][int(i)]), std::signbit(values[i])) << "element " << i;
    }
}

TEST(FMRSliceData, ShortFileFillsTheRestWithZeros)
{
    // 2x2 voxels, 2 slices, 3 volumes: 24 elements in the full file.
    const int nx = 2, ny = 2, nz = 2, nv = 3;
    const std::vector<float> values = codedFile(nx, ny, nz, nv);
    struct Case {
        const char* what;
        bool floats;
        std::size_t bytes; // how much of the full file is there
    };
    const Case cases[] = {
        {"float file cut in the middle of slice 1, volume 0", true, (12 + 2) * 4},
        {"float file cut inside an element", true, 5 * 4 + 3},
        {"16-bit file cut after slice 0", false, 12 * 2},
        {"16-bit file of one odd byte", false, 1},
        {"empty file", true, 0},
    };
    const fs::path dir = tempDir("fmr-short");
    for (const Case& c : cases) {
        auto bytes = c.floats ? floatBytes(values) : int16Bytes(asInts(values));
        bytes.resize(c.bytes);
        const std::size_t whole = c.bytes / (c.floats ? 4 : 2); // complete elements present
        const fs::path path =
            writeRun(dir, "short", gridDocument(nx, ny, nz, nv, c.floats ? "DataType: 2\n" : "", "short"), bytes);
        FMR fmr(path.string(), true);
        ASSERT_EQ(fmr.Volumes.size(), std::size_t(nv)) << c.what;
        std::size_t position = 0;
        for (int z = 0; z < nz; ++z)
            for (int v = 0; v < nv; ++v)
                for (int y = 0; y < ny; ++y)
                    for (int x = 0; x < nx; ++x, ++position) {
                        const float expected = position < whole ? codeOf(x, y, z, v) : 0.0f;
                        EXPECT_EQ(fmr.Volumes[v][(z * ny + y) * nx + x], expected)
                            << c.what << ": file element " << position;
                    }
        // A single volume loaded alone obeys the same rule, slice by slice.
        const int v = nv - 1;
        fmr.LoadSTCVolume(v);
        for (int z = 0; z < nz; ++z)
            for (int i = 0; i < nx * ny; ++i) {
                const std::size_t at = std::size_t((z * nv + v) * nx * ny + i);
                EXPECT_EQ(fmr.Volumes[0][z * nx * ny + i], at < whole ? codeOf(i % nx, i / nx, z, v) : 0.0f)
                    << c.what << ": file element " << at << " loaded alone";
            }
    }
}

TEST(FMRSliceData, HostileHeadersAreRefusedBeforeAllocating)
{
    struct Case {
        const char* what;
        int nx, ny, nz, nv;
        const char* mentions;
    };
    const Case cases[] = {
        {"negative x", -4, 4, 4, 2, "ResolutionX -4"},
        {"negative y", 4, -1, 4, 2, "ResolutionY -1"},
        {"negative slices", 4, 4, -30, 2, "NrOfSlices -30"},
        {"negative volumes", 4, 4, 4, -2, "NrOfVolumes -2"},
        {"a volume beyond 32-bit element counts", 65536, 65536, 1, 1, "65536 x 65536 x 1"},
        {"a product that wraps to a small 32-bit number", 65536, 65536, 4, 1, "65536 x 65536 x 4"},
        {"a billion volumes", 64, 64, 30, 1000000000, "1000000000 volumes"},
        // Found by fuzzing: volumes without voxels passed the voxel limit, and
        // two billion of them were reserved (48 GB of empty volumes).
        {"two billion volumes of no voxels", 0, 4, 2, 2000000000, "2000000000 volumes"},
    };
    const fs::path dir = tempDir("fmr-hostile");
    for (const Case& c : cases) {
        const fs::path path = writeRun(dir, "h", gridDocument(c.nx, c.ny, c.nz, c.nv, "", "h"), {1, 2, 3, 4});
        const std::string message = messageOf<IOError>([&] { FMR fmr(path.string(), true); });
        EXPECT_NE(message.find(c.mentions), std::string::npos) << c.what << ": " << message;
        EXPECT_NE(message.find(path.string()), std::string::npos) << c.what << ": " << message;
        // The document itself still reads: only the slice data are refused,
        // a single volume too unless the volume count alone was too large.
        FMR fmr(path.string(), false);
        if (c.nv > 1000) {
            fmr.LoadSTCVolume(0);
            ASSERT_EQ(fmr.Volumes.size(), 1u) << c.what;
            if (c.nx == 0) {
                EXPECT_EQ(fmr.Volumes[0].size(), 0) << c.what;
                continue;
            }
            EXPECT_EQ(fmr.Volumes[0][0], float(0x0201)) << c.what; // the 4 bytes there, the rest zeros
            EXPECT_EQ(fmr.Volumes[0][2], 0.0f) << c.what;
        } else {
            EXPECT_THROW(fmr.LoadSTCVolume(0), IOError) << c.what;
            EXPECT_TRUE(fmr.Volumes.empty()) << c.what;
        }
    }
}

// ---------------------------------------------------------------- partial loads

TEST(FMRPartialLoad, VolumesEqualThoseOfTheFullLoad)
{
    const int nx = 5, ny = 3, nz = 4, nv = 6;
    const fs::path dir = tempDir("fmr-partial");
    for (bool floats : {true, false}) {
        const std::vector<float> values = codedFile(nx, ny, nz, nv);
        const fs::path path = writeRun(dir, "p", gridDocument(nx, ny, nz, nv, floats ? "DataType: 2\n" : "", "p"),
                                       floats ? floatBytes(values) : int16Bytes(asInts(values)));
        FMR full(path.string(), true);
        struct Case {
            int first, count;
        };
        for (const Case c : {Case{0, 1}, Case{5, 1}, Case{2, 3}, Case{0, 6}, Case{3, 0}}) {
            FMR part(path.string(), false);
            part.LoadSTC(c.first, c.count);
            ASSERT_EQ(part.Volumes.size(), std::size_t(c.count));
            for (int k = 0; k < c.count; ++k)
                EXPECT_TRUE(part.Volumes[k] == full.Volumes[c.first + k])
                    << (floats ? "float" : "16-bit") << " volume " << c.first + k << " of a load from " << c.first;
        }
        FMR zero(path.string(), false);
        zero.LoadSTCVolume(0);
        ASSERT_EQ(zero.Volumes.size(), 1u);
        EXPECT_TRUE(zero.Volumes[0] == full.Volumes[0]);
        EXPECT_TRUE(zero.HasPartialSTC());
        EXPECT_FALSE(full.HasPartialSTC());
    }
}

TEST(FMRPartialLoad, RequestsOutsideTheRunAreRefused)
{
    const fs::path dir = tempDir("fmr-partial-range");
    const fs::path path = writeRun(dir, "r", gridDocument(2, 2, 1, 3, "", "r"), int16Bytes({1, 2, 3, 4}));
    FMR fmr(path.string(), false);
    for (auto [first, count] : {std::pair{3, 1}, {-1, 1}, {2, 2}, {0, -1}, {2147483647, 1}})
        EXPECT_THROW(fmr.LoadSTC(first, count), std::out_of_range) << first << ", " << count;
    EXPECT_TRUE(fmr.Volumes.empty());
}

TEST(FMRPartialLoad, CannotOverwriteTheRunItCameFrom)
{
    const fs::path dir = tempDir("fmr-partial-save");
    const auto bytes = int16Bytes(asInts(codedFile(2, 2, 2, 3)));
    const fs::path path = writeRun(dir, "run", gridDocument(2, 2, 2, 3, "", "run"), bytes);
    const std::string document = readFile(path);
    FMR fmr(path.string(), false);
    fmr.LoadSTCVolume(1);
    EXPECT_THROW(fmr.Save(), IOError);
    EXPECT_EQ(readBytes(dir / "run.stc"), bytes);
    EXPECT_EQ(readFile(path), document);

    // Saved under a new name, the loaded volume becomes a run of its own.
    fmr.SaveAs((dir / "one.fmr").string());
    FMR one((dir / "one.fmr").string(), true);
    EXPECT_EQ(one.NrOfVolumes.value(), 1);
    ASSERT_EQ(one.Volumes.size(), 1u);
    for (int z = 0; z < 2; ++z)
        for (int i = 0; i < 4; ++i) EXPECT_EQ(one.Volumes[0][z * 4 + i], codeOf(i % 2, i / 2, z, 1));
}

// ---------------------------------------------------------------- saving

TEST(FMRSave, NrOfVolumesFollowsTheLoadedVolumes)
{
    const fs::path dir = tempDir("fmr-save-count");
    const fs::path path = writeRun(dir, "c", gridDocument(2, 1, 1, 3, "DataType: 2\n", "c"),
                                   floatBytes({1, 2, 3, 4, 5, 6}));
    {
        FMR fmr(path.string(), true);
        fmr.Volumes.pop_back();
        fmr.Save();
    }
    EXPECT_NE(readFile(path).find("NrOfVolumes:          2\n"), std::string::npos) << readFile(path);
    EXPECT_EQ(readBytes(dir / "c.stc"), floatBytes({1, 2, 3, 4}));
    {
        FMR fmr(path.string(), true);
        for (int k = 0; k < 8; ++k) fmr.Volumes.emplace_back(2, 1, 1, float(k));
        fmr.Save();
        FMR back(path.string(), true);
        EXPECT_EQ(back.NrOfVolumes.value(), 10);
        ASSERT_EQ(back.Volumes.size(), 10u);
        EXPECT_EQ(back.Volumes[9][1], 7.0f);
    }
    // Without loaded volumes only the document is written, NrOfVolumes kept.
    writeFile(path, gridDocument(2, 1, 1, 44, "DataType: 2\n", "c"));
    const auto stcBefore = readBytes(dir / "c.stc");
    FMR fmr(path.string(), false);
    fmr.TR.set("TR", 2500, 22);
    fmr.Save();
    EXPECT_NE(readFile(path).find("NrOfVolumes:          44\n"), std::string::npos);
    EXPECT_NE(readFile(path).find("TR:                   2500\n"), std::string::npos);
    EXPECT_EQ(readBytes(dir / "c.stc"), stcBefore);
}

TEST(FMRSave, SaveAsReadsTheOldDataAndRenamesTheRun)
{
    const fs::path dir = tempDir("fmr-saveas");
    const fs::path oldPath = dir / "old" / "run1.fmr";
    fs::create_directories(oldPath.parent_path());
    fs::create_directories(dir / "new");
    writeFile(oldPath, FullDocument);
    const std::vector<float> values = codedFile(4, 3, 2, 3);
    writeFile(dir / "old" / "run1.stc", [&] {
        auto b = floatBytes(values);
        return std::string(b.begin(), b.end());
    }());

    FMR fmr(oldPath.string(), false);
    fmr.SaveAs((dir / "new" / "run2.fmr").string());
    EXPECT_EQ(fmr.FileName, (dir / "new" / "run2.fmr").string());
    EXPECT_EQ(fmr.Volumes.size(), 3u);
    std::string expected = FullDocument;
    expected.replace(expected.find("\"run1\""), 6, "\"run2\""); // quoting and width kept
    EXPECT_EQ(readFile(dir / "new" / "run2.fmr"), expected);
    EXPECT_EQ(readBytes(dir / "new" / "run2.stc"), floatBytes(values));
    // the old run is untouched
    EXPECT_EQ(readFile(oldPath), FullDocument);
    EXPECT_EQ(folderEntries(dir / "new"), (std::vector<std::string>{"run2.fmr", "run2.stc"}));
}

// A volume of the wrong size is refused rather than written in a broken order.
TEST(FMRSave, AVolumeOfTheWrongSizeIsRefusedAndChangesNothing)
{
    const fs::path dir = tempDir("fmr-save-fail");
    const auto bytes = floatBytes({1, 2, 3, 4});
    const fs::path path = writeRun(dir, "k", gridDocument(2, 2, 1, 1, "DataType: 2\n", "k"), bytes);
    const std::string document = readFile(path);
    FMR fmr(path.string(), true);
    fmr.Volumes.emplace_back(3, 1, 1, 0.0f);
    EXPECT_EQ(messageOf<WriteFileError>([&] { fmr.Save(); }),
              "Failed opening STC for writing: " + (dir / "k.stc").string() +
                  " (a volume of 3 x 1 x 1 voxels in a run of 2 x 2 x 1)");
    EXPECT_EQ(readFile(path), document);
    EXPECT_EQ(readBytes(dir / "k.stc"), bytes);
    EXPECT_EQ(folderEntries(dir), (std::vector<std::string>{"k.fmr", "k.stc"}));
}

TEST(FMRSave, UnloadReleasesTheDataAndKeepsTheHeader)
{
    const fs::path dir = tempDir("fmr-unload");
    const fs::path path = writeRun(dir, "u", gridDocument(2, 2, 1, 2, "", "u"), int16Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    FMR fmr(path.string(), true);
    ASSERT_EQ(fmr.Volumes.size(), 2u);
    fmr.UnloadSTC();
    EXPECT_TRUE(fmr.Volumes.empty());
    EXPECT_EQ(fmr.Volumes.capacity(), 0u);
    EXPECT_EQ(fmr.NrOfVolumes.value(), 2);
    fmr.LoadSTC();
    EXPECT_EQ(fmr.Volumes[1][3], 8.0f);
}
