// Motion parameters estimated by other packages' motion correction (FSL's
// mcflirt, SPM's realignment, AFNI's 3dvolreg, fMRIPrep), read into the rows
// of a 3DMC SDM: translations along x, y, z in mm, then rotations about x, y,
// z in degrees, one row per volume (see motionmeasures.h).
//
// Every package writes a rigid transform p' = R·p + t: right-handed rotations
// (after its own sign convention has been undone) and a translation. A 3DMC
// row (T, A) moves a voxel at p to R(A)·p − T (the plug-in's displacement task
// negates the translation), so each row is stored with T = −t and A = the
// right-handed angles: the displacement maps then see the package's transform.
//
//   format    file                               columns                              row (T; A)
//   fsl       *.par (mcflirt)                    rx ry rz (rad), tx ty tz (mm)        −tx −ty −tz; rx ry rz
//   fmriprep  *_desc-confounds_timeseries.tsv    trans_x … rot_z (mm, rad) by name    like fsl
//   spm       rp_*.txt                           x y z (mm), pitch roll yaw (rad)     −x −y −z; −pitch roll −yaw
//   afni      *.1D (3dvolreg -1Dfile)            roll pitch yaw (deg), dS dL dP (mm)  −dL −dP −dS; −pitch −yaw −roll
//
// SPM builds its pitch and yaw matrices turning the other way (left-handed),
// hence their signs. AFNI turns roll, pitch and yaw right-handedly about the
// I, R and A axes; in its L-P-S axes each angle and shift changes sign.
//
// The rows are in the package's own axes (motionAxes); motionAxisMap and
// mapMotionAxes move them onto the voxel axes of an image.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "motionmeasures.h"

enum class MotionFormat { FSL, SPM, AFNI, FMRIPrep };

// "fsl", "spm", "afni" or "fmriprep"; throws std::invalid_argument otherwise.
MotionFormat motionFormatFromName(std::string const& name);
std::string motionFormatName(MotionFormat format);
// The format a file name shows: *.par, rp_*.txt, *.1D,
// *_desc-confounds_timeseries.tsv (or the older *_desc-confounds_regressors.tsv).
std::optional<MotionFormat> motionFormatOfFileName(std::string const& path);

// Reads a package's motion file into 3DMC rows as the table above says. Lines
// may end in CR LF; blank lines and lines starting with '#' are skipped.
// Throws std::runtime_error naming the file, and the line and column where it
// applies, for a file that cannot be read or holds no rows, a row without
// exactly six numbers, a cell that is no number or not finite, an fMRIPrep
// table lacking one of the six columns, a row with more or fewer fields than
// its header, or "n/a" in one of the six motion columns.
MotionParameters readMotionFile(std::string const& path, MotionFormat format);

// The axes a format's parameters refer to.
enum class MotionAxes {
    FSLScaledVoxel, // the image's voxel axes in mm, x mirrored for a positive-determinant affine (fsl, fmriprep)
    WorldRAS,       // the world of the image's affine: x to the right, y to the front, z up (spm)
    WorldLPS,       // DICOM order: x to the left, y to the back, z up (afni)
};
MotionAxes motionAxes(MotionFormat format);

// Voxel axis a of an image takes component `from[a]` of the package's axes,
// times sign[a].
struct MotionAxisMap {
    std::array<int, 3> from{0, 1, 2};
    std::array<int, 3> sign{1, 1, 1};
};

// The map for an image whose voxel axes i, j, k point along the columns of
// voxelToWorld (the 3×3 part of its affine, world in RAS mm; rows are world
// x, y, z). Oblique axes are taken along the world axes nearest to them.
MotionAxisMap motionAxisMap(MotionFormat format, std::array<std::array<double, 3>, 3> const& voxelToWorld);

// The rows re-expressed on the voxel axes: translations move with the axes,
// rotations too and change sign when the map mirrors (determinant −1). Angles
// are mapped axis by axis, which for the few degrees of head motion differs
// from re-composing the rotation by far less than 0.1°.
MotionParameters mapMotionAxes(MotionParameters const& rows, MotionAxisMap const& map);

// "x = −FSL x, y = FSL y, z = FSL z", for messages.
std::string describeMotionAxisMap(MotionFormat format, MotionAxisMap const& map);
