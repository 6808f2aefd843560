// Where a run's voxels lie in the world, as the NIfTI it was imported from
// says: the header's sform and qform with their codes, exactly as stored.
// Import writes it beside the run document as NAME_space.json; the host reads
// it with the run and gives every map of that run the same header fields, so
// a map lies on its source run in any viewer. The plug-in never sees it.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct SourceSpace {
    std::array<int, 3> dims{0, 0, 0};          // voxels along i, j, k
    std::array<float, 4> pixdim{1, 1, 1, 1};   // pixdim[0] (qfac) to pixdim[3], as stored
    int xyzUnits = 0;                          // the header's spatial unit code
    int qformCode = 0, sformCode = 0;
    std::array<float, 3> quatern{0, 0, 0};     // quatern_b, _c, _d
    std::array<float, 3> qoffset{0, 0, 0};
    std::array<std::array<float, 4>, 3> srow{}; // srow_x, srow_y, srow_z
    std::string source;                         // the NIfTI it came from
    // The voxels (x fastest, then y, then slice) that held a value that is not
    // finite in some volume of the source, as runs [first index, count]: the
    // slice data hold 0 there, and DVARS and the carpet leave them out.
    std::vector<std::array<long long, 2>> nonFiniteVoxels;
};

// NAME_space.json for NAME.fmr (or any path ending in .fmr).
std::string sourceSpacePath(const std::string& fmrPath);

// The record written as JSON; throws std::runtime_error when it cannot be saved.
void writeSourceSpace(const std::string& path, const SourceSpace& space);

// The record at path; nothing when there is none or it cannot be read as one.
std::optional<SourceSpace> readSourceSpace(const std::string& path);

} // namespace host
