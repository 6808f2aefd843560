// Other packages' motion files read as six numbers; tremora import: a NIfTI
// run written with nifti_clib comes back voxel for voxel as FMR slice data.

#include <nifti1_io.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>

#include "fixtures.h"
#include "motionfiles.h"
#include "motionmeasures.h"
#include "myFMR.h"
#include "nifti.h"
#include "testing.h"

using namespace qc; // the quality-control library (code/qc)

namespace fs = std::filesystem;
using support::runCli;
using namespace std::string_literals;

namespace {

std::string file(const std::string& name, const std::string& text)
{
    const fs::path path = support::tempDir("motion") / name;
    support::writeFile(path, text);
    return path.string();
}

struct Imported { support::CliResult cli; fs::path dir; };

Imported importRun(const fs::path& bold, const fs::path& motion, const std::string& format, std::vector<std::string> extra = {})
{
    const fs::path dir = support::tempDir("imported");
    std::vector<std::string> args = {"import", "--bold", bold.string(), "--motion", motion.string(), "--motion-format", format, "--out", dir.string(), "--name", "run"};
    args.insert(args.end(), extra.begin(), extra.end());
    return {runCli(args), dir};
}

std::string fslRows(int n)
{
    std::string text;
    for (int v = 0; v < n; ++v) text += "0.001 0 0 " + std::to_string(0.1 * v) + " 0 0\n";
    return text;
}

} // namespace

// Each format's six numbers in its own order, line ends, comments and blank lines.
TEST(MotionFiles, EachFormatGivesItsSixNumbersPerRowOrAnErrorWithLineAndColumn)
{
    struct Case { MotionFormat format; const char* name; std::string text; std::size_t rows; MotionRow last; } cases[] = {
        {MotionFormat::FSL, "mc.par", "0.01 -0.02 0.03 1.5 -2.5 3.5\n", 1, {0.01, -0.02, 0.03, 1.5, -2.5, 3.5}},
        {MotionFormat::SPM, "rp_run.txt", "  1.5  -2.5   3.5  0.01  -0.02  0.03\n", 1, {1.5, -2.5, 3.5, 0.01, -0.02, 0.03}},
        {MotionFormat::AFNI, "mc.1D", "# 3dvolreg\n# roll pitch yaw dS dL dP\n0 0 0 1 2 3\n1 2 3 0.5 -0.25 0.75\n", 2, {1, 2, 3, 0.5, -0.25, 0.75}},
        // By column name, in any order, with n/a in other columns.
        {MotionFormat::FMRIPrep, "sub-01_desc-confounds_timeseries.tsv",
         "global_signal\trot_z\ttrans_x\tframewise_displacement\ttrans_y\ttrans_z\trot_x\trot_y\nn/a\t0.03\t1.5\tn/a\t-2.5\t3.5\t0.01\t-0.02\n", 1, {1.5, -2.5, 3.5, 0.01, -0.02, 0.03}},
        {MotionFormat::FSL, "crlf.par", "0 0 0 1 2 3\r\n0 0 0 4 5 6\r\n", 2, {0, 0, 0, 4, 5, 6}},
        {MotionFormat::FSL, "blank.par", "\n0 0 0 1 2 3\n\n   \n0\t0\t0\t7 8 9\n\n", 2, {0, 0, 0, 7, 8, 9}},
        {MotionFormat::FMRIPrep, "bom_desc-confounds_timeseries.tsv",
         "\xEF\xBB\xBFtrans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\r\n0\t0\t0\t1\t0\t0\r\n0\t0\t0\t2\t0\t0\r\n", 2, {0, 0, 0, 2, 0, 0}},
    };
    for (const auto& c : cases) {
        const PackageRows rows = readMotionFile(file(c.name, c.text), c.format);
        ASSERT_EQ(rows.size(), c.rows) << c.name;
        EXPECT_EQ(rows.back(), c.last) << c.name;
    }
    // Malformed files are refused naming the file, the line and the column.
    const std::string header = "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\tcsf\n";
    struct Bad { MotionFormat format; std::string text, expected; } bad[] = { // expected: after the file's name
        {MotionFormat::FSL, "", "holds no motion parameters"},
        {MotionFormat::FSL, "0 0 0 0 0 0\n0 0 0 0 0\n", "line 2: 5 columns, expected 6 (rotations x, y, z in radians"},
        {MotionFormat::AFNI, "0 0 0 0 0 0 0\n", "line 1: 7 columns, expected 6 (roll, pitch, yaw in degrees"},
        {MotionFormat::SPM, "0 0 abc 0 0 0\n", "line 1, column 3: 'abc' is not a number"},
        {MotionFormat::FSL, "0 0 0 0 1.5x 0\n", "line 1, column 5: '1.5x' is not a number"},
        {MotionFormat::FSL, "0 0 0 0 0 nan\n", "line 1, column 6: 'nan' is not a finite number"},
        {MotionFormat::SPM, "1e999 0 0 0 0 0\n", "line 1, column 1: '1e999' is not a finite number"},
        {MotionFormat::FMRIPrep, "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\n0\t0\t0\t0\t0\n", "line 1: the header has no column rot_z"},
        {MotionFormat::FMRIPrep, header + "0\t0\t0\t0\t0\t0\tn/a\n0\t0\t0\tn/a\t0\t0\t1\n",
         "line 3, column 4: n/a (rot_x) where a motion parameter is needed"},
        {MotionFormat::FMRIPrep, header + "0\t0\t0\t0\t0\t0\n", "line 2: 6 tab-separated fields, the header has 7"},
        {MotionFormat::FMRIPrep, header + "0\t0\t0\t0\t0\tx\t1\n", "line 2, column 6: 'x' (rot_z) is not a number"},
        {MotionFormat::FMRIPrep, header, "holds a header but no motion parameters"},
        {MotionFormat::FMRIPrep, "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\ttrans_x\n", "names the column trans_x twice"},
    };
    for (const auto& c : bad) {
        const std::string path = file("case" + std::to_string(&c - bad) + ".txt", c.text);
        try {
            readMotionFile(path, c.format);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const IOError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find(path + ": "), std::string::npos) << message;
            EXPECT_NE(message.find(c.expected), std::string::npos) << "expected '" << c.expected << "' in: " << message;
        }
    }
}

