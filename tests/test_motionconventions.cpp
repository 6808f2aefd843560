// Displacement maps of imported runs against each package's own transform.
//
// The oracle below is written from the packages' definitions alone, in double
// precision: the coordinates each package works in, its rotation order and
// handedness, its centre of rotation. It never calls the conversion code. The
// runs are written as NIfTI, the motion in the package's own text format, and
// go through `tremora import` and `tremora displacement` as a user's would.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <sstream>

#include "motionconventions.h"
#include "nifti.h"
#include "testing.h"

namespace fs = std::filesystem;

namespace {

using V3 = std::array<double, 3>;
using M3 = std::array<V3, 3>; // [row][column]

constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180.0;

M3 mul(const M3& a, const M3& b)
{
    M3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
}
V3 mul(const M3& a, const V3& v)
{
    V3 r{};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) r[i] += a[i][k] * v[k];
    return r;
}
M3 transpose(const M3& a)
{
    M3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = a[j][i];
    return r;
}
V3 add(const V3& a, const V3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
V3 sub(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
// Right-handed: Rz(θ) turns +x toward +y.
M3 Rx(double a) { return {{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}}; }
M3 Ry(double a) { return {{{std::cos(a), 0, std::sin(a)}, {0, 1, 0}, {-std::sin(a), 0, std::cos(a)}}}; }
M3 Rz(double a) { return {{{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}}}; }

// A run's grid: voxel (i, j, k) lies at world A·(i, j, k) + b.
struct Geometry {
    std::string what;
    std::array<int, 3> dims;
    V3 voxel;
    M3 A;
    V3 b;
    bool coded = true;

    static Geometry make(std::string what, std::array<int, 3> dims, V3 voxel, const M3& directions, bool radiological,
                         const V3& centre)
    {
        Geometry g{std::move(what), dims, voxel, {}, {}};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) g.A[r][c] = directions[r][c] * voxel[c] * (c == 0 && radiological ? -1 : 1);
        // Stored as float in the header: the oracle uses what the file holds.
        for (auto& row : g.A)
            for (double& e : row) e = double(float(e));
        const V3 mid = {0.5 * (dims[0] - 1), 0.5 * (dims[1] - 1), 0.5 * (dims[2] - 1)};
        g.b = sub(centre, mul(g.A, mid));
        for (double& e : g.b) e = double(float(e));
        return g;
    }
    std::size_t voxels() const { return std::size_t(dims[0]) * std::size_t(dims[1]) * std::size_t(dims[2]); }
    V3 index(std::size_t n) const
    {
        return {double(n % std::size_t(dims[0])), double((n / std::size_t(dims[0])) % std::size_t(dims[1])),
                double(n / (std::size_t(dims[0]) * std::size_t(dims[1])))};
    }
    V3 world(const V3& v) const { return add(mul(A, v), b); }
    double det() const
    {
        return A[0][0] * (A[1][1] * A[2][2] - A[1][2] * A[2][1]) - A[0][1] * (A[1][0] * A[2][2] - A[1][2] * A[2][0]) +
               A[0][2] * (A[1][0] * A[2][1] - A[1][1] * A[2][0]);
    }
    // FSL mirrors x of images stored neurologically (positive determinant);
    // an image with neither sform nor qform counts as radiological.
    bool fslMirrored() const { return coded && det() > 0; }
    V3 fsl(const V3& v) const
    {
        return {(fslMirrored() ? dims[0] - 1 - v[0] : v[0]) * voxel[0], v[1] * voxel[1], v[2] * voxel[2]};
    }
};

// The six numbers of one motion, physically: rotations (rad) and translations (mm).
struct Motion {
    double r1, r2, r3, t1, t2, t3;
};

// Every package's numbers for these motions, and the displacement of a voxel
// under them on the voxel axes (signed components along i, j, k in mm).
struct Package {
    std::string name;   // --motion-format
    std::string file;   // the motion file's name
    std::vector<std::string> extra; // import options
    // fMRIPrep: the newer convention (release 25 on) or mcflirt's numbers.
    bool matrixAngles = false;
};

// The centre of gravity as FSL takes it (intensity minus the minimum, FSL
// coordinates) and fMRIPrep's plain centre of mass (voxel sizes times the
// mean index), of one volume.
V3 centre(const Geometry& g, const std::vector<double>& volume, bool fslGravity)
{
    double minimum = volume[0], total = 0;
    for (double v : volume) minimum = std::min(minimum, v);
    V3 sum{};
    for (std::size_t n = 0; n < volume.size(); ++n) {
        const double w = fslGravity ? volume[n] - minimum : volume[n];
        const V3 v = g.index(n);
        const V3 p = fslGravity ? g.fsl(v) : V3{v[0] * g.voxel[0], v[1] * g.voxel[1], v[2] * g.voxel[2]};
        for (int a = 0; a < 3; ++a) sum[a] += w * p[a];
        total += w;
    }
    return {sum[0] / total, sum[1] / total, sum[2] / total};
}

// Where voxel v goes under the package's transform, as a displacement on the
// voxel axes. c is the reference centre (fsl, fmriprep).
V3 displacement(const Package& p, const Motion& m, const Geometry& g, const V3& v, const V3& c)
{
    const V3 unit[3] = {{g.A[0][0], g.A[1][0], g.A[2][0]}, {g.A[0][1], g.A[1][1], g.A[2][1]}, {g.A[0][2], g.A[1][2], g.A[2][2]}};
    if (p.name == "fsl" || p.name == "fmriprep") {
        const V3 f = g.fsl(v);
        V3 moved;
        if (p.name == "fmriprep" && p.matrixAngles) {
            const M3 Rt = mul(mul(Rx(m.r1), Ry(m.r2)), Rz(m.r3));
            const V3 bvec = sub(add(V3{m.t1, m.t2, m.t3}, mul(Rt, c)), c);
            moved = add(mul(transpose(Rt), f), bvec);
        } else {
            const M3 R = mul(mul(Rx(-m.r1), Ry(-m.r2)), Rz(-m.r3));
            moved = add(add(mul(R, sub(f, c)), c), V3{m.t1, m.t2, m.t3});
        }
        const V3 d = sub(moved, f);
        return {g.fslMirrored() ? -d[0] : d[0], d[1], d[2]};
    }
    if (p.name == "spm") {
        const V3 w = g.world(v);
        const V3 moved = add(mul(mul(mul(Rx(-m.r1), Ry(m.r2)), Rz(-m.r3)), w), V3{m.t1, m.t2, m.t3});
        const V3 d = sub(moved, w);
        V3 along{};
        for (int a = 0; a < 3; ++a) along[a] = dot(d, unit[a]) / std::sqrt(dot(unit[a], unit[a]));
        return along;
    }
    // AFNI: DICOM axes (L, P, S); each voxel axis along the DICOM axis nearest
    // to it; the origin at the volume centre, where 3dvolreg turns.
    V3 x{};
    int axis[3];
    double sign[3];
    for (int a = 0; a < 3; ++a) {
        const V3 dicom = {-unit[a][0], -unit[a][1], unit[a][2]};
        axis[a] = 0;
        for (int r = 1; r < 3; ++r)
            if (std::fabs(dicom[r]) > std::fabs(dicom[axis[a]])) axis[a] = r;
        sign[a] = dicom[axis[a]] < 0 ? -1 : 1;
        x[axis[a]] = sign[a] * (v[a] - 0.5 * (g.dims[a] - 1)) * g.voxel[a];
    }
    // roll about S, pitch about L, yaw about P: R = Ry(yaw) Rx(pitch) Rz(roll).
    const V3 moved = add(mul(mul(mul(Ry(m.r3), Rx(m.r2)), Rz(m.r1)), x), V3{m.t1, m.t2, m.t3});
    const V3 d = sub(moved, x);
    return {sign[0] * d[axis[0]], sign[1] * d[axis[1]], sign[2] * d[axis[2]]};
}

// The motion file in the package's own text format.
std::string motionText(const Package& p, const std::vector<Motion>& motions)
{
    std::ostringstream out;
    out.precision(12);
    if (p.name == "fmriprep") out << "global_signal\ttrans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\tframewise_displacement\n";
    for (const Motion& m : motions) {
        if (p.name == "fsl") out << m.r1 << "  " << m.r2 << "  " << m.r3 << "  " << m.t1 << "  " << m.t2 << "  " << m.t3 << "\n";
        if (p.name == "spm") out << m.t1 << " " << m.t2 << " " << m.t3 << " " << m.r1 << " " << m.r2 << " " << m.r3 << "\n";
        // roll pitch yaw in degrees, then dS dL dP: here r1 = roll, r2 = pitch,
        // r3 = yaw and t = (dL, dP, dS).
        if (p.name == "afni")
            out << m.r1 / kDeg << " " << m.r2 / kDeg << " " << m.r3 / kDeg << " " << m.t3 << " " << m.t1 << " " << m.t2 << "\n";
        if (p.name == "fmriprep")
            out << "512.5\t" << m.t1 << "\t" << m.t2 << "\t" << m.t3 << "\t" << m.r1 << "\t" << m.r2 << "\t" << m.r3 << "\tn/a\n";
    }
    return out.str();
}

// An image that is not symmetric about its centre, so that a centre of
// gravity away from the volume centre shows; each volume has a bright voxel
// of its own, so that the choice of reference volume shows too.
std::vector<double> runData(const Geometry& g, int volumes)
{
    std::vector<double> data(g.voxels() * std::size_t(volumes));
    for (int t = 0; t < volumes; ++t)
        for (std::size_t n = 0; n < g.voxels(); ++n) {
            const V3 v = g.index(n);
            double value = 100 + 40 * v[0] + 9 * v[1] * v[1] + 15 * v[2];
            if (int(v[0]) == (3 * t) % g.dims[0] && int(v[1]) == (5 * t) % g.dims[1] && int(v[2]) == t % g.dims[2]) value += 30000;
            data[std::size_t(t) * g.voxels() + n] = value;
        }
    return data;
}

std::vector<double> volumeOf(const std::vector<double>& data, const Geometry& g, int t)
{
    return {data.begin() + std::ptrdiff_t(std::size_t(t) * g.voxels()), data.begin() + std::ptrdiff_t(std::size_t(t + 1) * g.voxels())};
}

support::NiftiLayout layoutOf(const Geometry& g, int volumes)
{
    support::NiftiLayout layout;
    layout.dims = {g.dims[0], g.dims[1], g.dims[2], volumes};
    layout.datatype = 16; // float32
    layout.pixdim = {float(g.voxel[0]), float(g.voxel[1]), float(g.voxel[2]), 2.0f};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) layout.affine[r][c] = float(g.A[r][c]);
        layout.affine[r][3] = float(g.b[r]);
    }
    layout.xformCode = g.coded ? 1 : 0;
    return layout;
}

