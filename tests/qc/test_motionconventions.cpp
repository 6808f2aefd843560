// Displacement maps of imported runs against each package's own transform,
// written from the packages' definitions alone, in double precision: the
// coordinates each package works in, its rotation order and handedness, its
// centre of rotation. The runs are written as NIfTI, the motion in the
// package's own format, and go through `tremora import` and `displacement`.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <sstream>

#include "motionconventions.h"
#include "nifti.h"
#include "rotations.h"
#include "testing.h"

using namespace qc; // the quality-control library (code/qc)

namespace fs = std::filesystem;

namespace {

using namespace support; // the rotations in double

constexpr double kDeg = std::numbers::pi / 180.0;

V3 add(const V3& a, const V3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
V3 sub(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

// A run's grid: voxel (i, j, k) lies at world A·(i, j, k) + b.
struct Geometry {
    std::string what;
    std::array<int, 3> dims;
    V3 voxel;
    M3 A{};
    V3 b{};
    bool coded = true;

    Geometry(std::string name, std::array<int, 3> size, V3 voxelSize, const M3& directions, bool radiological, const V3& centre)
        : what(std::move(name)), dims(size), voxel(voxelSize)
    {
        // Stored as float in the header: the oracle uses what the file holds.
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) A[r][c] = double(float(directions[r][c] * voxel[c] * (c == 0 && radiological ? -1 : 1)));
        b = sub(centre, mul(A, V3{0.5 * (dims[0] - 1), 0.5 * (dims[1] - 1), 0.5 * (dims[2] - 1)}));
        for (double& e : b) e = double(float(e));
    }
    std::size_t voxels() const { return std::size_t(dims[0] * dims[1] * dims[2]); }
    V3 index(std::size_t n) const
    {
        const std::size_t nx = std::size_t(dims[0]), ny = std::size_t(dims[1]);
        return {double(n % nx), double(n / nx % ny), double(n / (nx * ny))};
    }
    V3 column(int c) const { return {A[0][c], A[1][c], A[2][c]}; }
    // FSL mirrors x of images stored neurologically (positive determinant);
    // an image with neither sform nor qform counts as radiological.
    bool fslMirrored() const
    {
        const V3 a = column(1), b = column(2);
        return coded && dot(column(0), {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]}) > 0;
    }
    V3 fsl(const V3& v) const { return {(fslMirrored() ? dims[0] - 1 - v[0] : v[0]) * voxel[0], v[1] * voxel[1], v[2] * voxel[2]}; }
};

// The six numbers of one motion, physically: rotations (rad) and translations (mm).
struct Motion { double r1, r2, r3, t1, t2, t3; };

struct Package {
    std::string name;               // --motion-format
    std::string file;               // the motion file's name
    std::vector<std::string> extra; // import options
    bool matrixAngles = false;      // fMRIPrep: the newer convention (release 25 on) or mcflirt's numbers
};

// The centre of one volume as FSL takes it (intensity minus the minimum, FSL
// coordinates) or as fMRIPrep's plain centre of mass (voxel sizes times the mean index).
V3 centre(const Geometry& g, const std::vector<double>& volume, bool fslGravity)
{
    const double minimum = fslGravity ? *std::min_element(volume.begin(), volume.end()) : 0.0;
    V3 sum{};
    double total = 0;
    for (std::size_t n = 0; n < volume.size(); ++n) {
        const V3 v = g.index(n), p = fslGravity ? g.fsl(v) : V3{v[0] * g.voxel[0], v[1] * g.voxel[1], v[2] * g.voxel[2]};
        for (int a = 0; a < 3; ++a) sum[a] += (volume[n] - minimum) * p[a];
        total += volume[n] - minimum;
    }
    return {sum[0] / total, sum[1] / total, sum[2] / total};
}

// Where voxel v goes under the package's transform, as signed components
// along the voxel axes i, j, k in mm. c is the reference centre (fsl, fmriprep).
V3 displacement(const Package& p, const Motion& m, const Geometry& g, const V3& v, const V3& c)
{
    const V3 unit[3] = {g.column(0), g.column(1), g.column(2)};
    if (p.name == "fsl" || p.name == "fmriprep") {
        const V3 f = g.fsl(v);
        V3 moved;
        if (p.name == "fmriprep" && p.matrixAngles) {
            const M3 Rt = mul(mul(Rx(m.r1), Ry(m.r2)), Rz(m.r3));
            moved = add(mul(transpose(Rt), f), sub(add(V3{m.t1, m.t2, m.t3}, mul(Rt, c)), c));
        } else {
            moved = add(add(mul(mul(mul(Rx(-m.r1), Ry(-m.r2)), Rz(-m.r3)), sub(f, c)), c), V3{m.t1, m.t2, m.t3});
        }
        const V3 d = sub(moved, f);
        return {g.fslMirrored() ? -d[0] : d[0], d[1], d[2]};
    }
    if (p.name == "spm") {
        const V3 w = add(mul(g.A, v), g.b);
        const V3 d = sub(add(mul(mul(mul(Rx(-m.r1), Ry(m.r2)), Rz(-m.r3)), w), V3{m.t1, m.t2, m.t3}), w);
        return {dot(d, unit[0]) / std::sqrt(dot(unit[0], unit[0])), dot(d, unit[1]) / std::sqrt(dot(unit[1], unit[1])),
                dot(d, unit[2]) / std::sqrt(dot(unit[2], unit[2]))};
    }
    // AFNI: DICOM axes (L, P, S); each voxel axis along the DICOM axis nearest
    // to it; the origin at the volume centre, where 3dvolreg turns.
    V3 x{}, sign{};
    int axis[3];
    for (int a = 0; a < 3; ++a) {
        const V3 dicom = {-unit[a][0], -unit[a][1], unit[a][2]};
        axis[a] = 0;
        for (int r = 1; r < 3; ++r)
            if (std::fabs(dicom[r]) > std::fabs(dicom[axis[a]])) axis[a] = r;
        sign[a] = dicom[axis[a]] < 0 ? -1 : 1;
        x[axis[a]] = sign[a] * (v[a] - 0.5 * (g.dims[a] - 1)) * g.voxel[a];
    }
    // roll about S, pitch about L, yaw about P: R = Ry(yaw) Rx(pitch) Rz(roll).
    const V3 d = sub(add(mul(mul(mul(Ry(m.r3), Rx(m.r2)), Rz(m.r1)), x), V3{m.t1, m.t2, m.t3}), x);
    return {sign[0] * d[axis[0]], sign[1] * d[axis[1]], sign[2] * d[axis[2]]};
}

// The motion file in the package's own text format. AFNI: roll pitch yaw in
// degrees, then dS dL dP; here r1 = roll, r2 = pitch, r3 = yaw, t = (dL, dP, dS).
std::string motionText(const Package& p, const std::vector<Motion>& motions)
{
    std::ostringstream out;
    out.precision(12);
    if (p.name == "fmriprep") out << "global_signal\ttrans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\tframewise_displacement\n";
    for (const Motion& m : motions) {
        if (p.name == "fsl") out << m.r1 << "  " << m.r2 << "  " << m.r3 << "  " << m.t1 << "  " << m.t2 << "  " << m.t3 << "\n";
        if (p.name == "spm") out << m.t1 << " " << m.t2 << " " << m.t3 << " " << m.r1 << " " << m.r2 << " " << m.r3 << "\n";
        if (p.name == "afni") out << m.r1 / kDeg << " " << m.r2 / kDeg << " " << m.r3 / kDeg << " " << m.t3 << " " << m.t1 << " " << m.t2 << "\n";
        if (p.name == "fmriprep") out << "512.5\t" << m.t1 << "\t" << m.t2 << "\t" << m.t3 << "\t" << m.r1 << "\t" << m.r2 << "\t" << m.r3 << "\tn/a\n";
    }
    return out.str();
}

// An image that is not symmetric about its centre, so that a centre of gravity
// away from the volume centre shows; each volume has a bright voxel of its
// own, so that the choice of reference volume shows too. Volume t starts at t·voxels.
std::vector<double> runData(const Geometry& g, int volumes)
{
    std::vector<double> data;
    for (int t = 0; t < volumes; ++t)
        for (std::size_t n = 0; n < g.voxels(); ++n) {
            const V3 v = g.index(n);
            const bool bright = int(v[0]) == (3 * t) % g.dims[0] && int(v[1]) == (5 * t) % g.dims[1] && int(v[2]) == t % g.dims[2];
            data.push_back(100 + 40 * v[0] + 9 * v[1] * v[1] + 15 * v[2] + (bright ? 30000 : 0));
        }
    return data;
}

support::NiftiLayout layoutOf(const Geometry& g, int volumes)
{
    support::NiftiLayout layout;
    layout.dims = {g.dims[0], g.dims[1], g.dims[2], volumes};
    layout.pixdim = {float(g.voxel[0]), float(g.voxel[1]), float(g.voxel[2]), 2.0f};
    for (int r = 0; r < 3; ++r) layout.affine[r] = {float(g.A[r][0]), float(g.A[r][1]), float(g.A[r][2]), float(g.b[r])};
    layout.xformCode = g.coded ? 1 : 0;
    return layout;
}

// import, then the displacement task with every voxel in the mask: the
// maximum absolute map and its three components.
std::array<std::vector<float>, 4> importAndDisplace(const fs::path& dir, const fs::path& bold, const Package& p, std::string* err)
{
    std::vector<std::string> args = {"import", "--bold", bold.string(), "--motion", (dir / p.file).string(), "--motion-format",
                                     p.name, "--out", (dir / "run").string(), "--name", "run"};
    args.insert(args.end(), p.extra.begin(), p.extra.end());
    const auto imported = support::runCli(args);
    *err = imported.err + imported.out;
    if (imported.status != 0) return {};
    const std::string base = (dir / "run" / "run").string();
    const auto displaced = support::runCli({"displacement", "--fmr", base + ".fmr", "--sdm", base + "_3DMC.sdm", "--threshold", "50"});
    *err += displaced.err;
    if (displaced.status != 0) return {};
    const auto map = [&](const std::string& axis) { return support::readFloatNifti(base + "_3DMC_MaxAbsolute" + axis + ".nii.gz"); };
    return {map(""), map("X"), map("Y"), map("Z")};
}

const std::vector<Motion> kMotions = {
    {0, 0, 0, 0, 0, 0},
    {0, 0, 2 * kDeg, 0, 2, 0},           // about z with a translation across it
    {0.03, -0.02, 0.04, 1.5, -2.0, 2.5}, // every axis at once
    {-0.05, 0.01, -0.02, -3.0, 1.0, 0.5},
};

} // namespace