TEST(MotionFiles, FormatsByNameAndByFileName)
{
    EXPECT_THROW(motionFormatFromName("FSL"), std::invalid_argument);
    const std::pair<const char*, std::optional<MotionFormat>> cases[] = {{"run/prefiltered_func_data_mcf.par", MotionFormat::FSL}, {"rp_arun.txt", MotionFormat::SPM},
        {"motion.txt", std::nullopt}, {"dir/rp_x.txt.bak", std::nullopt}, {"dfile.r01.1D", MotionFormat::AFNI}, {"confounds.tsv", std::nullopt},
        {"run.nii.gz", std::nullopt}, {"sub-01_task-rest_desc-confounds_timeseries.tsv", MotionFormat::FMRIPrep}, {"sub-01_task-rest_desc-confounds_regressors.tsv", MotionFormat::FMRIPrep}};
    for (const auto& [path, expected] : cases) EXPECT_EQ(motionFormatOfFileName(path), expected) << path;
}

// NIfTI and a volume of slice data both run x fastest, then y, then z; the
// values are scaled in double and rounded to float once; the voxel size along
// y and z is 1.25 and 1.75 times that along x (in mm); notes go to standard error.
TEST(Import, VoxelsGeometryAndRepetitionTime)
{
    struct Case {
        const char* what;
        int datatype;
        float slope, inter;
        double base, step; // the stored value of voxel i: base + step * (i mod 251)
        int ndim, nt, xyzUnits, timeUnits;
        float dt;
        std::vector<std::string> extra;
        int tr;
        float voxelX;
        std::string note;
    } cases[] = {
        {"int16 with scl_slope 0.5 and scl_inter 10, seconds", NIFTI_TYPE_INT16, 0.5f, 10.0f, -1000, 13, 4, 6, NIFTI_UNITS_MM, NIFTI_UNITS_SEC, 2.5f, {}, 2500, 2.0f, ""},
        {"float32 with scl_slope 2 and scl_inter -1, milliseconds", NIFTI_TYPE_FLOAT32, 2.0f, -1.0f, 5.5, 1.75, 4, 6, NIFTI_UNITS_MM, NIFTI_UNITS_MSEC, 750.0f, {}, 750, 2.0f, ""},
        {"uint8, microseconds", NIFTI_TYPE_UINT8, 0.0f, 0.0f, 0, 1, 4, 6, NIFTI_UNITS_MM, NIFTI_UNITS_USEC, 1.2e6f, {}, 1200, 2.0f, ""},
        {"float64, no time unit, small: seconds", NIFTI_TYPE_FLOAT64, 0.0f, 0.0f, 1.0 / 3.0, 0.1, 4, 6, NIFTI_UNITS_MM, 0, 1.5f, {}, 1500, 2.0f, "taken as 1500 ms"},
        {"no time unit, large: milliseconds", NIFTI_TYPE_FLOAT32, 0.0f, 0.0f, 0, 1, 4, 3, NIFTI_UNITS_MM, 0, 800.0f, {}, 800, 2.0f, "taken as 800 ms"},
        {"voxels in metres", NIFTI_TYPE_FLOAT32, 0.0f, 0.0f, 0, 1, 4, 3, NIFTI_UNITS_METER, NIFTI_UNITS_SEC, 2.0f, {}, 2000, 2000.0f, ""},
        {"--tr overrides the header", NIFTI_TYPE_FLOAT32, 0.0f, 0.0f, 0, 1, 4, 3, NIFTI_UNITS_MM, NIFTI_UNITS_SEC, 2.0f, {"--tr", "1000"}, 1000, 2.0f, ""},
        {"no repetition time, --tr given", NIFTI_TYPE_FLOAT32, 0.0f, 0.0f, 0, 1, 4, 3, NIFTI_UNITS_MM, NIFTI_UNITS_SEC, 0.0f, {"--tr", "3000"}, 3000, 2.0f, ""},
        {"a 3D image is one volume", NIFTI_TYPE_FLOAT32, 0.0f, 0.0f, 0, 1, 3, 1, NIFTI_UNITS_MM, NIFTI_UNITS_SEC, 0.0f, {"--tr", "2000"}, 2000, 2.0f, ""},
    };
    const int nx = 5, ny = 4, nz = 3, image = nx * ny * nz;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const support::NiftiLayout layout{.dims = {nx, ny, nz, c.nt}, .ndim = c.ndim, .datatype = c.datatype, .pixdim = {2.0f, 2.5f, 3.5f, c.dt},
                                          .xyzUnits = c.xyzUnits, .timeUnits = c.timeUnits, .slope = c.slope, .inter = c.inter};
        std::vector<double> stored(std::size_t(image * c.nt));
        for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = c.base + c.step * double(i % 251);
        const fs::path dir = support::tempDir("nifti");
        support::writeNifti((dir / "bold.nii.gz").string(), layout, stored);
        support::writeFile(dir / "mc.par", fslRows(c.nt));
        const Imported r = importRun(dir / "bold.nii.gz", dir / "mc.par", "fsl", c.extra);
        ASSERT_EQ(r.cli.status, 0) << r.cli.err;
        EXPECT_NE(r.cli.err.find(c.note), std::string::npos) << r.cli.err;
        FMR fmr((r.dir / "run.fmr").string(), true);
        EXPECT_EQ((std::vector<int>{fmr.ResolutionX.value(), fmr.ResolutionY.value(), fmr.NrOfSlices.value(), fmr.NrOfVolumes.value(), fmr.DataType.value(), fmr.TR.value()}),
                  (std::vector<int>{nx, ny, nz, c.nt, 2, c.tr}));
        EXPECT_EQ((std::vector<float>{fmr.InplaneResolutionX.value(), fmr.InplaneResolutionY.value(), fmr.SliceThickness.value()}),
                  (std::vector<float>{c.voxelX, c.voxelX * 1.25f, c.voxelX * 1.75f}));
        ASSERT_EQ(fmr.Volumes.size(), std::size_t(c.nt));
        const double slope = c.slope != 0.0f ? c.slope : 1.0, inter = c.slope != 0.0f ? c.inter : 0.0;
        int wrong = 0;
        for (int v = 0; v < c.nt; ++v)
            for (int j = 0; j < image; ++j) {
                double raw = stored[std::size_t(v * image + j)];
                if (c.datatype == NIFTI_TYPE_INT16 || c.datatype == NIFTI_TYPE_UINT8) raw = double(std::lround(raw));
                if (c.datatype == NIFTI_TYPE_FLOAT32) raw = double(float(raw));
                const float expected = float(slope * raw + inter), actual = fmr.Volumes[std::size_t(v)].data()[j];
                if (actual != expected && wrong++ < 5) ADD_FAILURE() << "voxel " << j << " of volume " << v << " is " << actual << ", expected " << expected;
            }
        EXPECT_EQ(wrong, 0);
    }
}

