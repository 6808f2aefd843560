// Damaged inputs are refused with one line that names the file, and nothing
// is written: cut or corrupt gzip, data shorter than the header, vox_offset
// beyond the file, a volume without a finite value, masks off the run's grid,
// motion beyond any head's. A voxel that is not finite is left out of DVARS.

#include <nlohmann/json.hpp>
#include <zlib.h>

#include <cmath>
#include <cstring>

#include "myFMR.h"
#include "nifti.h"
#include "niftiread.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::runCli;

namespace {

constexpr int nx = 6, ny = 5, nz = 4, nt = 8, voxels = nx * ny * nz;
// 2 x 2 x 3 mm voxels, the first voxel at (-5, -4, -6) mm.
const support::NiftiLayout layout{.dims = {nx, ny, nz, nt}, .pixdim = {2, 2, 3, 2}, .affine = {{{2, 0, 0, -5}, {0, 2, 0, -4}, {0, 0, 3, -6}}}};

// A head of 800 to 1000 with a different, irregular series in every voxel.
std::vector<double> head()
{
    std::vector<double> v(std::size_t(voxels * nt));
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = 800.0 + double((i * 2654435761u) % 200u);
    return v;
}

// A copy of bytes cut to `size` (when smaller) with the byte at `flip` (when any) changed.
void writeDamaged(const fs::path& path, std::vector<unsigned char> bytes, std::size_t size, std::size_t flip = std::string::npos)
{
    bytes.resize(std::min(size, bytes.size()));
    if (flip < bytes.size()) bytes[flip] ^= 0x5a;
    support::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string fslRows(int n)
{
    std::string text;
    for (int v = 0; v < n; ++v) text += "0.001 0 0 " + std::to_string(0.1 * v) + " 0 0\n";
    return text;
}

int lines(const std::string& text) { return int(std::count(text.begin(), text.end(), '\n')); }

} // namespace

// tremora import: every damaged run or motion file is one line on standard
// error naming it, status 1, and an empty output folder.
TEST(DamagedInput, ImportRefusesWithOneLineAndWritesNothing)
{
    const fs::path dir = support::tempDir("damaged");
    support::writeNifti((dir / "good.nii.gz").string(), layout, head());
    support::writeNifti((dir / "good.nii").string(), layout, head());
    const auto gz = support::readBytes(dir / "good.nii.gz"), nii = support::readBytes(dir / "good.nii");
    writeDamaged(dir / "cut.nii.gz", gz, gz.size() * 9 / 10);
    writeDamaged(dir / "trailer.nii.gz", gz, gz.size() - 3);             // data whole, trailer cut
    writeDamaged(dir / "crc.nii.gz", gz, gz.size(), gz.size() - 6);      // the trailer's CRC
    writeDamaged(dir / "short.nii", nii, nii.size() - 4 * voxels);      // a volume short
    auto offset = nii;
    const float beyond = 1e6f;
    std::memcpy(&offset[108], &beyond, 4); // vox_offset
    writeDamaged(dir / "offset.nii", offset, offset.size());
    std::vector<double> nanVolume = head();
    std::fill(nanVolume.begin() + 3 * voxels, nanVolume.begin() + 4 * voxels, std::nan(""));
    support::writeNifti((dir / "nanvolume.nii").string(), layout, nanVolume);
    // Infinities from scaling: 800 * 1e36 is beyond a float.
    support::NiftiLayout scaled = layout;
    scaled.slope = 1e36f;
    support::writeNifti((dir / "overflow.nii").string(), scaled, head());

    support::writeFile(dir / "mc.par", fslRows(nt));
    const std::string still = "0 0 0 0 0 0\n";
    auto rows = [&](const std::string& row) {
        std::string text = still + row;
        for (int v = 2; v < nt; ++v) text += still;
        return text;
    };
    support::writeFile(dir / "rp_huge.txt", rows("1e308 0 0 0 0 0\n"));
    support::writeFile(dir / "float.par", rows("0 0 0 1e39 0 0\n"));
    support::writeFile(dir / "turns.par", rows("7 0 0 0 0 0\n"));       // radians
    support::writeFile(dir / "degrees.1D", rows("361 0 0 0 0 0\n"));    // degrees
    std::string table = "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\n";
    for (int v = 0; v < nt; ++v) table += v == 4 ? "0\t0\t0\t0\t0\t-6.5\n" : "0\t0\t0\t0\t0\t0\n";
    support::writeFile(dir / "t_desc-confounds_timeseries.tsv", table);

    struct Case { const char *bold, *motion, *format; std::string expected; } cases[] = {
        {"cut.nii.gz", "mc.par", "fsl", "the gzip stream is cut short (the file ends inside it): the data are shorter than the header says"},
        {"trailer.nii.gz", "mc.par", "fsl", "the gzip stream is cut short"},
        {"crc.nii.gz", "mc.par", "fsl", "the gzip stream is damaged (incorrect data check)"},
        {"short.nii", "mc.par", "fsl",
         "the data are shorter than the header says (" + std::to_string(4 * voxels * (nt - 1)) + " of " + std::to_string(4 * voxels * nt) + " bytes after vox_offset 352"},
        {"offset.nii", "mc.par", "fsl", "the header's vox_offset (1000000) lies beyond the end of the file (" + std::to_string(nii.size()) + " bytes)"},
        {"nanvolume.nii", "mc.par", "fsl", "volume 3 (counting from 0) holds no finite value"},
        {"overflow.nii", "mc.par", "fsl", "volume 0 (counting from 0) holds no finite value"},
        {"good.nii.gz", "rp_huge.txt", "spm", "line 2, column 1: 1e+308 mm, beyond single precision, is beyond any head motion (translations lie within +-500 mm)"},
        {"good.nii.gz", "float.par", "fsl", "line 2, column 4: 1e+39 mm, beyond single precision, is beyond any head motion"},
        {"good.nii.gz", "turns.par", "fsl", "line 2, column 1: 7 rad is beyond any head motion (rotations lie within +-2 pi rad)"},
        {"good.nii.gz", "degrees.1D", "afni", "line 2, column 1: 361 degrees is beyond any head motion (rotations lie within +-360 degrees)"},
        {"good.nii.gz", "t_desc-confounds_timeseries.tsv", "fmriprep", "line 6, column 6: -6.5 rad (rot_z) is beyond any head motion"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.bold) + " + " + c.motion);
        const fs::path out = support::tempDir("out");
        const auto r = runCli({"import", "--bold", (dir / c.bold).string(), "--motion", (dir / c.motion).string(), "--motion-format", c.format,
                               "--out", out.string(), "--name", "run"});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(lines(r.err), 1) << r.err;
        const std::string named = (dir / (std::string(c.expected).find("line ") == 0 ? c.motion : c.bold)).string() + ": ";
        EXPECT_NE(r.err.find(named + (c.expected.find("line ") == 0 ? "" : c.expected)), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << "expected '" << c.expected << "' in: " << r.err;
        EXPECT_TRUE(fs::is_empty(out)) << "something was written";
    }
    // process (and batch, which runs it per folder) imports first: the run is failed, with the reason, and nothing is made.
    const fs::path folder = support::tempDir("folder");
    fs::copy_file(dir / "cut.nii.gz", folder / "run.nii.gz");
    fs::copy_file(dir / "mc.par", folder / "run.par");
    const auto processed = runCli({"process", folder.string()});
    EXPECT_EQ(processed.status, 1);
    EXPECT_NE(processed.out.find("failed"), std::string::npos) << processed.out;
    EXPECT_NE((processed.out + processed.err).find("run.nii.gz: the gzip stream is cut short"), std::string::npos) << processed.out << processed.err;
    for (const char* made : {"run.fmr", "run_3DMC.sdm", "run_desc-confounds_timeseries.tsv", "run_report.html"}) EXPECT_FALSE(fs::exists(folder / made)) << made;
}

// A run is read once, as it is inflated, by a reader that takes it a block at
// a time: the blocks are the file's data in order, whatever their size, and a
// file that is not one sound gzip member is left to the whole read (which
// names what is wrong) rather than half taken for good.
TEST(DamagedInput, StreamedRunComesInOrderOrIsLeftToTheWholeRead)
{
    const fs::path dir = support::tempDir("stream");
    // Large enough that reading the header inflates only its start.
    const support::NiftiLayout sixteen{.dims = {32, 32, 16, 8}, .datatype = 4}; // int16
    const std::size_t volume = 2 * 32 * 32 * 16, count = volume / 2 * 8;
    std::vector<double> stored(count);
    std::uint64_t state = 1;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        stored[i] = double(int((state >> 33) % 60000u) - 30000);
    }
    support::writeNifti((dir / "run.nii.gz").string(), sixteen, stored);
    support::writeNifti((dir / "run.nii").string(), sixteen, stored);
    const auto gz = support::readBytes(dir / "run.nii.gz");
    writeDamaged(dir / "cut.nii.gz", gz, gz.size() * 9 / 10);
    writeDamaged(dir / "crc.nii.gz", gz, gz.size(), gz.size() - 6);
    writeDamaged(dir / "inside.nii.gz", gz, gz.size(), gz.size() / 2);
    auto twice = gz;
    twice.insert(twice.end(), gz.begin(), gz.end()); // two members: zlib reads on into the second
    writeDamaged(dir / "twice.nii.gz", twice, twice.size());

