// How another package's motion estimates become the rows of a 3DMC SDM.
//
// A 3DMC row (translations T in mm, angles A in degrees; motionmeasures.h)
// stands for the rigid transform p' = R(A)·p − T, R(A) = Rz·Ry·Rx, in the frame
// of the displacement maps: the run's voxel axes i, j, k scaled to millimetres,
// origin at the volume centre, voxel ((n − 1)/2). Each package reports, for
// every volume, a rigid transform in coordinates and conventions of its own.
// The conversion builds that transform as a matrix, exactly as the package
// defines it, carries it into the frame of the maps, and decomposes it into the
// row's six numbers. A rotation about another centre is the same rotation with
// another translation, so every package's transform has an exact row; angles
// are never mapped one at a time, and the displacement task then moves every
// voxel exactly as the package's own transform does.
//
// Rx, Ry, Rz are the right-handed rotations (Rz(θ) turns +x toward +y); each
// transform takes a volume onto its reference, as the package reports it.
//
//   fsl       FSL coordinates of voxel (i, j, k) are (i·dx, j·dy, k·dz), with x
//             mirrored, (nx − 1 − i)·dx, when the affine (sform, else qform)
//             has a positive determinant; an image with neither is taken as
//             radiological (not mirrored). A(f) = R·(f − c) + c + t with
//             R = Rx(−rx)·Ry(−ry)·Rz(−rz), t = (tx, ty, tz) and c the centre of
//             gravity of the reference volume (intensity minus its minimum).
//   fmriprep  up to release 24: mcflirt's numbers reordered, read as fsl with
//             the boldref as reference. From release 25: A(f) = R·f + b in FSL
//             coordinates, with Rᵀ = Rx(rot_x)·Ry(rot_y)·Rz(rot_z) and
//             b = trans + Rᵀ·c − c, c the voxel sizes times the boldref's
//             centre of mass in voxel indices (no minimum, no mirroring).
//   spm       A(w) = T(x, y, z)·Rx(−pitch)·Ry(roll)·Rz(−yaw) on world
//             millimetres (sform, else qform), about the world origin.
//   afni      on DICOM axes (x left, y back, z up), each voxel axis taking its
//             nearest (3dvolreg works on the grid without obliquity):
//             R = Ry(yaw)·Rx(pitch)·Rz(roll), t = (dL, dP, dS), about the
//             volume centre.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "motionfiles.h"
#include "motionmeasures.h"

namespace qc {

using Vec3d = std::array<double, 3>;
using Mat3d = std::array<Vec3d, 3>; // [row][column]

// p' = R·p + t, millimetres.
struct RigidMotion {
    Mat3d R{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    Vec3d t{0, 0, 0};
};
Vec3d applyMotion(RigidMotion const& motion, Vec3d const& p);

// The run the motion was estimated on, as far as the conventions need it.
struct MotionGrid {
    std::array<int, 3> dims{1, 1, 1};
    Vec3d voxel{1, 1, 1}; // mm
    // Voxel index to world (RAS) millimetres: rows x, y, z; columns i, j, k
    // and the offset. The sform when its code is set, else the qform.
    std::array<std::array<double, 4>, 3> affine{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};
    bool affineCoded = true; // false when neither the sform nor the qform code is set
};

// Whether FSL mirrors x for this run.
bool fslMirrorsX(MotionGrid const& grid);

// Where a package's coordinates q of a point lie for the point s of the frame
// of the maps: q = L·s + o, L orthogonal.
struct PackageFrame {
    Mat3d L{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    Vec3d o{0, 0, 0};
    // spm: the affine's direction cosines are not orthogonal (shear), and L
    // is the rotation nearest to them, so the motion is carried approximately.
    bool sheared = false;
};
// Throws std::runtime_error for an affine without three independent axes
// (spm, afni).
PackageFrame packageFrame(MotionFormat format, MotionGrid const& grid);

// The axis nearest to each column of a direction matrix: column a runs along
// axis from[a] in the direction sign[a] (a signed permutation).
struct AxisMatch {
    std::array<int, 3> from{0, 1, 2};
    std::array<int, 3> sign{1, 1, 1};
};
AxisMatch nearestAxes(Mat3d const& directions);

enum class FMRIPrepConvention {
    MCFLIRTParameters, // up to release 24
    MatrixAngles,      // from release 25
};
// The convention of an fMRIPrep release ("23.2.1", "25.0.0rc1"); std::nullopt
// when the text does not start with a release number.
std::optional<FMRIPrepConvention> fmriprepConventionOf(std::string const& version);

struct MotionConvention {
    MotionFormat format = MotionFormat::FSL;
    FMRIPrepConvention fmriprep = FMRIPrepConvention::MatrixAngles;
    Vec3d centre{0, 0, 0}; // fsl and fmriprep: c of the table above, mm
};

// A row's transform in the package's coordinates.
RigidMotion packageMotion(MotionConvention const& convention, PackageRow const& row);
// The same motion in the frame of the maps: s' = Lᵀ·(R·(L·s + o) + t − o).
RigidMotion inMapFrame(RigidMotion const& motion, PackageFrame const& frame);
// The 3DMC row of a rigid motion in the frame of the maps, and back.
MotionRow sdmRowOf(RigidMotion const& motion);
RigidMotion motionOfSDMRow(MotionRow const& row);

// Every row of a package's file as 3DMC rows.
MotionParameters sdmRows(PackageRows const& rows, MotionConvention const& convention, MotionGrid const& grid);

// The package's own numbers of each row as 3DMC-ordered rows (translations
// in mm, then rotations in degrees: fsl and fmriprep tx ty tz rx ry rz, spm
// x y z pitch roll yaw, afni dL dP dS pitch yaw roll), as the package reports
// them, not carried into the SDM's frame. Framewise displacement is defined on
// a package's own parameters, about its own centre and on its own axes: taken
// from these rows it is the package's (and its peers') value, whereas the
// SDM's rows turn about the volume centre.
MotionParameters packageParameterRows(PackageRows const& rows, MotionFormat format);

// Reference centres in mm, from one volume (x fastest) of the run's grid.
// FSL's centre of gravity in FSL coordinates: each voxel weighted by its
// intensity minus the volume's minimum; std::nullopt when every voxel holds
// the same value.
std::optional<Vec3d> fslCentreOfGravity(std::vector<float> const& volume, MotionGrid const& grid);
// The voxel sizes times the intensity-weighted mean voxel index; std::nullopt
// when the intensities sum to 0.
std::optional<Vec3d> centreOfMass(std::vector<float> const& volume, MotionGrid const& grid);

} // namespace qc