// Refusals of what only a hand-made run shows (the others are in the golden tier).
TEST(Import, RefusalsLeaveNoFiles)
{
    const fs::path dir = support::tempDir("refusals");
    const support::NiftiLayout good{.dims = {4, 3, 2, 6}};
    support::NiftiLayout complex = good, flat = good, untimed = good, ref = good;
    complex.datatype = NIFTI_TYPE_COMPLEX64;
    flat.pixdim = {2.0f, 0.0f, 2.0f, 2.0f};
    untimed.pixdim[3] = 0.0f;
    ref.dims = {4, 3, 3, 1}, ref.ndim = 3;
    for (const auto& [name, layout] : {std::pair{"good.nii.gz", good}, {"complex.nii", complex}, {"flat.nii", flat}, {"untimed.nii", untimed}, {"ref.nii", ref}})
        support::writeNifti((dir / name).string(), layout, std::vector<double>(std::size_t(layout.dims[0] * layout.dims[1] * layout.dims[2] * layout.dims[3]), 1.0));
    for (int n : {5, 6, 7}) support::writeFile(dir / (std::to_string(n) + ".par"), fslRows(n));
    struct Case { const char *bold, *motion; std::vector<std::string> extra; std::string expected; } cases[] = {
        {"good.nii.gz", "5.par", {}, "5.par has 5 rows but the run " + (dir / "good.nii.gz").string() + " has 6 volumes"},
        {"good.nii.gz", "7.par", {}, "has 7 rows but the run"},
        {"complex.nii", "6.par", {}, "holds COMPLEX64 values; import takes real-valued images"},
        {"flat.nii", "6.par", {}, "the voxel size along y is 0"},
        {"untimed.nii", "6.par", {}, "give it with --tr MS"},
        {"good.nii.gz", "6.par", {"--reference-image", (dir / "ref.nii").string()}, "the reference must lie on the run's grid"},
    };
    for (const auto& c : cases) {
        const Imported r = importRun(dir / c.bold, dir / c.motion, "fsl", c.extra);
        EXPECT_EQ(r.cli.status, 1) << c.bold << " + " << c.motion;
        EXPECT_NE(r.cli.err.find(c.expected), std::string::npos) << "expected '" << c.expected << "' in: " << r.cli.err;
        EXPECT_TRUE(fs::is_empty(r.dir)) << c.bold << " + " << c.motion;
    }
}

