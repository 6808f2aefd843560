#include "mapfile.h"

#include <nifti1_io.h>
#include <unistd.h>
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "atomicfile.h"
#include "ioerror.h"

namespace host {

namespace fs = std::filesystem;

std::string mapFileName(const std::string& name)
{
    const std::string suffix = ".map";
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        return name.substr(0, name.size() - suffix.size()) + ".nii.gz";
    return name + ".nii.gz";
}

std::string mapDescription(const std::string& name)
{
    // Longest suffixes first: "_MaxAbsoluteX" before "_MaxAbsolute".
    static const std::pair<const char*, const char*> table[] = {
        {"_MaxAbsoluteX", "maximum absolute displacement along x (mm)"},
        {"_MaxAbsoluteY", "maximum absolute displacement along y (mm)"},
        {"_MaxAbsoluteZ", "maximum absolute displacement along z (mm)"},
        {"_MaxAbsolute", "maximum absolute displacement (mm)"},
        {"_MeanAbsolute", "mean absolute displacement (mm)"},
        {"_MaxRelative", "maximum relative (volume-to-volume) displacement (mm)"},
        {"_MeanRelative", "mean relative (volume-to-volume) displacement (mm)"},
        {"_tSNR_perc_increase", "tSNR change from removing the confounds (%)"},
        {"_tSNR_residuals", "temporal SNR after removing the confounds"},
        {"_tSNR_data", "temporal SNR of the data"},
        {"_task_R2adj", "adjusted R2 of the task model"},
        {"_R2adj_diff", "adjusted R2 gained by adding the confound set"},
        {"_R2adj", "adjusted R2 of task and confound model"},
        {"_Fval_diff", "F of adding the confound set"},
    };
    std::string stem = name;
    if (stem.size() >= 4 && stem.compare(stem.size() - 4, 4, ".map") == 0) stem.resize(stem.size() - 4);
    const std::string file = fs::path(stem).filename().string();
    for (const auto& [suffix, text] : table)
        if (file.find(suffix) != std::string::npos) return text;
    return "map of the run";
}

namespace {

// The voxel-to-millimetre affine of the plug-in's grid: voxel (i, j, k) has
// its centre at i*dx + (dx - nx*dx)/2 (likewise y, z), so the volume is centred at 0.
mat44 centredAffine(int nx, int ny, int nz, float dx, float dy, float dz)
{
    mat44 m{};
    m.m[0][0] = dx;
    m.m[1][1] = dy;
    m.m[2][2] = dz;
    m.m[0][3] = (dx - static_cast<float>(nx) * dx) * 0.5f;
    m.m[1][3] = (dy - static_cast<float>(ny) * dy) * 0.5f;
    m.m[2][3] = (dz - static_cast<float>(nz) * dz) * 0.5f;
    m.m[3][3] = 1.0f;
    return m;
}

float positive(float size) { return size > 0.0f ? size : 1.0f; }

// The map file as it is stored before compression, the head (header and
// padding) followed by the voxels, x fastest, is compressed as one gzip
// member by libdeflate. The whole map is in memory anyway, and a
// whole-buffer compressor is about three times as fast as zlib at its
// default level for the same size (bench/bench_deflate.cpp).
constexpr int kDeflateLevel = 6;

} // namespace

void MapScratch::CompressorFree::operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }

MapScratch::MapScratch() = default;
MapScratch::~MapScratch() = default;

MapScratch::Buffer::~Buffer()
{
    if (bytes != nullptr) LargeAllocator<unsigned char>().deallocate(bytes, size);
}

unsigned char* MapScratch::reserve(Buffer& buffer, std::size_t size)
{
    // Left uninitialised: every byte used is written first.
    if (buffer.size < size) {
        unsigned char* fresh = LargeAllocator<unsigned char>().allocate(size);
        if (buffer.bytes != nullptr) LargeAllocator<unsigned char>().deallocate(buffer.bytes, buffer.size);
        buffer.bytes = fresh;
        buffer.size = size;
    }
    return buffer.bytes;
}

void checkMapTarget(const std::string& file)
{
    const fs::path target(file);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        throw WriteFileError("Cannot write map " + file + ": the folder " + folder.string() + " does not exist");
    if (fs::is_directory(target, ec)) throw WriteFileError("Cannot write map " + file + ": a folder of that name exists");
    if (::access(folder.c_str(), W_OK) != 0)
        throw WriteFileError("Cannot write map " + file + ": the folder " + folder.string() + " is not writable (" +
                                 std::strerror(errno) + ")");
}

