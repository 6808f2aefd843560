// Motion files of other packages read into 3DMC rows, their axes put onto an
// image's voxel axes, and tremora import: a NIfTI run written here with
// nifti_clib comes back voxel for voxel as FMR slice data, with its motion.
#include <gtest/gtest.h>

#include <nifti1_io.h>

#include <cmath>
#include <numbers>
#include <sstream>

#include "motionfiles.h"
#include "motionmeasures.h"
#include "myFMR.h"
#include "mySDM.h"
#include "nifti.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::runCli;

namespace {

constexpr double kDeg = 180.0 / std::numbers::pi;

std::string rowText(const MotionRow& r)
{
    std::ostringstream out;
    out << "(" << r[0] << ", " << r[1] << ", " << r[2] << ", " << r[3] << ", " << r[4] << ", " << r[5] << ")";
    return out.str();
}

// Each case is read from a file of its own.
std::string file(const std::string& name, const std::string& text)
{
    const fs::path path = support::tempDir("motion") / name;
    support::writeFile(path, text);
    return path.string();
}

using Matrix3 = std::array<std::array<double, 3>, 3>;
using Vec3 = std::array<double, 3>;

// The rigid transform of a 3DMC row as the displacement task applies it:
// p -> Rz Ry Rx p − T, right-handed, angles in degrees.
Vec3 moved(const MotionRow& p, const Vec3& x)
{
    const double a = p[3] / kDeg, b = p[4] / kDeg, c = p[5] / kDeg;
    const Matrix3 rx{{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}};
    const Matrix3 ry{{{std::cos(b), 0, std::sin(b)}, {0, 1, 0}, {-std::sin(b), 0, std::cos(b)}}};
    const Matrix3 rz{{{std::cos(c), -std::sin(c), 0}, {std::sin(c), std::cos(c), 0}, {0, 0, 1}}};
    Vec3 v = x;
    for (const Matrix3* m : {&rx, &ry, &rz}) {
        Vec3 w{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) w[i] += (*m)[i][j] * v[j];
        v = w;
    }
    return {v[0] - p[0], v[1] - p[1], v[2] - p[2]};
}

} // namespace

// ------------------------------------------------------------ readers

TEST(MotionFiles, EachFormatGivesTheWorkedRow)
{
    // The same motion in each package's words: rotations 0.01, -0.02, 0.03 rad
    // (0.5729578, -1.1459156, 1.7188734 degrees), translations 1.5, -2.5, 3.5 mm.
    const double r1 = 0.01 * kDeg, r2 = -0.02 * kDeg, r3 = 0.03 * kDeg;
    struct Case {
        MotionFormat format;
        const char* name;
        std::string text;
        MotionRow expected;
    } cases[] = {
        {MotionFormat::FSL, "mc.par", "0.01 -0.02 0.03 1.5 -2.5 3.5\n", {-1.5, 2.5, -3.5, r1, r2, r3}},
        // SPM's pitch and yaw turn left-handed: their signs change.
        {MotionFormat::SPM, "rp_run.txt", "  1.5  -2.5   3.5  0.01  -0.02  0.03\n", {-1.5, 2.5, -3.5, -r1, r2, -r3}},
        // AFNI: roll 1 (about I), pitch 2 (about R), yaw 3 (about A) degrees; dS 0.5, dL -0.25, dP 0.75.
        {MotionFormat::AFNI, "mc.1D", "1 2 3 0.5 -0.25 0.75\n", {0.25, -0.75, -0.5, -2, -3, -1}},
        // fMRIPrep by column name, in any order, with n/a in other columns.
        {MotionFormat::FMRIPrep, "sub-01_desc-confounds_timeseries.tsv",
         "global_signal\trot_z\ttrans_x\tframewise_displacement\ttrans_y\ttrans_z\trot_x\trot_y\n"
         "n/a\t0.03\t1.5\tn/a\t-2.5\t3.5\t0.01\t-0.02\n",
         {-1.5, 2.5, -3.5, r1, r2, r3}},
    };
    for (const auto& c : cases) {
        const MotionParameters rows = readMotionFile(file(c.name, c.text), c.format);
        ASSERT_EQ(rows.size(), 1u) << c.name;
        // Decimal text to double and one multiplication by 180/pi: a few ulps.
        for (int k = 0; k < 6; ++k)
            EXPECT_NEAR(rows[0][k], c.expected[k], 1e-12) << c.name << " column " << k << ": got " << rowText(rows[0])
                                                          << ", expected " << rowText(c.expected);
    }
}

