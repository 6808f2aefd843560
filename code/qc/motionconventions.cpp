#include "motionconventions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <stdexcept>

namespace qc {

namespace {

constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;

Mat3d product(Mat3d const& a, Mat3d const& b)
{
    Mat3d r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    return r;
}

Mat3d transposed(Mat3d const& m)
{
    Mat3d r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = m[j][i];
    return r;
}

Vec3d times(Mat3d const& m, Vec3d const& v)
{
    Vec3d r{};
    for (int i = 0; i < 3; ++i) r[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    return r;
}

Vec3d plus(Vec3d const& a, Vec3d const& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3d minus(Vec3d const& a, Vec3d const& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

double determinant(Mat3d const& m)
{
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// The right-handed elementary rotations.
Mat3d rotX(double a) { return {{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}}; }
Mat3d rotY(double a) { return {{{std::cos(a), 0, std::sin(a)}, {0, 1, 0}, {-std::sin(a), 0, std::cos(a)}}}; }
Mat3d rotZ(double a) { return {{{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}}}; }

// The 3×3 part of the affine.
Mat3d linearPart(MotionGrid const& grid)
{
    Mat3d m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] = grid.affine[r][c];
    return m;
}

// The affine's columns scaled to unit length: where each voxel axis points.
Mat3d directionCosines(MotionGrid const& grid)
{
    Mat3d m = linearPart(grid);
    for (int c = 0; c < 3; ++c) {
        const double length = std::sqrt(m[0][c] * m[0][c] + m[1][c] * m[1][c] + m[2][c] * m[2][c]);
        if (!(length > 0.0) || !std::isfinite(length))
            throw std::runtime_error("the image's affine has no direction for voxel axis " + std::to_string(c));
        for (int r = 0; r < 3; ++r) m[r][c] /= length;
    }
    if (std::fabs(determinant(m)) < 1e-6) throw std::runtime_error("the image's affine has no three independent axes");
    return m;
}

// The orthogonal factor of the polar decomposition m = Q·H: the rotation (or
// rotation with reflection) nearest to m. Newton's iteration Q ← (Q + Q⁻ᵀ)/2.
Mat3d nearestOrthogonal(Mat3d q)
{
    for (int iteration = 0; iteration < 100; ++iteration) {
        const double det = determinant(q);
        // Q⁻ᵀ is the cofactor matrix divided by the determinant.
        Mat3d inverseTransposed{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
                inverseTransposed[i][j] = (q[i1][j1] * q[i2][j2] - q[i1][j2] * q[i2][j1]) / det;
            }
        double change = 0.0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const double next = 0.5 * (q[i][j] + inverseTransposed[i][j]);
                change = std::max(change, std::fabs(next - q[i][j]));
                q[i][j] = next;
            }
        if (change < 1e-15) break;
    }
    return q;
}

bool orthogonal(Mat3d const& m)
{
    const Mat3d g = product(transposed(m), m);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (std::fabs(g[i][j] - (i == j ? 1.0 : 0.0)) > 1e-6) return false;
    return true;
}

// The volume centre, voxel ((n − 1)/2), in scaled voxel coordinates.
Vec3d centreOfGrid(MotionGrid const& grid)
{
    Vec3d c{};
    for (int a = 0; a < 3; ++a) c[a] = 0.5 * (grid.dims[a] - 1) * grid.voxel[a];
    return c;
}

} // namespace

Vec3d applyMotion(RigidMotion const& motion, Vec3d const& p) { return plus(times(motion.R, p), motion.t); }

bool fslMirrorsX(MotionGrid const& grid) { return grid.affineCoded && determinant(linearPart(grid)) > 0.0; }

AxisMatch nearestAxes(Mat3d const& m)
{
    // The permutation that keeps the largest share of every column's direction.
    double length[3];
    for (int c = 0; c < 3; ++c) length[c] = std::sqrt(m[0][c] * m[0][c] + m[1][c] * m[1][c] + m[2][c] * m[2][c]);
    std::array<int, 3> permutation{0, 1, 2};
    AxisMatch best;
    double bestScore = -1.0;
    do {
        double score = 0.0;
        for (int c = 0; c < 3; ++c)
            if (length[c] > 0) score += std::fabs(m[permutation[c]][c]) / length[c];
        if (score > bestScore + 1e-12) {
            bestScore = score;
            best.from = permutation;
        }
    } while (std::next_permutation(permutation.begin(), permutation.end()));
    for (int c = 0; c < 3; ++c) best.sign[c] = m[best.from[c]][c] < 0 ? -1 : 1;
    return best;
}

PackageFrame packageFrame(MotionFormat format, MotionGrid const& grid)
{
    PackageFrame frame;
    switch (format) {
    case MotionFormat::FSL:
    case MotionFormat::FMRIPrep:
        // FSL's coordinates are the scaled voxel coordinates from voxel 0; the
        // mirror (nx − 1 − i)·dx keeps the volume centre where it is.
        if (fslMirrorsX(grid)) frame.L[0][0] = -1;
        frame.o = centreOfGrid(grid);
        break;
    case MotionFormat::SPM: {
        // World millimetres: w = A·v + b, and v = s/d + (n − 1)/2.
        const Mat3d cosines = directionCosines(grid);
        frame.sheared = !orthogonal(cosines);
        frame.L = frame.sheared ? nearestOrthogonal(cosines) : cosines;
        Vec3d centreIndex{};
        for (int a = 0; a < 3; ++a) centreIndex[a] = 0.5 * (grid.dims[a] - 1);
        frame.o = plus(times(linearPart(grid), centreIndex), {grid.affine[0][3], grid.affine[1][3], grid.affine[2][3]});
        break;
    }
    case MotionFormat::AFNI: {
        // DICOM axes run to the left and to the back; 3dvolreg's coordinates
        // are taken from the volume centre, about which it turns.
        Mat3d dicom = directionCosines(grid);
        for (int c = 0; c < 3; ++c) dicom[0][c] = -dicom[0][c], dicom[1][c] = -dicom[1][c];
        const AxisMatch match = nearestAxes(dicom);
        frame.L = Mat3d{};
        for (int c = 0; c < 3; ++c) frame.L[match.from[c]][c] = match.sign[c];
        break;
    }
    }
    return frame;
}

std::optional<FMRIPrepConvention> fmriprepConventionOf(std::string const& version)
{
    std::size_t start = 0;
    if (!version.empty() && (version[0] == 'v' || version[0] == 'V')) start = 1;
    if (start >= version.size() || !std::isdigit(static_cast<unsigned char>(version[start]))) return std::nullopt;
    const long major = std::strtol(version.c_str() + start, nullptr, 10);
    return major >= 25 ? FMRIPrepConvention::MatrixAngles : FMRIPrepConvention::MCFLIRTParameters;
}

RigidMotion packageMotion(MotionConvention const& convention, PackageRow const& row)
{
    RigidMotion m;
    const Vec3d& c = convention.centre;
    // A(f) = R·(f − c) + c + t, mcflirt's rotation about the centre of gravity.
    const auto fsl = [&](double rx, double ry, double rz, Vec3d const& t) {
        m.R = product(product(rotX(-rx), rotY(-ry)), rotZ(-rz));
        m.t = minus(plus(t, c), times(m.R, c));
    };
    switch (convention.format) {
    case MotionFormat::FSL:
        fsl(row[0], row[1], row[2], {row[3], row[4], row[5]});
        break;
    case MotionFormat::FMRIPrep:
        if (convention.fmriprep == FMRIPrepConvention::MCFLIRTParameters) {
            fsl(row[3], row[4], row[5], {row[0], row[1], row[2]});
        } else {
            // Rᵀ = Rx·Ry·Rz of the angles; trans = b − Rᵀ·c + c.
            const Mat3d rt = product(product(rotX(row[3]), rotY(row[4])), rotZ(row[5]));
            m.R = transposed(rt);
            m.t = minus(plus(Vec3d{row[0], row[1], row[2]}, times(rt, c)), c);
        }
        break;
    case MotionFormat::SPM:
        // x y z pitch roll yaw: T·Rx(−pitch)·Ry(roll)·Rz(−yaw).
        m.R = product(product(rotX(-row[3]), rotY(row[4])), rotZ(-row[5]));
        m.t = {row[0], row[1], row[2]};
        break;
    case MotionFormat::AFNI: {
        // roll pitch yaw (degrees) dS dL dP on L, P, S axes about the centre.
        const double roll = row[0] * kRadiansPerDegree, pitch = row[1] * kRadiansPerDegree, yaw = row[2] * kRadiansPerDegree;
        m.R = product(product(rotY(yaw), rotX(pitch)), rotZ(roll));
        m.t = {row[4], row[5], row[3]};
        break;
    }
    }
    return m;
}

RigidMotion inMapFrame(RigidMotion const& motion, PackageFrame const& frame)
{
    const Mat3d lt = transposed(frame.L);
    RigidMotion r;
    r.R = product(product(lt, motion.R), frame.L);
    r.t = times(lt, minus(plus(times(motion.R, frame.o), motion.t), frame.o));
    return r;
}

MotionRow sdmRowOf(RigidMotion const& motion)
{
    // R = Rz(c)·Ry(b)·Rx(a): R[2][0] = −sin b, R[1][0]/R[0][0] = tan c,
    // R[2][1]/R[2][2] = tan a.
    const Mat3d& R = motion.R;
    const double b = std::atan2(-R[2][0], std::hypot(R[0][0], R[1][0]));
    const double c = std::atan2(R[1][0], R[0][0]);
    const double a = std::atan2(R[2][1], R[2][2]);
    const double d = 1.0 / kRadiansPerDegree;
    // The displacement task moves p to R·p − T.
    return {-motion.t[0] + 0.0, -motion.t[1] + 0.0, -motion.t[2] + 0.0, a * d + 0.0, b * d + 0.0, c * d + 0.0};
}

RigidMotion motionOfSDMRow(MotionRow const& row)
{
    RigidMotion m;
    m.R = product(product(rotZ(row[5] * kRadiansPerDegree), rotY(row[4] * kRadiansPerDegree)), rotX(row[3] * kRadiansPerDegree));
    m.t = {-row[0], -row[1], -row[2]};
    return m;
}

MotionParameters sdmRows(PackageRows const& rows, MotionConvention const& convention, MotionGrid const& grid)
{
    const PackageFrame frame = packageFrame(convention.format, grid);
    MotionParameters result;
    result.reserve(rows.size());
    for (const PackageRow& row : rows) result.push_back(sdmRowOf(inMapFrame(packageMotion(convention, row), frame)));
    return result;
}

MotionParameters packageParameterRows(PackageRows const& rows, MotionFormat format)
{
    const double d = 1.0 / kRadiansPerDegree;
    MotionParameters result;
    result.reserve(rows.size());
    for (const PackageRow& r : rows) switch (format) {
        case MotionFormat::FSL: result.push_back({r[3], r[4], r[5], r[0] * d, r[1] * d, r[2] * d}); break;
        case MotionFormat::FMRIPrep:
        case MotionFormat::SPM: result.push_back({r[0], r[1], r[2], r[3] * d, r[4] * d, r[5] * d}); break;
        case MotionFormat::AFNI: result.push_back({r[4], r[5], r[3], r[1], r[2], r[0]}); break;
        }
    return result;
}

namespace {

// Σ w·(i, j, k) / Σ w over a volume, in voxel indices.
std::optional<Vec3d> weightedIndex(std::vector<float> const& volume, MotionGrid const& grid, double offset)
{
    const std::size_t nx = std::size_t(grid.dims[0]), ny = std::size_t(grid.dims[1]), nz = std::size_t(grid.dims[2]);
    if (volume.size() != nx * ny * nz) throw std::invalid_argument("a reference volume of the wrong size");
    double total = 0.0;
    Vec3d sum{};
    std::size_t i = 0;
    for (std::size_t z = 0; z < nz; ++z)
        for (std::size_t y = 0; y < ny; ++y)
            for (std::size_t x = 0; x < nx; ++x, ++i) {
                const double w = double(volume[i]) - offset;
                total += w;
                sum[0] += w * double(x), sum[1] += w * double(y), sum[2] += w * double(z);
            }
    if (total == 0.0 || !std::isfinite(total)) return std::nullopt;
    return Vec3d{sum[0] / total, sum[1] / total, sum[2] / total};
}

} // namespace

std::optional<Vec3d> fslCentreOfGravity(std::vector<float> const& volume, MotionGrid const& grid)
{
    if (volume.empty()) return std::nullopt;
    const double minimum = *std::min_element(volume.begin(), volume.end());
    const std::optional<Vec3d> index = weightedIndex(volume, grid, minimum);
    if (!index) return std::nullopt;
    Vec3d c{};
    for (int a = 0; a < 3; ++a) c[a] = (*index)[a] * grid.voxel[a];
    if (fslMirrorsX(grid)) c[0] = (grid.dims[0] - 1 - (*index)[0]) * grid.voxel[0];
    return c;
}

std::optional<Vec3d> centreOfMass(std::vector<float> const& volume, MotionGrid const& grid)
{
    const std::optional<Vec3d> index = weightedIndex(volume, grid, 0.0);
    if (!index) return std::nullopt;
    return Vec3d{(*index)[0] * grid.voxel[0], (*index)[1] * grid.voxel[1], (*index)[2] * grid.voxel[2]};
}

} // namespace qc