std::string mapFileHead(const MAP_Header& header, const FMR_Header& run, const std::string& description,
                        const SourceSpace* space)
{
    nifti_set_debug_level(0);
    const int dims[8] = {3, header.DimX, header.DimY, header.DimZ, 1, 1, 1, 1};
    nifti_image* image = nifti_make_new_nim(dims, NIFTI_TYPE_FLOAT32, 0);
    if (image == nullptr) throw std::bad_alloc();
    const float dx = positive(run.VoxelSizeX), dy = positive(run.VoxelSizeY), dz = positive(run.VoxelSizeZ);
    image->dx = image->pixdim[1] = dx;
    image->dy = image->pixdim[2] = dy;
    image->dz = image->pixdim[3] = dz;
    image->xyz_units = NIFTI_UNITS_MM;
    const mat44 affine = centredAffine(header.DimX, header.DimY, header.DimZ, dx, dy, dz);
    image->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    image->sform_code = NIFTI_XFORM_SCANNER_ANAT;
    image->qto_xyz = affine;
    image->sto_xyz = affine;
    nifti_mat44_to_quatern(affine, &image->quatern_b, &image->quatern_c, &image->quatern_d, &image->qoffset_x,
                           &image->qoffset_y, &image->qoffset_z, nullptr, nullptr, nullptr, &image->qfac);
    image->qto_ijk = nifti_mat44_inverse(affine);
    image->sto_ijk = nifti_mat44_inverse(affine);
    image->cal_min = header.Threshold1;
    image->cal_max = header.Threshold2;
    if (header.MapType == 4) {
        image->intent_code = NIFTI_INTENT_FTEST;
        image->intent_p1 = static_cast<float>(header.DF1);
        image->intent_p2 = static_cast<float>(header.DF2);
        std::strncpy(image->intent_name, "F", sizeof image->intent_name - 1);
    }
    std::strncpy(image->descrip, description.c_str(), sizeof image->descrip - 1);
    image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    nifti_set_iname_offset(image);
    nifti_1_header nhdr = nifti_convert_nim2nhdr(image);
    if (space != nullptr) {
        // The source NIfTI's spatial fields as it stored them: the same affine
        // to the last bit, with its codes and units, whatever nifti_clib would
        // derive from them.
        for (int k = 0; k < 4; ++k) nhdr.pixdim[k] = space->pixdim[std::size_t(k)];
        nhdr.xyzt_units = char((space->xyzUnits & 0x07) | (nhdr.xyzt_units & 0x38));
        nhdr.qform_code = short(space->qformCode);
        nhdr.sform_code = short(space->sformCode);
        nhdr.quatern_b = space->quatern[0], nhdr.quatern_c = space->quatern[1], nhdr.quatern_d = space->quatern[2];
        nhdr.qoffset_x = space->qoffset[0], nhdr.qoffset_y = space->qoffset[1], nhdr.qoffset_z = space->qoffset[2];
        for (int c = 0; c < 4; ++c) {
            nhdr.srow_x[c] = space->srow[0][std::size_t(c)];
            nhdr.srow_y[c] = space->srow[1][std::size_t(c)];
            nhdr.srow_z[c] = space->srow[2][std::size_t(c)];
        }
    }
    nifti_image_free(image);

    // The 348-byte header, the four bytes that say "no extensions" and
    // padding up to the voxel offset.
    std::string head(reinterpret_cast<const char*>(&nhdr), sizeof nhdr);
    head.resize(std::max<std::size_t>(static_cast<std::size_t>(nhdr.vox_offset), sizeof nhdr + 4), '\0');
    return head;
}

void writeMapBytes(const std::string& file, const std::string& head, const float* voxels, std::size_t count,
                   MapScratch& scratch)
{
    const std::size_t voxelBytes = count * sizeof(float), rawSize = head.size() + voxelBytes;
    unsigned char* raw = scratch.reserve(scratch.raw, rawSize);
    std::memcpy(raw, head.data(), head.size());
    if (voxelBytes > 0) std::memcpy(raw + head.size(), voxels, voxelBytes);
    if (!scratch.compressor) scratch.compressor.reset(libdeflate_alloc_compressor(kDeflateLevel));
    if (!scratch.compressor) throw WriteFileError("Cannot write map " + file + ": out of memory");
    const std::size_t bound = libdeflate_gzip_compress_bound(scratch.compressor.get(), rawSize);
    unsigned char* packed = scratch.reserve(scratch.packed, bound);
    const std::size_t size = libdeflate_gzip_compress(scratch.compressor.get(), raw, rawSize, packed, bound);
    if (size == 0) throw WriteFileError("Cannot write map " + file + ": compressing failed");
    // Saved like every other file of the system, so that a full disk or a
    // failed write is reported and the old map kept.
    PendingFile out(file, "Cannot write map " + file);
    out.write(packed, size);
    out.finish();
    out.commit();
}