TEST(Import, OrientationMotionSourceAndNaNVoxels)
{
    for (const float ax : {-2.0f, 2.0f}) {
        const fs::path dir = support::tempDir("axes");
        // Doubles: a stored NaN, and 1e300, which fits a double but no float.
        const support::NiftiLayout layout{
            .dims = {4, 3, 2, 1}, .ndim = 3, .datatype = NIFTI_TYPE_FLOAT64, .pixdim = {2, 2, 2, 2}, .affine = {{{ax, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}}}};
        std::vector<double> values(24, 50.0);
        values[5] = std::nan("");
        values[7] = 1e300;
        support::writeNifti((dir / "b.nii").string(), layout, values);
        support::writeFile(dir / "mc.par", "0.01 -0.02 0.03 1.5 -2.5 3.5\n");
        const Imported r = importRun(dir / "b.nii", dir / "mc.par", "fsl", {"--tr", "2000"});
        ASSERT_EQ(r.cli.status, 0) << r.cli.err;
        EXPECT_NE(r.cli.err.find("warning: 2 voxels of " + (dir / "b.nii").string() + " held a value that is not finite (NaN or infinite; 2 values in all)"),
                  std::string::npos) << r.cli.err;
        const std::string mirrored = ax > 0 ? "x mirrored" : "x not mirrored";
        for (const std::string text : {"voxel axes toward " + std::string(ax < 0 ? "LAS" : "RAS"), "motion convention: FSL mcflirt"s, mirrored, "reference: volume 0 of the run"s})
            EXPECT_NE(r.cli.out.find(text), std::string::npos) << text << " in:\n" << r.cli.out;
        const auto sidecar = nlohmann::json::parse(support::readFile(r.dir / "run_3DMC.json"));
        EXPECT_NE(sidecar.at("Convention").get<std::string>().find(mirrored), std::string::npos) << sidecar.dump(2);
        FMR fmr((r.dir / "run.fmr").string(), true);
        EXPECT_EQ((std::vector<float>(fmr.Volumes[0].data() + 5, fmr.Volumes[0].data() + 8)), (std::vector<float>{0.0f, 50.0f, 0.0f}));
    }
}