struct Maps {
    std::vector<float> maxAbs, x, y, z;
};

// import, then the displacement task with every voxel in the mask.
Maps importAndDisplace(const fs::path& dir, const fs::path& bold, const fs::path& motion, const Package& p, std::string* err)
{
    std::vector<std::string> args = {"import", "--bold", bold.string(), "--motion", motion.string(), "--motion-format", p.name,
                                     "--out", (dir / "run").string(), "--name", "run"};
    args.insert(args.end(), p.extra.begin(), p.extra.end());
    const auto imported = support::runCli(args);
    *err = imported.err + imported.out;
    if (imported.status != 0) return {};
    const std::string base = (dir / "run" / "run").string();
    const auto displaced = support::runCli({"displacement", "--fmr", base + ".fmr", "--sdm", base + "_3DMC.sdm", "--threshold", "50"});
    *err += displaced.err;
    if (displaced.status != 0) return {};
    return {support::readFloatNifti(base + "_3DMC_MaxAbsolute.nii.gz"), support::readFloatNifti(base + "_3DMC_MaxAbsoluteX.nii.gz"),
            support::readFloatNifti(base + "_3DMC_MaxAbsoluteY.nii.gz"), support::readFloatNifti(base + "_3DMC_MaxAbsoluteZ.nii.gz")};
}