TEST(MotionConventions, MapsFollowEachPackagesOwnTransform)
{
    // Either storage (FSL mirrors one of them), each away from the world origin.
    const Geometry geometries[] = {
        {"radiological, centre 30 mm off the origin", {10, 9, 6}, {3, 3, 4}, Rx(0), true, {10, 20, -20}},
        {"oblique 15 deg about x and 10 deg about z, anisotropic", {10, 8, 7}, {2.5, 3, 4}, mul(Rx(15 * kDeg), Rz(10 * kDeg)), false, {6, -12, 25}},
    };
    const int volumes = int(kMotions.size());
    const struct {
        Package package;
        int reference;    // volume whose centre the oracle takes; -1 the boldref, -2 the mean
        std::string json; // dataset_description.json beside the table, if any
    } cases[] = {
        {{"fsl", "mc.par", {}}, volumes / 2, ""},
        {{"fsl", "mc.par", {"--reference", "mean"}}, -2, ""},
        {{"spm", "rp_run.txt", {}}, 0, ""},
        {{"afni", "mc.1D", {}}, 0, ""},
        {{"fmriprep", "sub-01_desc-confounds_timeseries.tsv", {"--reference-image", "BOLDREF"}}, -1,
         R"({"Name": "fMRIPrep - fMRI PREProcessing workflow", "DatasetType": "derivative",
             "GeneratedBy": [{"Name": "fMRIPrep", "Version": "23.2.1"}]})"},
        {{"fmriprep", "sub-01_desc-confounds_regressors.tsv", {"--reference-image", "BOLDREF"}}, -1,
         R"({"Name": "fMRIPrep outputs", "PipelineDescription": {"Name": "fmriprep", "Version": "1.5.0"}})"},
        {{"fmriprep", "sub-01_desc-confounds_timeseries.tsv", {"--reference-image", "BOLDREF", "--fmriprep-version", "25.0"}, true},
         -1, R"({"GeneratedBy": [{"Name": "fMRIPrep", "Version": "23.2.1"}]})"},
        // Neither a release nor a boldref: the newer convention on the middle volume.
        {{"fmriprep", "sub-01_desc-confounds_timeseries.tsv", {}, true}, volumes / 2, ""},
    };
    for (const Geometry& g : geometries)
        for (const auto& c : cases) {
            const std::string what = g.what + ", " + c.package.name + " " + c.package.file + (c.package.extra.empty() ? "" : " " + c.package.extra[0]);
            const fs::path dir = support::tempDir("conventions");
            const std::vector<double> data = runData(g, volumes);
            support::writeNifti((dir / "bold.nii").string(), layoutOf(g, volumes), data);
            // The boldref: another image on the same grid, brightest elsewhere.
            std::vector<double> boldref;
            for (std::size_t n = 0; n < g.voxels(); ++n) boldref.push_back(50 + 300 * g.index(n)[1] + 20 * std::pow(g.index(n)[2], 2) + 5 * g.index(n)[0]);
            support::writeNifti((dir / "boldref.nii").string(), layoutOf(g, 1), boldref);
            support::writeFile(dir / c.package.file, motionText(c.package, kMotions));
            if (!c.json.empty()) support::writeFile(dir / "dataset_description.json", c.json);
            Package p = c.package;
            for (std::string& word : p.extra)
                if (word == "BOLDREF") word = (dir / "boldref.nii").string();

            // The reference image of fsl and fmriprep: a volume, the mean or the boldref.
            std::vector<double> reference = boldref;
            if (c.reference >= 0) reference.assign(data.begin() + std::ptrdiff_t(std::size_t(c.reference) * g.voxels()),
                                                   data.begin() + std::ptrdiff_t(std::size_t(c.reference + 1) * g.voxels()));
            if (c.reference == -2) {
                reference.assign(g.voxels(), 0.0);
                for (std::size_t i = 0; i < data.size(); ++i) reference[i % g.voxels()] += data[i] / volumes;
            }
            const V3 centreOfRotation = centre(g, reference, !(p.name == "fmriprep" && p.matrixAngles));
            std::string err;
            const auto maps = importAndDisplace(dir, dir / "bold.nii", p, &err);
            ASSERT_EQ(maps[0].size(), g.voxels()) << what << "\n" << err;
            for (std::size_t n = 0; n < g.voxels(); ++n) {
                std::array<double, 4> expected{}; // length, then the components along i, j, k
                for (const Motion& m : kMotions) {
                    const V3 d = displacement(p, m, g, g.index(n), centreOfRotation);
                    expected[0] = std::max(expected[0], std::sqrt(dot(d, d)));
                    for (int a = 0; a < 3; ++a) expected[std::size_t(a + 1)] = std::max(expected[std::size_t(a + 1)], std::fabs(d[a]));
                }
                // The task computes in single precision on coordinates of tens of mm.
                for (std::size_t k = 0; k < 4; ++k)
                    ASSERT_NEAR(maps[k][n], expected[k], 1e-3) << what << ": voxel " << n << ", map " << k << " (length, x, y, z)\n" << err;
            }
        }
}