    const auto taken = [&](const std::string& name, std::size_t block, std::vector<std::size_t>* sizes = nullptr) {
        const tool::NiftiImage image = tool::readNiftiHeader((dir / name).string());
        std::vector<std::int16_t> values;
        const bool whole = tool::streamNiftiData(*image, block, [&](const unsigned char* data, std::size_t size) {
            const auto* v = reinterpret_cast<const std::int16_t*>(data);
            values.insert(values.end(), v, v + size / 2);
            if (sizes) sizes->push_back(size);
        });
        return std::pair(whole, values);
    };
    std::vector<std::int16_t> expected(stored.begin(), stored.end());
    // A volume at a time; three at a time, the last block two volumes; three
    // values at a time, tens of thousands of hand-overs through a ring of 24
    // bytes, the last block one value.
    for (const std::size_t block : {volume, 3 * volume, std::size_t(6)}) {
        SCOPED_TRACE(block);
        std::vector<std::size_t> sizes;
        const auto [whole, values] = taken("run.nii.gz", block, &sizes);
        EXPECT_TRUE(whole);
        EXPECT_EQ(values, expected);
        ASSERT_EQ(sizes.size(), (2 * count + block - 1) / block);
        EXPECT_EQ(sizes.back(), 2 * count - block * (sizes.size() - 1));
    }
    // Left to the whole read, which refuses the damaged ones and reads the others.
    for (const char* name : {"cut.nii.gz", "crc.nii.gz", "inside.nii.gz", "twice.nii.gz", "run.nii"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(taken(name, volume).first);
    }
    EXPECT_FALSE(taken("run.nii.gz", volume + 1).first) << "a block that splits a value";
    // A stream whose trailer the reader meets only after every byte of the
    // data is out (stored blocks, the file two bytes past a megabyte, the
    // reader's unit: a name in the gzip header makes up the length) is read
    // whole all the same.
    {
        const std::size_t megabyte = std::size_t(1) << 20, n = 512 * 1023;
        support::writeNifti((dir / "flat.nii").string(), {.dims = {512, 1023, 1, 1}, .datatype = 4}, std::vector<double>(n, 7.0));
        const auto raw = support::readBytes(dir / "flat.nii");
        const auto pack = [&](std::string name) {
            z_stream z{};
            deflateInit2(&z, 0, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY); // level 0: stored blocks, gzip
            gz_header header{};
            header.name = reinterpret_cast<Bytef*>(name.data());
            if (!name.empty()) deflateSetHeader(&z, &header);
            std::vector<unsigned char> packed(deflateBound(&z, uLong(raw.size())) + name.size() + 64);
            z.next_in = const_cast<unsigned char*>(raw.data()), z.avail_in = uInt(raw.size());
            z.next_out = packed.data(), z.avail_out = uInt(packed.size());
            deflate(&z, Z_FINISH);
            packed.resize(z.total_out);
            deflateEnd(&z);
            return packed;
        };
        const std::size_t bare = pack("").size();
        ASSERT_LT(bare + 2, megabyte);
        const auto packed = pack(std::string(megabyte + 2 - bare - 1, 'n')); // the name and its terminating zero
        ASSERT_EQ(packed.size(), megabyte + 2);
        writeDamaged(dir / "flat.nii.gz", packed, packed.size());
        const auto [whole, values] = taken("flat.nii.gz", 2 * n);
        EXPECT_TRUE(whole);
        EXPECT_EQ(values, std::vector<std::int16_t>(n, 7));
    }
    // A reader that fails stops the inflater, and its error comes through.
    const tool::NiftiImage image = tool::readNiftiHeader((dir / "run.nii.gz").string());
    int calls = 0;
    EXPECT_THROW(tool::streamNiftiData(*image, 64, [&](const unsigned char*, std::size_t) {
                     if (++calls == 3) throw std::runtime_error("disk full");
                 }),
                 std::runtime_error);
    EXPECT_EQ(calls, 3);
}

// The participant-level job writes a 16-bit run's slice data as the run is
// inflated: each value lies where the file's order (slice, volume, row,
// voxel) puts it; a run damaged half-way fails with the whole read's reason
// and leaves no slice data in its work folder.
TEST(DamagedInput, SliceDataOfAStreamedRunLieInFileOrderAndADamagedOneLeavesNone)
{
    const fs::path root = support::tempDir("study");
    // Large enough that reading the header inflates only its start, so the
    // damage is met half-way through the run.
    constexpr int bx = 32, by = 32, bz = 16, plane = bx * by, volume = plane * bz;
    support::NiftiLayout sixteen = layout;
    sixteen.dims = {bx, by, bz, nt};
    sixteen.datatype = 4;
    std::vector<double> stored(std::size_t(volume * nt));
    std::uint64_t state = 1;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u; // values that do not compress to nothing
        stored[i] = double(800 + int((state >> 33) % 400u)) * (i % 7 == 0 ? -1 : 1); // negative values keep their sign
    }
    support::writeFile(root / "dataset_description.json", R"({"Name": "s", "BIDSVersion": "1.8.0"})");
    const fs::path func = root / "sub-01" / "func", derived = root / "derivatives" / "fmriprep" / "sub-01" / "func";
    fs::create_directories(func);
    fs::create_directories(derived);
    support::writeNifti((func / "sub-01_task-a_bold.nii.gz").string(), sixteen, stored);
    std::string table = "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\n";
    for (int v = 0; v < nt; ++v) table += std::to_string(0.02 * v) + "\t0.01\t-0.03\t0.001\t0\t" + std::to_string(-0.002 * v) + "\n";
    for (const char* task : {"a", "b"}) support::writeFile(derived / ("sub-01_task-" + std::string(task) + "_desc-confounds_timeseries.tsv"), table);
    const auto gz = support::readBytes(func / "sub-01_task-a_bold.nii.gz");
    writeDamaged(func / "sub-01_task-b_bold.nii.gz", gz, gz.size(), gz.size() / 2);

