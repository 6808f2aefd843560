// The FMR document of a run the program makes itself (a synthetic run, an
// imported NIfTI): every header line laid out as the library's FMR writer
// lays it out, from the few values that differ between runs.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tool {

struct RunDocument {
    int nx = 0, ny = 0, nz = 0, volumes = 0;
    bool floats = true; // DataType 2 (float), else 1 (16-bit integers)
    int trMs = 0;
    int teMs = 0;
    int sliceOrder = 0; // SliceAcquisitionOrder; 0 with its "verified" flag off for unknown
    bool sliceOrderVerified = false;
    float voxel[3] = {0, 0, 0}; // mm: in-plane x, y, slice thickness
    std::string prefix;         // the run's base name
    // The position block, in scanner millimetres (x to the left, y to the back).
    float slice1Center[3] = {0, 0, 0}, sliceNCenter[3] = {0, 0, 0};
    float rowDir[3] = {1, 0, 0}, colDir[3] = {0, 1, 0};
    std::string firstDataSource;
    std::vector<float> sliceTimes; // ms from the start of a volume, one per slice; or none
};

void writeRunDocument(std::ostream& out, const RunDocument& d);

} // namespace tool