void writeMapFile(const std::string& file, const MAP_Header& header, const float* voxels, const FMR_Header& run,
                  const std::string& description, const SourceSpace* space)
{
    checkMapTarget(file);
    const std::string head = mapFileHead(header, run, description, space);
    MapScratch scratch;
    writeMapBytes(file, head, voxels,
                  static_cast<std::size_t>(header.DimX) * static_cast<std::size_t>(header.DimY) *
                      static_cast<std::size_t>(header.DimZ),
                  scratch);
}

namespace {

// Deflate turns one compressed byte into at most 1032 bytes.
constexpr std::size_t kMaxDeflateRatio = 1032;

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// The maximum of a map of one gzip member, as this host writes them, read
// whole and inflated by libdeflate in one call (a study's group level reads
// one map per run, and nifti_clib inflates the head twice over). Nothing for
// any other file: nifti_clib then reads it, or says it cannot.
std::optional<double> gzipMapMaximum(const std::string& file)
{
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr) return std::nullopt;
    std::vector<unsigned char> packed;
    unsigned char chunk[1 << 16];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) packed.insert(packed.end(), chunk, chunk + got);
    std::fclose(in);
    if (packed.size() < 18 || packed[0] != 0x1f || packed[1] != 0x8b) return std::nullopt;
    const unsigned char* t = packed.data() + packed.size() - 4;
    const std::size_t length = std::size_t(t[0]) | std::size_t(t[1]) << 8 | std::size_t(t[2]) << 16 | std::size_t(t[3]) << 24;
    if (length < sizeof(nifti_1_header) || length > packed.size() * kMaxDeflateRatio) return std::nullopt;
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> inflater(libdeflate_alloc_decompressor());
    if (!inflater) return std::nullopt;
    std::vector<unsigned char> raw(length);
    std::size_t used = 0, made = 0;
    if (libdeflate_gzip_decompress_ex(inflater.get(), packed.data(), packed.size(), raw.data(), raw.size(), &used, &made) !=
            LIBDEFLATE_SUCCESS ||
        used != packed.size() || made != length)
        return std::nullopt;
    nifti_1_header header;
    std::memcpy(&header, raw.data(), sizeof header);
    const std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(nifti_convert_nhdr2nim(header, file.c_str()), nifti_image_free);
    if (!image || image->datatype != NIFTI_TYPE_FLOAT32 || image->iname_offset < int(sizeof header)) return std::nullopt;
    const std::size_t offset = std::size_t(image->iname_offset);
    if (offset > length || image->nvox > (length - offset) / sizeof(float)) return std::nullopt;
    const bool swap = image->byteorder != nifti_short_order();
    double max = 0.0;
    for (std::size_t i = 0; i < image->nvox; ++i) {
        unsigned char bytes[4];
        std::memcpy(bytes, raw.data() + offset + 4 * i, 4);
        if (swap) std::reverse(bytes, bytes + 4);
        float v;
        std::memcpy(&v, bytes, 4);
        if (std::isfinite(v)) max = std::max(max, double(v));
    }
    return max;
}

} // namespace

double mapFileMaximum(const std::string& file)
{
    // Set once: the group level reads maps on several threads.
    static std::once_flag quiet;
    std::call_once(quiet, [] { nifti_set_debug_level(0); });
    if (const auto max = gzipMapMaximum(file)) return *max;
    const std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(nifti_image_read(file.c_str(), 1), nifti_image_free);
    if (!image || image->data == nullptr || image->datatype != NIFTI_TYPE_FLOAT32)
        throw std::runtime_error("cannot read the map " + file);
    const float* v = static_cast<const float*>(image->data);
    double max = 0.0;
    for (std::size_t i = 0; i < image->nvox; ++i)
        if (std::isfinite(v[i])) max = std::max(max, double(v[i]));
    return max;
}

} // namespace host
