// Saved maps as gzip-compressed NIfTI-1 files that neuroimaging tools open.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "host.h"
#include "largebuffer.h"
#include "sourcespace.h"

struct libdeflate_compressor;

namespace host {

// The file a map name is written to: a trailing ".map" becomes ".nii.gz"
// (otherwise ".nii.gz" is appended).
std::string mapFileName(const std::string& name);

// What a map holds, from its name's suffix ("maximum absolute displacement (mm)", ...).
std::string mapDescription(const std::string& name);

// Writes the map's voxels (DimX*DimY*DimZ floats, x fastest) as float32 NIfTI:
// with the source NIfTI's spatial header when the run has one (space), else
// voxel sizes from the run and qform and sform the same affine that centres
// the volume at the origin; the thresholds in cal_min/cal_max, and for map type 4
// the F-test intent with its degrees of freedom. The file replaces an existing
// one only when it was written completely; failures throw WriteFileError
// "Cannot write map " and the file, followed by why (": the folder ... does
// not exist", ": a folder of that name exists", ": the folder ... is not
// writable (...)", " (writing failed: ...)").
void writeMapFile(const std::string& file, const MAP_Header& header, const float* voxels,
                  const FMR_Header& run, const std::string& description, const SourceSpace* space = nullptr);

// Buffers and compressor kept from one map to the next by a thread that
// writes several: fresh megabytes for every map cost more than their use.
struct MapScratch {
    struct Buffer {
        unsigned char* bytes = nullptr;
        std::size_t size = 0;
        Buffer() = default;
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;
        ~Buffer();
    };
    struct CompressorFree {
        void operator()(libdeflate_compressor* c) const;
    };
    Buffer raw, packed;
    std::unique_ptr<libdeflate_compressor, CompressorFree> compressor;

    MapScratch();
    ~MapScratch();
    unsigned char* reserve(Buffer& buffer, std::size_t size);
};

// The same in steps, for a host that compresses and writes maps on threads of
// its own. checkMapTarget throws what writeMapFile throws when the file
// cannot be written at all (a missing or read-only folder, a folder of that
// name); mapFileHead gives the bytes before the voxels (NIfTI's header
// library is not called from other threads); writeMapBytes compresses and
// saves, touching nothing but its arguments, so it may run on any thread.
void checkMapTarget(const std::string& file);
std::string mapFileHead(const MAP_Header& header, const FMR_Header& run, const std::string& description,
                        const SourceSpace* space = nullptr);
void writeMapBytes(const std::string& file, const std::string& head, const float* voxels, std::size_t count,
                   MapScratch& scratch);

// The largest finite voxel of a float32 NIfTI map as this host writes it.
// Throws std::runtime_error "cannot read the map FILE" for anything else.
// Safe to call from several threads at once.
double mapFileMaximum(const std::string& file);

} // namespace host