    const fs::path out = root / "derivatives" / "tremora";
    const auto r = runCli({"bids", root.string(), out.string(), "participant", "--keep-work", "--fmriprep-version", "23.2.0"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const fs::path work = out / "work";
    const auto slices = support::readBytes(work / "sub-01_task-a" / "sub-01_task-a.stc");
    ASSERT_EQ(slices.size(), std::size_t(2 * volume * nt));
    int wrong = 0;
    for (int z = 0; z < bz; ++z)
        for (int v = 0; v < nt; ++v)
            for (int i = 0; i < plane; ++i) {
                const std::size_t at = 2 * ((std::size_t(z) * nt + std::size_t(v)) * plane + std::size_t(i));
                const auto value = std::int16_t(std::uint16_t(slices[at] | slices[at + 1] << 8));
                wrong += value != std::int16_t(stored[std::size_t(v) * volume + std::size_t(z) * plane + std::size_t(i)]);
            }
    EXPECT_EQ(wrong, 0);
    // Its reference (the middle volume, taken as it passed) centres the
    // motion as the run read whole does.
    const fs::path whole = root / "whole";
    const auto imported = runCli({"import", "--bold", (func / "sub-01_task-a_bold.nii.gz").string(), "--motion",
                                  (derived / "sub-01_task-a_desc-confounds_timeseries.tsv").string(), "--motion-format", "fmriprep",
                                  "--fmriprep-version", "23.2.0", "--out", whole.string(), "--name", "sub-01_task-a"});
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(support::readFile(work / "sub-01_task-a" / "sub-01_task-a_3DMC.sdm"), support::readFile(whole / "sub-01_task-a_3DMC.sdm"));
    const std::string status = support::readFile(out / "sub-01" / "func" / "sub-01_task-b_desc-tremora_status.json");
    EXPECT_NE(status.find("the gzip stream is damaged"), std::string::npos) << status;
    std::vector<std::string> left;
    for (const auto& e : fs::recursive_directory_iterator(work))
        if (e.path().string().find(".stc") != std::string::npos && e.path().string().find("task-b") != std::string::npos)
            left.push_back(e.path().string());
    EXPECT_TRUE(left.empty()) << left.front();
}

namespace {

// The run imported into its own folder; the path of its run document.
std::string imported(const fs::path& dir, const std::vector<double>& values)
{
    support::writeNifti((dir / "bold.nii.gz").string(), layout, values);
    support::writeFile(dir / "mc.par", fslRows(nt));
    const auto r = runCli({"import", "--bold", (dir / "bold.nii.gz").string(), "--motion", (dir / "mc.par").string(), "--motion-format", "fsl",
                           "--out", dir.string(), "--name", "run"});
    EXPECT_EQ(r.status, 0) << r.err;
    return (dir / "run.fmr").string();
}

std::string mask(const fs::path& path, const support::NiftiLayout& grid, int leftOut = -1)
{
    std::vector<double> ones(std::size_t(grid.dims[0] * grid.dims[1] * grid.dims[2]), 1.0);
    if (leftOut >= 0) ones[std::size_t(leftOut)] = 0.0;
    support::writeNifti(path.string(), grid, ones);
    return path.string();
}

// The dvars and std_dvars columns of the run's confounds table, and its sidecar.
std::pair<std::vector<std::vector<std::string>>, nlohmann::json> dvarsOf(const fs::path& dir)
{
    const auto rows = support::tsvRows(support::readFile(dir / "run_desc-confounds_timeseries.tsv"));
    const auto at = [&](const char* name) { return std::size_t(std::find(rows[0].begin(), rows[0].end(), name) - rows[0].begin()); };
    std::vector<std::vector<std::string>> columns;
    for (const auto& row : rows) columns.push_back({row.at(at("dvars")), row.at(at("std_dvars"))});
    return {columns, nlohmann::json::parse(support::readFile(dir / "run_desc-confounds_timeseries.json"))};
}

} // namespace

// A mask must lie on the run's grid: the same dimensions and the same affine.
// Of the run's shape but 30 mm off, or of another shape, it is refused (both
// affines in the line) or, when asked, replaced by the bright voxels, which
// standard error and the sidecar say. A voxel that is NaN in one volume is
// left out of DVARS and the carpet: the columns equal those of the clean run
// with a mask that leaves that voxel out.
TEST(DamagedInput, MasksOffTheGridAndNonFiniteVoxels)
{
    const fs::path clean = support::tempDir("clean");
    const std::string run = imported(clean, head());
    support::NiftiLayout grid = layout;
    grid.dims[3] = 1, grid.ndim = 3;
    support::NiftiLayout shifted = grid, other = grid, tilted = grid;
    shifted.affine[0][3] += 30.0f;
    other.dims = {nx, ny, nz + 1, 1};
    tilted.affine[0][1] = 0.01f; // j leans 0.3 degrees toward x
    const fs::path masks = support::tempDir("masks");
    struct Case { fs::path mask; std::string policy, expected; int status; } cases[] = {
        {mask(masks / "shifted.nii", shifted), "refuse", "lies elsewhere than the run (voxel to world, sform else qform, rows x y z: its [2.0000 0.0000 0.0000 25.0000; "
                                                         "0.0000 2.0000 0.0000 -4.0000; 0.0000 0.0000 3.0000 -6.0000], the run's [2.0000 0.0000 0.0000 -5.0000;", 1},
        {mask(masks / "tilted.nii.gz", tilted), "refuse", "lies elsewhere than the run", 1},
        {mask(masks / "other.nii", other), "refuse", "has 6 x 5 x 5 voxels, the run 6 x 5 x 4: it is not on the run's grid", 1},
        {mask(masks / "shifted.nii", shifted), "bright", "warning: " + (masks / "shifted.nii").string() + ": lies elsewhere", 0},
        {mask(masks / "other.nii", other), "bright", "warning: " + (masks / "other.nii").string() + ": has 6 x 5 x 5 voxels", 0},
        {masks / "cut.nii.gz", "bright", (masks / "cut.nii.gz").string() + ": the gzip stream is cut short", 1},
    };
    writeDamaged(masks / "cut.nii.gz", support::readBytes(mask(masks / "all.nii.gz", grid)), 100);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask.string() + " " + c.policy);
        fs::remove(clean / "run_desc-confounds_timeseries.tsv");
        const auto r = runCli({"confound", "--sdm", (clean / "run_3DMC.sdm").string(), "--fmr", run, "--tsv", "--sets", "sqr", "--mask", c.mask.string(),
                               "--mask-off-grid", c.policy});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << "expected '" << c.expected << "' in: " << r.err;
        EXPECT_EQ(lines(r.err), 1) << r.err;
        EXPECT_EQ(fs::exists(clean / "run_desc-confounds_timeseries.tsv"), c.status == 0);
        EXPECT_EQ(fs::exists(clean / "run_3DMC_sqr.sdm"), c.status == 0);
        if (c.status == 0)
            EXPECT_NE(dvarsOf(clean).second["dvars"]["Mask"].get<std::string>().find("in place of " + c.mask.filename().string() + ", which is not on the run's grid"),
                      std::string::npos);
        fs::remove(clean / "run_3DMC_sqr.sdm");
    }
    // One NaN voxel (in volume 5): DVARS as without it.
    const int voxel = 2 + nx * (2 + ny * 2);
    std::vector<double> values = head();
    values[std::size_t(5 * voxels + voxel)] = std::nan("");
    const fs::path nan = support::tempDir("nanvoxel");
    const std::string nanRun = imported(nan, values);
    const auto withNaN = runCli({"confound", "--sdm", (nan / "run_3DMC.sdm").string(), "--fmr", nanRun, "--tsv", "--mask", mask(masks / "all.nii", grid)});
    ASSERT_EQ(withNaN.status, 0) << withNaN.err;
    EXPECT_NE(withNaN.err.find("1 voxel of " + nanRun + " held a non-finite value (NaN or infinite) in some volume: left out of DVARS"), std::string::npos) << withNaN.err;
    const auto without = runCli({"confound", "--sdm", (clean / "run_3DMC.sdm").string(), "--fmr", run, "--tsv", "--mask", mask(masks / "but.nii", grid, voxel)});
    ASSERT_EQ(without.status, 0) << without.err;
    const auto [columns, sidecar] = dvarsOf(nan);
    EXPECT_EQ(columns, dvarsOf(clean).first);
    EXPECT_EQ(columns[0], (std::vector<std::string>{"dvars", "std_dvars"}));
    for (const char* column : {"dvars", "std_dvars"}) EXPECT_EQ(sidecar[column]["NonFiniteVoxelsLeftOut"], 1) << column;
    EXPECT_EQ(sidecar["dvars"]["MaskVoxels"], voxels - 1);
    // The voxel is 0 in every volume of the slice data, its neighbour as stored.
    FMR fmr(nanRun, true);
    for (int v : {0, 5, 7}) EXPECT_EQ((std::vector<float>(fmr.Volumes[std::size_t(v)].data() + voxel, fmr.Volumes[std::size_t(v)].data() + voxel + 2)),
                                      (std::vector<float>{0.0f, float(values[std::size_t(v * voxels + voxel + 1)])})) << "volume " << v;
    // The report's carpet and DVARS trace leave it out, and say so.
    const auto report2 = runCli({"report", "--fmr", nanRun, "--sdm", (nan / "run_3DMC.sdm").string(), "--out", (nan / "r.html").string(), "--mask", (masks / "all.nii").string()});
    ASSERT_EQ(report2.status, 0) << report2.err;
    EXPECT_NE(report2.err.find("1 voxel of " + nanRun + " held a non-finite value (NaN or infinite) in some volume: left out of the carpet and DVARS"), std::string::npos) << report2.err;
    EXPECT_NE(support::readFile(nan / "r.html").find("the mask all.nii; 1 voxel with a non-finite value left out"), std::string::npos);
}
