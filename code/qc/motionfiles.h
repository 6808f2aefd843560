// Motion files of other packages (FSL's mcflirt, SPM's realignment, AFNI's
// 3dvolreg, fMRIPrep's confounds table) read as the six numbers each row holds,
// in the package's own order and units:
//
//   format    file                               the six numbers of a row
//   fsl       *.par (mcflirt)                    rx ry rz (rad), tx ty tz (mm)
//   fmriprep  *_desc-confounds_timeseries.tsv    trans_x trans_y trans_z (mm), rot_x rot_y rot_z (rad), by name
//   spm       rp_*.txt                           x y z (mm), pitch roll yaw (rad)
//   afni      *.1D (3dvolreg -1Dfile)            roll pitch yaw (deg), dS dL dP (mm)
//
// What the numbers mean (rotation order, handedness, centre, axes) and how they
// become the rows of a 3DMC SDM is in motionconventions.h.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace qc {


enum class MotionFormat { FSL, SPM, AFNI, FMRIPrep };

// "fsl", "spm", "afni" or "fmriprep"; throws std::invalid_argument otherwise.
MotionFormat motionFormatFromName(std::string const& name);
std::string motionFormatName(MotionFormat format);
// The format a file name shows: *.par, rp_*.txt, *.1D,
// *_desc-confounds_timeseries.tsv (or the older *_desc-confounds_regressors.tsv).
std::optional<MotionFormat> motionFormatOfFileName(std::string const& path);

// One row of a package's motion file, in the order of the table above.
using PackageRow = std::array<double, 6>;
using PackageRows = std::vector<PackageRow>;

// The largest motion a file may describe. A head moves millimetres, a few
// centimetres at worst, inside a head coil and a bore about 600 mm wide; a
// package's translation may be larger than the head's own displacement only
// where it balances a rotation about a distant origin (SPM's world origin),
// and that stays within a few hundred mm. Anything beyond 500 mm (a value
// beyond single precision in particular) is a damaged or misread file.
// Rotations lie within one full turn, 2π rad (360 degrees for AFNI): the
// packages report angles within ±π.
inline constexpr double kMaxTranslationMm = 500.0;
inline constexpr double kMaxRotationRad = 6.283185307179586;
inline constexpr double kMaxRotationDeg = 360.0;

// Reads a package's motion file. Lines may end in CR LF; blank lines and lines
// starting with '#' are skipped. Throws IOError naming the file, and
// the line and column where it applies, for a file that cannot be read or holds
// no rows, a row without exactly six numbers, a cell that is no number or not
// finite, a translation or rotation beyond the bounds above, an fMRIPrep table
// lacking one of the six columns, a row with more or fewer fields than its
// header, or "n/a" in one of the six motion columns.
PackageRows readMotionFile(std::string const& path, MotionFormat format);

// Each row in fMRIPrep's column layout, trans_x trans_y trans_z (mm) and
// rot_x rot_y rot_z (rad), holding the package's own numbers as fMRIPrep's
// motion normalisation lists them: fsl tx ty tz rx ry rz (as fMRIPrep up to
// release 24 lists mcflirt's), spm x y z pitch roll yaw, afni dL dP dS and
// pitch yaw roll turned into radians, fmriprep as read. Nothing is carried
// into another frame: these are the numbers the package wrote.
PackageRows fmriprepLayout(PackageRows const& rows, MotionFormat format);
// How fmriprepLayout lists a format's numbers, for sidecars.
std::string fmriprepLayoutConvention(MotionFormat format);

// "FSL", "SPM", "AFNI" or "fMRIPrep", for messages.
std::string motionPackageName(MotionFormat format);

} // namespace qc