TEST(MotionFiles, LineEndsCommentsAndBlankLines)
{
    struct Case {
        MotionFormat format;
        const char* name;
        std::string text;
        std::size_t rows;
        double lastTranslationX; // of the last row, in 3DMC terms
    } cases[] = {
        {MotionFormat::FSL, "crlf.par", "0 0 0 1 2 3\r\n0 0 0 4 5 6\r\n", 2, -4},
        {MotionFormat::FSL, "blank.par", "\n0 0 0 1 2 3\n\n   \n0\t0\t0\t7 8 9\n\n", 2, -7},
        {MotionFormat::AFNI, "comments.1D", "# 3dvolreg\n# roll pitch yaw dS dL dP\n0 0 0 1 2 3\n0 0 0 4 5 6\n", 2, -5},
        {MotionFormat::FMRIPrep, "bom_desc-confounds_timeseries.tsv",
         "\xEF\xBB\xBFtrans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\r\n1\t0\t0\t0\t0\t0\r\n2\t0\t0\t0\t0\t0\r\n", 2, -2},
    };
    for (const auto& c : cases) {
        const MotionParameters rows = readMotionFile(file(c.name, c.text), c.format);
        ASSERT_EQ(rows.size(), c.rows) << c.name;
        EXPECT_EQ(rows.back()[0], c.lastTranslationX) << c.name;
    }
}

TEST(MotionFiles, MalformedFilesAreRefusedWithFileLineAndColumn)
{
    const std::string header = "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\tcsf\n";
    struct Case {
        MotionFormat format;
        std::string text;
        std::string expected; // part of the message, after the file's name
    } cases[] = {
        {MotionFormat::FSL, "", "holds no motion parameters"},
        {MotionFormat::SPM, "\n  \n# nothing\n", "holds no motion parameters"},
        {MotionFormat::FSL, "0 0 0 0 0 0\n0 0 0 0 0\n", "line 2: 5 columns, expected 6 (rotations x, y, z in radians"},
        {MotionFormat::AFNI, "0 0 0 0 0 0 0\n", "line 1: 7 columns, expected 6 (roll, pitch, yaw in degrees"},
        {MotionFormat::SPM, "0 0 abc 0 0 0\n", "line 1, column 3: 'abc' is not a number"},
        {MotionFormat::FSL, "0 0 0 0 1.5x 0\n", "line 1, column 5: '1.5x' is not a number"},
        {MotionFormat::FSL, "0 0 0 0 0 nan\n", "line 1, column 6: 'nan' is not a finite number"},
        {MotionFormat::AFNI, "# c\n0 -inf 0 0 0 0\n", "line 2, column 2: '-inf' is not a finite number"},
        {MotionFormat::SPM, "1e999 0 0 0 0 0\n", "line 1, column 1: '1e999' is not a finite number"},
        {MotionFormat::FMRIPrep, "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\n0\t0\t0\t0\t0\n", "line 1: the header has no column rot_z"},
        {MotionFormat::FMRIPrep, header + "0\t0\t0\t0\t0\t0\tn/a\n0\t0\t0\tn/a\t0\t0\t1\n",
         "line 3, column 4: n/a (rot_x) where a motion parameter is needed"},
        {MotionFormat::FMRIPrep, header + "0\t0\t0\t0\t0\t0\n", "line 2: 6 tab-separated fields, the header has 7"},
        {MotionFormat::FMRIPrep, header + "0\t0\t0\t0\t0\tx\t1\n", "line 2, column 6: 'x' (rot_z) is not a number"},
        {MotionFormat::FMRIPrep, header, "holds a header but no motion parameters"},
        {MotionFormat::FMRIPrep, "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\ttrans_x\n", "names the column trans_x twice"},
    };
    int k = 0;
    for (const auto& c : cases) {
        const std::string path = file("case" + std::to_string(k++) + ".txt", c.text);
        try {
            readMotionFile(path, c.format);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find(path + ": "), std::string::npos) << message;
            EXPECT_NE(message.find(c.expected), std::string::npos) << "expected '" << c.expected << "' in: " << message;
        }
    }
    EXPECT_THROW(readMotionFile("/nonexistent/mc.par", MotionFormat::FSL), std::runtime_error);
}