TEST(MotionConventions, WorkedExample)
{
    // 64 x 64 x 36 voxels of 3 mm, stored radiologically with the volume
    // centre at the world origin, an image symmetric about its centre: FSL's
    // centre of gravity is the volume centre. 2 degrees about z with 2 mm
    // along y moves voxel (0, 0, 0) by 6.260 mm and (63, 0, 35) by 3.578 mm;
    // AFNI's roll of 2 degrees with dL = 2 mm moves (0, 0, 0) by 3.578 mm.
    const Geometry g("worked", {64, 64, 36}, {3, 3, 3}, Rx(0), true, {0, 0, 0});
    std::vector<double> data(g.voxels() * 2);
    for (std::size_t n = 0; n < g.voxels(); ++n) {
        const V3 v = g.index(n);
        const double x = (v[0] - 31.5) / 25, y = (v[1] - 31.5) / 28, z = (v[2] - 17.5) / 15;
        data[n] = data[g.voxels() + n] = x * x + y * y + z * z <= 1 ? 1000 : 60; // every voxel above the threshold of 50
    }
    const struct {
        const char* format;
        const char* file;
        const char* row;
        std::vector<std::pair<std::array<int, 3>, double>> expected;
    } cases[] = {
        {"fsl", "mc.par", "0 0 0.0349066 0 2 0", {{{0, 0, 0}, 6.260}, {{63, 0, 35}, 3.578}}},
        {"afni", "mc.1D", "2 0 0 0 2 0", {{{0, 0, 0}, 3.578}}},
    };
    for (const auto& c : cases) {
        const fs::path dir = support::tempDir("worked");
        support::writeNifti((dir / "bold.nii.gz").string(), layoutOf(g, 2), data);
        support::writeFile(dir / c.file, std::string(c.row) + "\n0 0 0 0 0 0\n");
        std::string err;
        const auto maps = importAndDisplace(dir, dir / "bold.nii.gz", {c.format, c.file, {}}, &err);
        ASSERT_EQ(maps[0].size(), g.voxels()) << c.format << "\n" << err;
        for (const auto& [voxel, mm] : c.expected)
            EXPECT_NEAR(maps[0][std::size_t((voxel[2] * 64 + voxel[1]) * 64 + voxel[0])], mm, 5e-4)
                << c.format << " voxel (" << voxel[0] << ", " << voxel[1] << ", " << voxel[2] << ")";
    }
}

