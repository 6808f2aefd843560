// NIfTI-1 images read whole or refused: the runs, references, masks and
// segmentations the program takes. nifti_clib reads the header; the data are
// read here, through zlib, because nifti_clib would pass a file that is
// shorter than its header says (the missing voxels read as 0) and turns stored
// NaNs into 0 without a word. Every refusal is one line that names the file.
#pragma once

#include <nifti1_io.h>

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tool {

struct NiftiImageFree {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImage = std::unique_ptr<nifti_image, NiftiImageFree>;

// The header (and extensions) of path, without the data. Throws
// std::runtime_error "PATH cannot be read as a NIfTI-1 image (...)".
NiftiImage readNiftiHeader(const std::string& path);

// Reads the image's data whole, exactly nvox × nbyper bytes from vox_offset,
// in the machine's byte order. Refuses, with std::runtime_error naming the
// file: a vox_offset beyond the end of the file, data shorter than the header
// says, a gzip stream that is cut short or damaged (its CRC and length are
// checked, so the stream is read to its end), and a read error.
void loadNiftiData(nifti_image& image, const std::string& path);

// The image's data for a reader that takes them once, in order, without
// holding them whole: inflated on a thread of their own while
// `take(data, size)` uses them on the calling thread, `block` bytes at a time
// (a multiple of the element size; the last block may be shorter), in the
// machine's byte order; a few blocks are held at once. For a gzip file of one
// member whose trailer agrees with the header's size. False for any other
// file, and for a stream found damaged or cut short, maybe after some blocks
// were taken: the caller drops what it made of them and reads the image with
// loadNiftiData, which says what is wrong. An exception from `take` stops the
// inflater and propagates.
bool streamNiftiData(const nifti_image& image, std::size_t block, const std::function<void(const unsigned char*, std::size_t)>& take);

// Both: a header and its data, checked.
NiftiImage readNifti(const std::string& path);

// The element types the program takes: real numbers of any width.
bool realNiftiType(int datatype);

// `count` stored values from element `first` on, as intensities: the header's
// scaling (when its slope is not 0) in double precision, then rounded once to
// single precision. A value beyond single precision becomes infinite.
void scaledNiftiValues(const nifti_image& image, std::size_t first, std::size_t count, float* out);
// The same of `count` values of the image's type at `data` (a block of its data).
void scaledNiftiBlock(const nifti_image& image, const void* data, std::size_t count, float* out);

// `count` stored values from element `first` on, as stored (no scaling: a
// mask's or a segmentation's values are codes, not intensities).
void storedNiftiValues(const nifti_image& image, std::size_t first, std::size_t count, double* out);

// ---------------------------------------------------------------- grids

// Voxel (i, j, k) to world millimetres (RAS): rows x, y, z of a 3 × 4 matrix.
using Affine = std::array<std::array<double, 4>, 3>;

// The image's voxel-to-world matrix as nifti_clib derives it: the sform when
// its code is set, else the qform (which, with no code, is the voxel sizes alone).
Affine niftiAffine(const nifti_image& image);

// Where a run's or an image's voxels lie: the voxel counts along i, j and k,
// and the affine when it is known (a run made by the desktop application has
// no NIfTI header, and its grid is its dimensions alone).
struct Grid {
    std::array<int, 3> dims{0, 0, 0};
    std::optional<Affine> affine;
};

// The grid of an image (its first three dimensions and niftiAffine).
Grid niftiGrid(const nifti_image& image);

// The grid of a run document: its dimensions, and the affine of the NIfTI it
// was imported from (NAME_space.json) when there is that record.
Grid runGrid(const std::string& fmrPath);

// Two grids are the same when the dimensions agree and, where both affines
// are known, their translations agree within 1e-3 mm and each voxel axis's
// direction cosines within 1e-4 and its length (the voxel size) within 1e-3
// mm: well above float32 rounding of a header, far below any real shift or
// tilt (1e-4 rad over 100 mm is 0.01 mm).
inline constexpr double kGridTranslationToleranceMm = 1e-3;
inline constexpr double kGridDirectionTolerance = 1e-4;

// Empty when `image` lies on `run`, else what differs, for a message: "has
// 4 x 3 x 2 voxels, the run 4 x 3 x 3" or "lies elsewhere than the run: its
// affine [[...]], the run's [[...]]".
std::string gridDifference(const Grid& image, const Grid& run);

// A one-volume image on the run's grid (refused otherwise, by
// gridDifference), its voxels as stored. `what` names the image in messages
// ("a mask"). Throws std::runtime_error naming the file.
std::vector<double> imageOnRunGrid(const std::string& path, const Grid& run, const std::string& what);

// ---------------------------------------------------------------- non-finite voxels

// The voxels of a run (x fastest, then y, then slice) that hold a value that
// is not finite (NaN, infinite, or beyond single precision after scaling) in
// at least one volume, as runs of consecutive indices [first, count].
using VoxelRanges = std::vector<std::array<long long, 2>>;

struct NonFiniteScan {
    std::vector<unsigned char> voxels; // 1 for a voxel non-finite in some volume
    std::size_t count = 0;             // how many such voxels
    std::size_t values = 0;            // how many such values over the run
};

// Scans the volumes of a loaded image. Throws std::runtime_error naming the
// file and the volume when a whole volume holds no finite value.
NonFiniteScan scanNonFinite(const nifti_image& image, const std::string& path);

VoxelRanges voxelRanges(const std::vector<unsigned char>& flags);

// The non-finite voxels that import recorded for a run (NAME_space.json);
// none for a run without that record.
VoxelRanges nonFiniteVoxelsOfRun(const std::string& fmrPath);

// Clears those voxels from a mask of the run; returns how many were set.
std::size_t leaveOutNonFinite(std::vector<unsigned char>& mask, const std::string& fmrPath);

} // namespace tool