TEST(MotionFiles, FormatsByNameAndByFileName)
{
    for (MotionFormat f : {MotionFormat::FSL, MotionFormat::SPM, MotionFormat::AFNI, MotionFormat::FMRIPrep})
        EXPECT_EQ(motionFormatFromName(motionFormatName(f)), f);
    EXPECT_THROW(motionFormatFromName("FSL"), std::invalid_argument);
    struct Case {
        const char* path;
        std::optional<MotionFormat> expected;
    } cases[] = {
        {"run/prefiltered_func_data_mcf.par", MotionFormat::FSL},
        {"rp_arun.txt", MotionFormat::SPM},
        {"motion.txt", std::nullopt},
        {"dir/rp_x.txt.bak", std::nullopt},
        {"dfile.r01.1D", MotionFormat::AFNI},
        {"sub-01_task-rest_desc-confounds_timeseries.tsv", MotionFormat::FMRIPrep},
        {"sub-01_task-rest_desc-confounds_regressors.tsv", MotionFormat::FMRIPrep},
        {"confounds.tsv", std::nullopt},
        {"run.nii.gz", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(motionFormatOfFileName(c.path), c.expected) << c.path;
}

// ------------------------------------------------------------ axes

TEST(MotionAxes, PackageAxesOntoVoxelAxes)
{
    using Affine = std::array<std::array<double, 3>, 3>;
    const double t = std::tan(10.0 / kDeg); // a 10 degree tilt stays with its axis
    struct Case {
        const char* what;
        MotionFormat format;
        Affine voxelToWorld;
        std::array<int, 3> from, sign;
        const char* description;
    } cases[] = {
        {"FSL, radiological storage (LAS)", MotionFormat::FSL, {{{-3, 0, 0}, {0, 3, 0}, {0, 0, 3}}}, {0, 1, 2}, {1, 1, 1},
         "x = FSL x, y = FSL y, z = FSL z"},
        {"FSL, neurological storage (RAS)", MotionFormat::FSL, {{{3, 0, 0}, {0, 3, 0}, {0, 0, 3}}}, {0, 1, 2}, {-1, 1, 1},
         "x = -FSL x, y = FSL y, z = FSL z"},
        {"fMRIPrep, RAS", MotionFormat::FMRIPrep, {{{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}}, {0, 1, 2}, {-1, 1, 1},
         "x = -fMRIPrep x, y = fMRIPrep y, z = fMRIPrep z"},
        {"SPM, RAS", MotionFormat::SPM, {{{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}}, {0, 1, 2}, {1, 1, 1},
         "x = SPM x, y = SPM y, z = SPM z"},
        {"SPM, LAS", MotionFormat::SPM, {{{-2, 0, 0}, {0, 2, 0}, {0, 0, 2}}}, {0, 1, 2}, {-1, 1, 1},
         "x = -SPM x, y = SPM y, z = SPM z"},
        {"SPM, sagittal: i front, j up, k right", MotionFormat::SPM, {{{0, 0, 2}, {2, 0, 0}, {0, 2, 0}}}, {1, 2, 0},
         {1, 1, 1}, "x = SPM y, y = SPM z, z = SPM x"},
        {"SPM, coronal tilted 10 degrees: i left, j down, k front", MotionFormat::SPM,
         {{{-1, 0, 0}, {0, t, 1}, {0, -1, t}}}, {0, 2, 1}, {-1, -1, 1}, "x = -SPM x, y = -SPM z, z = SPM y"},
        {"AFNI, RAS storage", MotionFormat::AFNI, {{{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}}, {0, 1, 2}, {-1, -1, 1},
         "x = -AFNI L, y = -AFNI P, z = AFNI S"},
        {"AFNI, LPS storage", MotionFormat::AFNI, {{{-2, 0, 0}, {0, -2, 0}, {0, 0, 2}}}, {0, 1, 2}, {1, 1, 1},
         "x = AFNI L, y = AFNI P, z = AFNI S"},
    };
    // A row with one rotation at a time: for those the mapped row must move
    // every point exactly as the package's transform seen on the voxel axes.
    const MotionParameters rows = {{1, 2, 3, 10, 0, 0}, {1, 2, 3, 0, 20, 0}, {1, 2, 3, 0, 0, 30}, {-0.5, 0.25, 2, 0, 0, 0}};
    const std::vector<Vec3> points = {{10, 0, 0}, {0, 20, 0}, {0, 0, 30}, {-15, 25, 35}};
    for (const auto& c : cases) {
        const MotionAxisMap map = motionAxisMap(c.format, c.voxelToWorld);
        EXPECT_EQ(map.from, c.from) << c.what;
        EXPECT_EQ(map.sign, c.sign) << c.what;
        EXPECT_EQ(describeMotionAxisMap(c.format, map), c.description) << c.what;
        const MotionParameters mapped = mapMotionAxes(rows, map);
        ASSERT_EQ(mapped.size(), rows.size());
        for (std::size_t r = 0; r < rows.size(); ++r)
            for (const Vec3& p : points) {
                // The point in package axes, moved there, brought back.
                Vec3 q{};
                for (int a = 0; a < 3; ++a) q[map.from[a]] = map.sign[a] * p[a];
                const Vec3 inPackage = moved(rows[r], q);
                Vec3 expected{};
                for (int a = 0; a < 3; ++a) expected[a] = map.sign[a] * inPackage[map.from[a]];
                const Vec3 actual = moved(mapped[r], p);
                // Double precision on coordinates of tens of mm.
                for (int a = 0; a < 3; ++a)
                    EXPECT_NEAR(actual[a], expected[a], 1e-9) << c.what << ", row " << rowText(rows[r]) << ", mapped "
                                                              << rowText(mapped[r]) << ", axis " << a;
            }
    }
}

TEST(MotionAxes, FramewiseDisplacementOfTheRealTraceDoesNotDependOnTheAxes)
{
    const MotionParameters rows = readMotionFile(support::sharedData("mcflirt_movpar.txt").string(), MotionFormat::FSL);
    ASSERT_EQ(rows.size(), 365u);
    const std::vector<double> fd = framewiseDisplacement(rows);
    const std::array<std::array<double, 3>, 3> sagittal{{{0, 0, -2}, {2, 0, 0}, {0, -2, 0}}};
    const MotionParameters mapped = mapMotionAxes(rows, motionAxisMap(MotionFormat::SPM, sagittal));
    const std::vector<double> fdMapped = framewiseDisplacement(mapped);
    for (std::size_t t = 0; t < fd.size(); ++t) ASSERT_DOUBLE_EQ(fd[t], fdMapped[t]) << "volume " << t;
}

// ------------------------------------------------------------ import

namespace {

struct Imported {
    support::CliResult cli;
    fs::path dir;
};

Imported importRun(const fs::path& bold, const fs::path& motion, const std::string& format, std::vector<std::string> extra = {})
{
    Imported r;
    r.dir = support::tempDir("imported");
    std::vector<std::string> args = {"import", "--bold", bold.string(), "--motion", motion.string(), "--motion-format",
                                     format, "--out", r.dir.string(), "--name", "run"};
    args.insert(args.end(), extra.begin(), extra.end());
    r.cli = runCli(args);
    return r;
}

std::string fslRows(int n)
{
    std::string text;
    for (int v = 0; v < n; ++v) text += "0.001 0 0 " + std::to_string(0.1 * v) + " 0 0\n";
    return text;
}

std::vector<std::string> filesIn(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(Import, SliceDataVoxelForVoxel)
{
    struct Case {
        const char* what;
        int datatype;
        float slope, inter;
        double base, step; // stored value of voxel i: base + step * (i mod 251)
    } cases[] = {
        {"int16", NIFTI_TYPE_INT16, 0.0f, 0.0f, -300, 7},
        {"int16 with scl_slope 0.5 and scl_inter 10", NIFTI_TYPE_INT16, 0.5f, 10.0f, -1000, 13},
        {"float32", NIFTI_TYPE_FLOAT32, 0.0f, 0.0f, 0.125, 3.25},
        {"float32 with scl_slope 2 and scl_inter -1", NIFTI_TYPE_FLOAT32, 2.0f, -1.0f, 5.5, 1.75},
        {"uint8", NIFTI_TYPE_UINT8, 0.0f, 0.0f, 0, 1},
        {"float64", NIFTI_TYPE_FLOAT64, 0.0f, 0.0f, 1.0 / 3.0, 0.1},
    };
    const int nx = 5, ny = 4, nz = 3, nt = 6;
    for (const auto& c : cases) {
        support::NiftiLayout layout;
        layout.dims = {nx, ny, nz, nt};
        layout.datatype = c.datatype;
        layout.pixdim = {2.5f, 3.0f, 3.5f, 2.0f};
        layout.slope = c.slope, layout.inter = c.inter;
        std::vector<double> stored(std::size_t(nx * ny * nz * nt));
        for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = c.base + c.step * double(i % 251);
        const fs::path dir = support::tempDir("nifti");
        support::writeNifti((dir / "bold.nii.gz").string(), layout, stored);
        support::writeFile(dir / "mc.par", fslRows(nt));
        const Imported r = importRun(dir / "bold.nii.gz", dir / "mc.par", "fsl");
        ASSERT_EQ(r.cli.status, 0) << c.what << "\n" << r.cli.err;

        FMR fmr((r.dir / "run.fmr").string(), true);
        EXPECT_EQ(fmr.ResolutionX.value(), nx) << c.what;
        EXPECT_EQ(fmr.ResolutionY.value(), ny) << c.what;
        EXPECT_EQ(fmr.NrOfSlices.value(), nz) << c.what;
        EXPECT_EQ(fmr.NrOfVolumes.value(), nt) << c.what;
        EXPECT_EQ(fmr.DataType.value(), 2) << c.what;
        ASSERT_EQ(fmr.Volumes.size(), std::size_t(nt));
        const double slope = c.slope != 0.0f ? c.slope : 1.0, inter = c.slope != 0.0f ? c.inter : 0.0;
        int wrong = 0;
        for (int v = 0; v < nt; ++v)
            for (int z = 0; z < nz; ++z)
                for (int y = 0; y < ny; ++y)
                    for (int x = 0; x < nx; ++x) {
                        const std::size_t i = std::size_t(((v * nz + z) * ny + y) * nx + x);
                        double raw = stored[i];
                        if (c.datatype == NIFTI_TYPE_INT16 || c.datatype == NIFTI_TYPE_UINT8) raw = double(std::lround(raw));
                        if (c.datatype == NIFTI_TYPE_FLOAT32) raw = double(float(raw));
                        // The import scales in double precision and rounds once to float.
                        const float expected = float(slope * raw + inter);
                        const float actual = fmr.Volumes[std::size_t(v)].data()[(z * ny + y) * nx + x];
                        if (actual != expected && wrong++ < 5)
                            ADD_FAILURE() << c.what << ": voxel (" << x << ", " << y << ", " << z << ") of volume " << v
                                          << " is " << actual << ", expected " << expected;
                    }
        EXPECT_EQ(wrong, 0) << c.what;
        EXPECT_EQ(filesIn(r.dir), (std::vector<std::string>{"run.fmr", "run.stc", "run_3DMC.sdm"})) << c.what;
    }
}

TEST(Import, HeaderGeometryAndRepetitionTime)
{
    struct Case {
        const char* what;
        int ndim, nt, xyzUnits, timeUnits;
        float dt;
        std::vector<std::string> extra;
        int status, tr;
        float voxelX;      // mm
        std::string text;  // in the error (status 1) or a note on standard error
    } cases[] = {
        {"seconds", 4, 3, NIFTI_UNITS_MM, NIFTI_UNITS_SEC, 2.5f, {}, 0, 2500, 2.0f, ""},
        {"milliseconds", 4, 3, NIFTI_UNITS_MM, NIFTI_UNITS_MSEC, 750.0f, {}, 0, 750, 2.0f, ""},
        {"microseconds", 4, 3, NIFTI_UNITS_MM, NIFTI_UNITS_USEC, 1.2e6f, {}, 0, 1200, 2.0f, ""},
        {"no time unit, small: seconds", 4, 3, NIFTI_UNITS_MM, 0, 1.5f, {}, 0, 1500, 2.0f, "taken as 1500 ms"},
        {"no time unit, large: milliseconds", 4, 3, NIFTI_UNITS_MM, 0, 800.0f, {}, 0, 800, 2.0f, "taken as 800 ms"},
        {"voxels in metres", 4, 3, NIFTI_UNITS_METER, NIFTI_UNITS_SEC, 2.0f, {}, 0, 2000, 2000.0f, ""},
        {"voxels in microns", 4, 3, NIFTI_UNITS_MICRON, NIFTI_UNITS_SEC, 2.0f, {}, 0, 2000, 0.002f, ""},
        {"--tr overrides the header", 4, 3, NIFTI_UNITS_MM, NIFTI_UNITS_SEC, 2.0f, {"--tr", "1000"}, 0, 1000, 2.0f, ""},
        {"no repetition time", 4, 3, NIFTI_UNITS_MM, NIFTI_UNITS_SEC, 0.0f, {}, 1, 0, 0, "give it with --tr MS"},
        {"no repetition time, --tr given", 4, 3, NIFTI_UNITS_MM, NIFTI_UNITS_SEC, 0.0f, {"--tr", "3000"}, 0, 3000, 2.0f, ""},
        {"a 3D image is one volume", 3, 1, NIFTI_UNITS_MM, NIFTI_UNITS_SEC, 0.0f, {"--tr", "2000"}, 0, 2000, 2.0f, ""},
    };
    for (const auto& c : cases) {
        support::NiftiLayout layout;
        layout.ndim = c.ndim;
        layout.dims = {4, 3, 2, c.nt};
        layout.pixdim = {2.0f, 2.5f, 3.5f, c.dt};
        layout.xyzUnits = c.xyzUnits, layout.timeUnits = c.timeUnits;
        const fs::path dir = support::tempDir("geometry");
        support::writeNifti((dir / "b.nii").string(), layout, std::vector<double>(std::size_t(24 * c.nt), 100.0));
        support::writeFile(dir / "mc.par", fslRows(c.nt));
        const Imported r = importRun(dir / "b.nii", dir / "mc.par", "fsl", c.extra);
        ASSERT_EQ(r.cli.status, c.status) << c.what << "\n" << r.cli.err;
        if (!c.text.empty()) EXPECT_NE(r.cli.err.find(c.text), std::string::npos) << c.what << ": " << r.cli.err;
        if (c.status != 0) {
            EXPECT_TRUE(filesIn(r.dir).empty()) << c.what;
            continue;
        }
        FMR fmr((r.dir / "run.fmr").string(), false);
        EXPECT_EQ(fmr.TR.value(), c.tr) << c.what;
        EXPECT_EQ(fmr.NrOfVolumes.value(), c.nt) << c.what;
        EXPECT_FLOAT_EQ(fmr.InplaneResolutionX.value(), c.voxelX) << c.what;
        EXPECT_FLOAT_EQ(fmr.InplaneResolutionY.value(), c.voxelX * 1.25f) << c.what;
        EXPECT_FLOAT_EQ(fmr.SliceThickness.value(), c.voxelX * 1.75f) << c.what;
    }
}

TEST(Import, RefusalsLeaveNoFiles)
{
    const fs::path dir = support::tempDir("refusals");
    support::NiftiLayout good;
    good.dims = {4, 3, 2, 6};
    support::writeNifti((dir / "good.nii.gz").string(), good, std::vector<double>(144, 1.0));
    support::NiftiLayout complex = good;
    complex.datatype = NIFTI_TYPE_COMPLEX64;
    support::writeNifti((dir / "complex.nii").string(), complex, std::vector<double>(144, 0.0));
    support::NiftiLayout flat = good;
    flat.pixdim = {2.0f, 0.0f, 2.0f, 2.0f};
    support::writeNifti((dir / "flat.nii").string(), flat, std::vector<double>(144, 1.0));
    support::writeFile(dir / "six.par", fslRows(6));
    support::writeFile(dir / "five.par", fslRows(5));
    support::writeFile(dir / "seven.par", fslRows(7));
    support::writeFile(dir / "broken.par", "0 0 0 0 0 0\n0 0 0 x 0 0\n");
    support::writeFile(dir / "text.nii", "not an image");
    struct Case {
        const char* bold;
        const char* motion;
        std::string expected;
    } cases[] = {
        {"good.nii.gz", "five.par", "five.par has 5 rows but the run " + (dir / "good.nii.gz").string() + " has 6 volumes"},
        {"good.nii.gz", "seven.par", "has 7 rows but the run"},
        {"good.nii.gz", "broken.par", "broken.par: line 2, column 4: 'x' is not a number"},
        {"complex.nii", "six.par", "holds COMPLEX64 values; import takes real-valued images"},
        {"flat.nii", "six.par", "the voxel size along y is 0"},
        {"text.nii", "six.par", "cannot be read as a NIfTI-1 image"},
        {"missing.nii", "six.par", "no such file"},
    };
    for (const auto& c : cases) {
        const Imported r = importRun(dir / c.bold, dir / c.motion, "fsl");
        EXPECT_EQ(r.cli.status, 1) << c.bold << " + " << c.motion;
        EXPECT_NE(r.cli.err.find(c.expected), std::string::npos) << "expected '" << c.expected << "' in: " << r.cli.err;
        EXPECT_TRUE(filesIn(r.dir).empty()) << c.bold << " + " << c.motion;
    }
}

TEST(Import, ExistingOutputsNeedForce)
{
    const fs::path dir = support::tempDir("force");
    support::NiftiLayout layout;
    layout.dims = {4, 3, 2, 2};
    support::writeNifti((dir / "b.nii").string(), layout, std::vector<double>(48, 5.0));
    support::writeFile(dir / "mc.par", fslRows(2));
    const fs::path out = dir / "out";
    const std::vector<std::string> args = {"import", "--bold", (dir / "b.nii").string(), "--motion", (dir / "mc.par").string(),
                                           "--motion-format", "fsl", "--out", out.string()};
    ASSERT_EQ(runCli(args).status, 0);
    EXPECT_EQ(filesIn(out), (std::vector<std::string>{"b.fmr", "b.stc", "b_3DMC.sdm"})) << "NAME is the NIfTI's stem";
    // Only the document exists: still refused, and the other two are not written.
    fs::remove(out / "b.stc");
    fs::remove(out / "b_3DMC.sdm");
    support::writeFile(out / "b.fmr", "keep me");
    const auto refused = runCli(args);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("b.fmr exists; give --force to replace it"), std::string::npos) << refused.err;
    EXPECT_EQ(support::readFile(out / "b.fmr"), "keep me");
    EXPECT_EQ(filesIn(out), (std::vector<std::string>{"b.fmr"}));
    std::vector<std::string> forced = args;
    forced.push_back("--force");
    ASSERT_EQ(runCli(forced).status, 0);
    EXPECT_EQ(filesIn(out), (std::vector<std::string>{"b.fmr", "b.stc", "b_3DMC.sdm"}));
    EXPECT_EQ(FMR((out / "b.fmr").string(), false).NrOfVolumes.value(), 2);
}

TEST(Import, MotionOnTheVoxelAxesAndNaNVoxels)
{
    // The FSL worked row on an image stored neurologically (RAS): FSL's x runs
    // against i, so the x translation and the y and z rotations change sign.
    struct Case {
        const char* what;
        float ax; // affine's x scale: negative is radiological storage
        MotionRow expected;
    } cases[] = {
        {"LAS", -2.0f, {-1.5, 2.5, -3.5, 0.01 * kDeg, -0.02 * kDeg, 0.03 * kDeg}},
        {"RAS", 2.0f, {1.5, 2.5, -3.5, 0.01 * kDeg, 0.02 * kDeg, -0.03 * kDeg}},
    };
    for (const auto& c : cases) {
        const fs::path dir = support::tempDir("axes");
        support::NiftiLayout layout;
        layout.dims = {4, 3, 2, 1};
        layout.ndim = 3;
        layout.pixdim = {2, 2, 2, 2};
        layout.affine = {{{c.ax, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}}};
        // nifti_clib reads stored NaNs as 0; 1e300 fits a double but no float.
        layout.datatype = NIFTI_TYPE_FLOAT64;
        std::vector<double> values(24, 50.0);
        values[5] = std::nan("");
        values[7] = 1e300;
        support::writeNifti((dir / "b.nii").string(), layout, values);
        support::writeFile(dir / "mc.par", "0.01 -0.02 0.03 1.5 -2.5 3.5\n");
        const Imported r = importRun(dir / "b.nii", dir / "mc.par", "fsl", {"--tr", "2000"});
        ASSERT_EQ(r.cli.status, 0) << r.cli.err;
        EXPECT_NE(r.cli.err.find("1 voxel value was not finite (NaN or infinite) and was written as 0"), std::string::npos)
            << r.cli.err;
        EXPECT_NE(r.cli.out.find(std::string("voxel axes toward ") + c.what), std::string::npos) << r.cli.out;
        const SDM sdm((r.dir / "run_3DMC.sdm").string());
        EXPECT_EQ(sdm.PredictorNames[0], "Translation X [mm]");
        EXPECT_EQ(sdm.PredictorNames[5], "Rotation Z [deg]");
        const MotionRow row = motionParametersFromSDM(sdm)[0];
        // The SDM keeps six decimals.
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(row[k], c.expected[k], 1e-6) << c.what << " column " << k << ": " << rowText(row);
        FMR fmr((r.dir / "run.fmr").string(), true);
        EXPECT_EQ(fmr.Volumes[0].data()[5], 0.0f);
        EXPECT_EQ(fmr.Volumes[0].data()[7], 0.0f);
        EXPECT_EQ(fmr.Volumes[0].data()[6], 50.0f);
    }
}

// ------------------------------------------------------------ real data

TEST(Import, RealTraceThroughConfoundAndDisplacement)
{
    // An 8 x 8 x 4 head (bright ellipsoid, dark background), 365 volumes,
    // stored radiologically as FSL keeps its images, with the mcflirt trace.
    const int nx = 8, ny = 8, nz = 4, nt = 365;
    const float voxel[3] = {3.0f, 3.0f, 4.0f};
    support::NiftiLayout layout;
    layout.dims = {nx, ny, nz, nt};
    layout.datatype = NIFTI_TYPE_INT16;
    layout.pixdim = {voxel[0], voxel[1], voxel[2], 2.0f};
    layout.affine = {{{-3, 0, 0, 10}, {0, 3, 0, -12}, {0, 0, 4, -6}}};
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

    // Framewise displacement of the imported SDM is FSL's own, from volume 2 on.
    const MotionParameters rows = motionParametersFromSDM(SDM(sdm));
    ASSERT_EQ(rows.size(), std::size_t(nt));
    const std::vector<double> fd = framewiseDisplacement(rows);
    std::istringstream peer(support::readFile(support::sharedData("fsl_motion_outliers_fd.txt")));
    std::size_t t = 1;
    for (double value; peer >> value; ++t)
        // The peer prints six significant digits; the SDM keeps six decimals.
        ASSERT_NEAR(fd[t], value, 2e-5) << "volume " << t;
    EXPECT_EQ(t, std::size_t(nt));

    const auto confound = runCli({"confound", "--sdm", sdm, "--fmr", fmr});
    ASSERT_EQ(confound.status, 0) << confound.err;
    const SDM detrended((out / "rest_bold_3DMC_detr.sdm").string());
    EXPECT_EQ(detrended.NrOfDataPoints.value(), nt);
    EXPECT_EQ(detrended.NrOfPredictors.value(), 6);

    const auto displacement = runCli({"displacement", "--fmr", fmr, "--sdm", sdm, "--maps", "max-abs", "--threshold", "100"});
    ASSERT_EQ(displacement.status, 0) << displacement.err;
    std::array<int, 3> dims{};
    const std::vector<float> map = support::readFloatNifti((out / "rest_bold_3DMC_MaxAbsolute.nii.gz").string(), &dims);
    EXPECT_EQ(dims, (std::array<int, 3>{nx, ny, nz}));
    // Every head voxel moved as far as mcflirt's own transform takes it:
    // max over volumes of |R q + t - q|, q its centre about the volume's
    // centre, from the .par's radians and millimetres directly.
    const MotionParameters par = [&] {
        MotionParameters p;
        std::istringstream in(support::readFile(support::sharedData("mcflirt_movpar.txt")));
        for (MotionRow r; in >> r[0] >> r[1] >> r[2] >> r[3] >> r[4] >> r[5];)
            p.push_back({-r[3], -r[4], -r[5], r[0] * kDeg, r[1] * kDeg, r[2] * kDeg});
        return p;
    }();
    int head = 0;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const std::size_t i = std::size_t((z * ny + y) * nx + x);
                if (stored[i] < 100) {
                    EXPECT_EQ(map[i], 0.0f) << "background voxel " << i;
                    continue;
                }
                ++head;
                const Vec3 q = {(x - 3.5) * voxel[0], (y - 3.5) * voxel[1], (z - 1.5) * voxel[2]};
                double expected = 0.0;
                for (const MotionRow& p : par) {
                    const Vec3 m = moved(p, q);
                    expected = std::max(expected, std::hypot(m[0] - q[0], m[1] - q[1], m[2] - q[2]));
                }
                // The task works in single precision on coordinates of ~10 mm.
                EXPECT_NEAR(map[i], expected, 2e-4) << "voxel (" << x << ", " << y << ", " << z << ")";
            }
    EXPECT_GT(head, 50);
}