TEST(MotionConventions, RandomObliqueRunsAndMotions)
{
    // Random grids tilted up to 20 degrees about every axis, either storage,
    // random motions up to 5 degrees and 5 mm, random reference centres: the
    // 3DMC row, rounded to floats as an SDM holds it, moves every voxel as the
    // package's transform does, component by component on the voxel axes.
    std::mt19937 random(20261207);
    const auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(random); };
    const Package packages[] = {{"fsl", "", {}}, {"spm", "", {}}, {"afni", "", {}}, {"fmriprep", "", {}, false}, {"fmriprep", "", {}, true}};
    int compared = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const std::array<int, 3> dims = {int(uniform(5, 12)), int(uniform(5, 12)), int(uniform(3, 9))};
        const V3 voxel = {uniform(1.5, 4), uniform(1.5, 4), uniform(2, 5)};
        const M3 tilt = mul(mul(Rx(uniform(-20, 20) * kDeg), Ry(uniform(-20, 20) * kDeg)), Rz(uniform(-20, 20) * kDeg));
        Geometry g("random", dims, voxel, tilt, trial % 2 == 0, {uniform(-40, 40), uniform(-40, 40), uniform(-40, 40)});
        g.coded = trial % 7 != 3; // now and then an image without sform and qform (fsl: radiological)
        MotionGrid grid{dims, voxel, {}, g.coded};
        for (int r = 0; r < 3; ++r) grid.affine[r] = {g.A[r][0], g.A[r][1], g.A[r][2], g.b[r]};
        const V3 c = {uniform(0, dims[0] * voxel[0]), uniform(0, dims[1] * voxel[1]), uniform(0, dims[2] * voxel[2])};
        for (const Package& p : packages) {
            if (!g.coded && p.name != "fsl") continue;
            const Motion m = {uniform(-5, 5) * kDeg, uniform(-5, 5) * kDeg, uniform(-5, 5) * kDeg, uniform(-5, 5), uniform(-5, 5), uniform(-5, 5)};
            PackageRow row = {m.t1, m.t2, m.t3, m.r1, m.r2, m.r3}; // spm, fmriprep
            if (p.name == "fsl") row = {m.r1, m.r2, m.r3, m.t1, m.t2, m.t3};
            if (p.name == "afni") row = {m.r1 / kDeg, m.r2 / kDeg, m.r3 / kDeg, m.t3, m.t1, m.t2};
            const MotionConvention convention{motionFormatFromName(p.name),
                                              p.matrixAngles ? FMRIPrepConvention::MatrixAngles : FMRIPrepConvention::MCFLIRTParameters, c};
            const MotionRow sdm = sdmRows({row}, convention, grid).at(0);
            // The displacement task's transform of the row: Rz Ry Rx (degrees), then −T.
            const M3 R = zyx(double(float(sdm[3])) * kDeg, double(float(sdm[4])) * kDeg, double(float(sdm[5])) * kDeg);
            const V3 T = {double(float(sdm[0])), double(float(sdm[1])), double(float(sdm[2]))};
            for (std::size_t n = 0; n < g.voxels(); ++n) {
                const V3 v = g.index(n);
                const V3 s = {(v[0] - 0.5 * (dims[0] - 1)) * voxel[0], (v[1] - 0.5 * (dims[1] - 1)) * voxel[1], (v[2] - 0.5 * (dims[2] - 1)) * voxel[2]};
                const V3 actual = sub(sub(mul(R, s), T), s), expected = displacement(p, m, g, v, c);
                for (int a = 0; a < 3; ++a)
                    ASSERT_NEAR(actual[a], expected[a], 1e-4) << p.name << (p.matrixAngles ? " (release 25)" : "") << ", trial " << trial
                                                              << ", voxel (" << v[0] << ", " << v[1] << ", " << v[2] << "), axis " << a;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 10000);
}