const std::vector<Motion> kMotions = {
    {0, 0, 0, 0, 0, 0},
    {0, 0, 2 * kDeg, 0, 2, 0},            // about z with a translation across it
    {0.03, -0.02, 0.04, 1.5, -2.0, 2.5},  // every axis at once
    {-0.05, 0.01, -0.02, -3.0, 1.0, 0.5},
};

} // namespace

TEST(MotionConventions, MapsFollowEachPackagesOwnTransform)
{
    const std::vector<Geometry> geometries = {
        Geometry::make("radiological axial", {11, 9, 7}, {3, 3, 3.5}, Rx(0), true, {0, 0, 0}),
        Geometry::make("neurological axial", {11, 9, 7}, {3, 3, 3.5}, Rx(0), false, {0, 0, 0}),
        Geometry::make("radiological, centre 30 mm off the origin", {10, 9, 6}, {3, 3, 4}, Rx(0), true, {10, 20, -20}),
        Geometry::make("oblique 15 deg about x and 10 deg about z, anisotropic", {10, 8, 7}, {2.5, 3, 4},
                       mul(Rx(15 * kDeg), Rz(10 * kDeg)), false, {6, -12, 25}),
    };
    const int volumes = int(kMotions.size());
    struct Case {
        Package package;
        int reference; // volume whose centre the oracle takes; -1 the boldref, -2 the mean
        std::string json; // dataset_description.json beside the table, if any
    };
    const std::vector<Case> cases = {
        {{"fsl", "mc.par", {}}, volumes / 2, ""},
        {{"fsl", "mc.par", {"--reference-volume", "1"}}, 1, ""},
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
        for (const Case& c : cases) {
            const std::string what = g.what + ", " + c.package.name + " " + c.package.file +
                                     (c.package.extra.empty() ? "" : " " + c.package.extra[0]);
            const fs::path dir = support::tempDir("conventions");
            const std::vector<double> data = runData(g, volumes);
            support::writeNifti((dir / "bold.nii").string(), layoutOf(g, volumes), data);
            // The boldref: another image on the same grid, brightest elsewhere.
            std::vector<double> boldref(g.voxels());
            for (std::size_t n = 0; n < g.voxels(); ++n) {
                const V3 v = g.index(n);
                boldref[n] = 50 + 300 * v[1] + 20 * v[2] * v[2] + 5 * v[0];
            }
            support::writeNifti((dir / "boldref.nii").string(), layoutOf(g, 1), boldref);
            support::writeFile(dir / c.package.file, motionText(c.package, kMotions));
            if (!c.json.empty()) support::writeFile(dir / "dataset_description.json", c.json);
            Package p = c.package;
            for (std::string& word : p.extra)
                if (word == "BOLDREF") word = (dir / "boldref.nii").string();

            const bool fslGravity = !(p.name == "fmriprep" && p.matrixAngles);
            V3 centreOfRotation{};
            if (p.name == "fsl" || p.name == "fmriprep") {
                std::vector<double> reference = c.reference == -1 ? boldref : std::vector<double>(g.voxels(), 0.0);
                if (c.reference >= 0) reference = volumeOf(data, g, c.reference);
                if (c.reference == -2)
                    for (int t = 0; t < volumes; ++t) {
                        const auto v = volumeOf(data, g, t);
                        for (std::size_t n = 0; n < g.voxels(); ++n) reference[n] += v[n] / volumes;
                    }
                centreOfRotation = centre(g, reference, fslGravity);
            }

            std::string err;
            const Maps maps = importAndDisplace(dir, dir / "bold.nii", dir / c.package.file, p, &err);
            ASSERT_EQ(maps.maxAbs.size(), g.voxels()) << what << "\n" << err;
            int wrong = 0;
            for (std::size_t n = 0; n < g.voxels(); ++n) {
                double maxAbs = 0;
                V3 maxAxis{};
                for (const Motion& m : kMotions) {
                    const V3 d = displacement(p, m, g, g.index(n), centreOfRotation);
                    maxAbs = std::max(maxAbs, std::sqrt(dot(d, d)));
                    for (int a = 0; a < 3; ++a) maxAxis[a] = std::max(maxAxis[a], std::fabs(d[a]));
                }
                // The task computes in single precision on coordinates of tens of mm.
                const double tolerance = 1e-3;
                const bool ok = std::fabs(maps.maxAbs[n] - maxAbs) < tolerance && std::fabs(maps.x[n] - maxAxis[0]) < tolerance &&
                                std::fabs(maps.y[n] - maxAxis[1]) < tolerance && std::fabs(maps.z[n] - maxAxis[2]) < tolerance;
                if (!ok && wrong++ < 3) {
                    const V3 v = g.index(n);
                    ADD_FAILURE() << what << ": voxel (" << v[0] << ", " << v[1] << ", " << v[2] << ") moved " << maps.maxAbs[n]
                                  << " mm (x " << maps.x[n] << ", y " << maps.y[n] << ", z " << maps.z[n] << "), the package's "
                                  << "transform moves it " << maxAbs << " (x " << maxAxis[0] << ", y " << maxAxis[1] << ", z "
                                  << maxAxis[2] << ")\n" << err;
                }
            }
            EXPECT_EQ(wrong, 0) << what;
            if (p.name == "fmriprep" && c.json.empty() && p.extra.empty()) {
                EXPECT_NE(err.find("warning: no fMRIPrep release found"), std::string::npos) << err;
                EXPECT_NE(err.find("stands in for fMRIPrep's boldref"), std::string::npos) << err;
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
    const Geometry g = Geometry::make("worked", {64, 64, 36}, {3, 3, 3}, Rx(0), true, {0, 0, 0});
    std::vector<double> data(g.voxels() * 2);
    for (std::size_t n = 0; n < g.voxels(); ++n) {
        const V3 v = g.index(n);
        const double x = (v[0] - 31.5) / 25, y = (v[1] - 31.5) / 28, z = (v[2] - 17.5) / 15;
        data[n] = data[g.voxels() + n] = x * x + y * y + z * z <= 1 ? 1000 : 60; // every voxel above the threshold of 50
    }
    struct Case {
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
        const Maps maps = importAndDisplace(dir, dir / "bold.nii.gz", dir / c.file, {c.format, c.file, {}}, &err);
        ASSERT_EQ(maps.maxAbs.size(), g.voxels()) << c.format << "\n" << err;
        for (const auto& [voxel, mm] : c.expected) {
            const std::size_t n = std::size_t((voxel[2] * 64 + voxel[1]) * 64 + voxel[0]);
            EXPECT_NEAR(maps.maxAbs[n], mm, 5e-4) << c.format << " voxel (" << voxel[0] << ", " << voxel[1] << ", " << voxel[2] << ")";
        }
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
    const std::vector<Package> packages = {
        {"fsl", "", {}}, {"spm", "", {}}, {"afni", "", {}}, {"fmriprep", "", {}, false}, {"fmriprep", "", {}, true}};
    int compared = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const std::array<int, 3> dims = {int(uniform(5, 12)), int(uniform(5, 12)), int(uniform(3, 9))};
        const V3 voxel = {uniform(1.5, 4), uniform(1.5, 4), uniform(2, 5)};
        const M3 tilt = mul(mul(Rx(uniform(-20, 20) * kDeg), Ry(uniform(-20, 20) * kDeg)), Rz(uniform(-20, 20) * kDeg));
        Geometry g = Geometry::make("random", dims, voxel, tilt, trial % 2 == 0, {uniform(-40, 40), uniform(-40, 40), uniform(-40, 40)});
        g.coded = trial % 7 != 3; // now and then an image without sform and qform (fsl: radiological)
        MotionGrid grid;
        grid.dims = dims;
        grid.voxel = voxel;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) grid.affine[r][c] = g.A[r][c];
            grid.affine[r][3] = g.b[r];
        }
        grid.affineCoded = g.coded;
        const V3 c = {uniform(0, dims[0] * voxel[0]), uniform(0, dims[1] * voxel[1]), uniform(0, dims[2] * voxel[2])};
        for (const Package& p : packages) {
            if (!g.coded && p.name != "fsl") continue;
            const Motion m = {uniform(-5, 5) * kDeg, uniform(-5, 5) * kDeg, uniform(-5, 5) * kDeg,
                              uniform(-5, 5),        uniform(-5, 5),        uniform(-5, 5)};
            PackageRow row{};
            if (p.name == "fsl") row = {m.r1, m.r2, m.r3, m.t1, m.t2, m.t3};
            if (p.name == "fmriprep") row = {m.t1, m.t2, m.t3, m.r1, m.r2, m.r3};
            if (p.name == "spm") row = {m.t1, m.t2, m.t3, m.r1, m.r2, m.r3};
            if (p.name == "afni") row = {m.r1 / kDeg, m.r2 / kDeg, m.r3 / kDeg, m.t3, m.t1, m.t2};
            MotionConvention convention;
            convention.format = motionFormatFromName(p.name);
            convention.fmriprep = p.matrixAngles ? FMRIPrepConvention::MatrixAngles : FMRIPrepConvention::MCFLIRTParameters;
            convention.centre = c;
            const MotionRow sdm = sdmRows({row}, convention, grid).at(0);
            // The displacement task's transform of the row: Rz Ry Rx (degrees), then −T.
            const M3 R = mul(mul(Rz(double(float(sdm[5])) * kDeg), Ry(double(float(sdm[4])) * kDeg)), Rx(double(float(sdm[3])) * kDeg));
            const V3 T = {double(float(sdm[0])), double(float(sdm[1])), double(float(sdm[2]))};
            for (std::size_t n = 0; n < g.voxels(); ++n) {
                const V3 v = g.index(n);
                const V3 s = {(v[0] - 0.5 * (dims[0] - 1)) * voxel[0], (v[1] - 0.5 * (dims[1] - 1)) * voxel[1],
                              (v[2] - 0.5 * (dims[2] - 1)) * voxel[2]};
                const V3 actual = sub(sub(mul(R, s), T), s);
                const V3 expected = displacement(p, m, g, v, c);
                for (int a = 0; a < 3; ++a)
                    ASSERT_NEAR(actual[a], expected[a], 1e-4)
                        << p.name << (p.matrixAngles ? " (release 25)" : "") << ", trial " << trial << ", voxel (" << v[0] << ", "
                        << v[1] << ", " << v[2] << "), axis " << a;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 10000);
}

TEST(MotionConventions, ReferenceCentres)
{
    // A 3 x 2 x 2 volume worked by hand: intensities 10 everywhere but 50 at
    // voxel (2, 1, 0) and 30 at (0, 0, 1); voxels of 2 x 3 x 4 mm.
    MotionGrid grid;
    grid.dims = {3, 2, 2};
    grid.voxel = {2, 3, 4};
    std::vector<float> volume(12, 10.0f);
    volume[2 + 3 * 1] = 50.0f;
    volume[0 + 6 * 1] = 30.0f;
    // FSL: weights 40 at (2, 1, 0) and 20 at (0, 0, 1), the rest 0:
    // index (80/60, 40/60, 20/60); with x mirrored, 2 − 4/3 = 2/3.
    grid.affine = {{{-2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}}};
    const auto radiological = fslCentreOfGravity(volume, grid);
    ASSERT_TRUE(radiological);
    EXPECT_NEAR((*radiological)[0], 4.0 / 3.0 * 2, 1e-12);
    EXPECT_NEAR((*radiological)[1], 2.0 / 3.0 * 3, 1e-12);
    EXPECT_NEAR((*radiological)[2], 1.0 / 3.0 * 4, 1e-12);
    grid.affine = {{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}}}; // neurological: FSL mirrors x
    EXPECT_NEAR((*fslCentreOfGravity(volume, grid))[0], 2.0 / 3.0 * 2, 1e-12);
    // Plain centre of mass, no minimum taken off and never mirrored: the
    // intensities sum to 180; Σ I·i = 120 + 40·2 = 200, Σ I·j = 60 + 40 = 100,
    // Σ I·k = 60 + 20 = 80.
    const auto mass = centreOfMass(volume, grid);
    ASSERT_TRUE(mass);
    EXPECT_NEAR((*mass)[0], 200.0 / 180 * 2, 1e-12);
    EXPECT_NEAR((*mass)[1], 100.0 / 180 * 3, 1e-12);
    EXPECT_NEAR((*mass)[2], 80.0 / 180 * 4, 1e-12);
    EXPECT_FALSE(fslCentreOfGravity(std::vector<float>(12, 7.0f), grid)) << "a flat volume has no centre of gravity";
}