TEST(Import, ShearedAffineIsWarnedOnceForSPM)
{
    const fs::path dir = support::tempDir("shear");
    const support::NiftiLayout layout{.dims = {4, 3, 2, 2}, .pixdim = {2, 2, 2, 2}, .affine = {{{2, 0.4f, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}}}}; // j leans toward x
    support::writeNifti((dir / "b.nii").string(), layout, std::vector<double>(48, 5.0));
    support::writeFile(dir / "rp_b.txt", "0 0 0 0 0 0\n1 0 0 0.01 0 0\n");
    const Imported r = importRun(dir / "b.nii", dir / "rp_b.txt", "spm");
    const std::string warning = "warning: the sform's voxel axes are not perpendicular (shear)";
    EXPECT_EQ(r.cli.status, 0) << r.cli.err;
    const std::size_t first = r.cli.err.find(warning);
    EXPECT_TRUE(first != std::string::npos && first == r.cli.err.rfind(warning)) << "warned not once:\n" << r.cli.err;
}

TEST(Import, RealTraceThroughConfoundAndDisplacement)
{
    // An 8 x 8 x 4 head (bright ellipsoid), 365 volumes, stored radiologically
    // as FSL keeps its images, with the mcflirt trace.
    const int nx = 8, ny = 8, nz = 4, nt = 365;
    const support::NiftiLayout layout{
        .dims = {nx, ny, nz, nt}, .datatype = NIFTI_TYPE_INT16, .pixdim = {3.0f, 3.0f, 4.0f, 2.0f}, .affine = {{{-3, 0, 0, 10}, {0, 3, 0, -12}, {0, 0, 4, -6}}}};
    std::vector<double> stored(std::size_t(nx * ny * nz * nt));
    for (int v = 0; v < nt; ++v)
        for (int z = 0; z < nz; ++z)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) {
                    const double u = (x - 3.5) / 3.2, w = (y - 3.5) / 3.2, s = (z - 1.5) / 2.0;
                    stored[std::size_t(((v * nz + z) * ny + y) * nx + x)] = u * u + w * w + s * s <= 1.0 ? 800 + v % 7 : 10;
                }
    const fs::path dir = support::tempDir("real");
    support::writeNifti((dir / "rest_bold.nii.gz").string(), layout, stored);
    fs::copy_file(support::sharedData("mcflirt_movpar.txt"), dir / "prefiltered_func_data_mcf.par");
    const fs::path out = dir / "run";
    const auto imported = runCli({"import", "--bold", (dir / "rest_bold.nii.gz").string(), "--motion",
                                  (dir / "prefiltered_func_data_mcf.par").string(), "--motion-format", "fsl", "--out", out.string()});
    ASSERT_EQ(imported.status, 0) << imported.err;
    const std::string fmr = (out / "rest_bold.fmr").string(), sdm = (out / "rest_bold_3DMC.sdm").string();

    // Framewise displacement comes from FSL's own numbers, kept beside the SDM: the peer's values.
    const auto confound = runCli({"confound", "--sdm", sdm, "--fmr", fmr, "--tsv"});
    ASSERT_EQ(confound.status, 0) << confound.err;
    const auto table = support::tsvRows(support::readFile(out / "rest_desc-confounds_timeseries.tsv"));
    const std::size_t column = std::size_t(std::find(table[0].begin(), table[0].end(), "framewise_displacement") - table[0].begin());
    const std::vector<double> peer = support::realTracePeerFD();
    ASSERT_EQ(table.size(), std::size_t(nt + 1));
    ASSERT_EQ(peer.size(), std::size_t(nt - 1));
    for (std::size_t t = 1; t < std::size_t(nt); ++t) ASSERT_NEAR(std::stod(table[t + 1][column]), peer[t - 1], 2e-6) << "volume " << t; // six digits
    // trans_* and rot_* are mcflirt's own numbers, as fMRIPrep up to release 24
    // lists them: trans_x = tx (the fourth number of a .par row), rot_x = rx (the first).
    std::ifstream par(support::sharedData("mcflirt_movpar.txt"));
    for (std::size_t t = 0; t < std::size_t(nt); ++t) {
        double rx, ry, rz, tx, ty, tz;
        par >> rx >> ry >> rz >> tx >> ty >> tz;
        const double expected[6] = {tx, ty, tz, rx, ry, rz};
        for (std::size_t k = 0; k < 6; ++k) ASSERT_EQ(std::stod(table[t + 1][k]), expected[k]) << table[0][k] << " volume " << t;
    }
    EXPECT_EQ(std::vector<std::string>(table[0].begin(), table[0].begin() + 6),
              (std::vector<std::string>{"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"}));
    // The report says how the motion was read; its FD is the peer's too.
    const auto report = runCli({"report", "--fmr", fmr, "--sdm", sdm, "--out", (out / "report.html").string()});
    ASSERT_EQ(report.status, 0) << report.err;
    const std::string html = support::readFile(out / "report.html");
    for (const char* text : {"id=\"motion-source\">Imported motion. Convention: FSL mcflirt", "Reference: volume 182 of the run",
                             "Centre of rotation: c = the reference&#39;s centre of gravity", "FSL&#39;s own parameters in"})
        EXPECT_NE(html.find(text), std::string::npos) << text;
    const std::size_t at = html.find("data-value=\"", html.find("id=\"fd-max\""));
    ASSERT_NE(at, std::string::npos);
    EXPECT_NEAR(std::stod(html.substr(at + 12)), *std::max_element(peer.begin(), peer.end()), 2e-6);
}
