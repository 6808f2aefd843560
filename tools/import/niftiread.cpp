#include "niftiread.h"

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <limits>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "myFMR.h"
#include "sourcespace.h"

namespace tool {

namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& what)
{
    throw std::runtime_error(path + ": " + what);
}

std::string dimensionsText(const nifti_image& image)
{
    std::string text;
    for (int d = 1; d <= std::max(1, std::min(image.dim[0], 7)); ++d)
        text += (d > 1 ? " x " : "") + std::to_string(image.dim[d]);
    return text + " voxels of " + nifti_datatype_string(image.datatype);
}

struct GzFile {
    gzFile file;
    ~GzFile()
    {
        if (file != nullptr) gzclose_r(file);
    }
};

// Reads up to `size` bytes (in pieces that gzread's int can count); returns
// how many were read, or -1 on a read error or a damaged stream.
long long readAll(gzFile file, unsigned char* into, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const unsigned piece = unsigned(std::min<std::size_t>(size - done, std::size_t(1) << 30));
        const int got = gzread(file, into + done, piece);
        if (got < 0) return -1;
        done += std::size_t(got);
        if (unsigned(got) < piece) break;
    }
    return (long long)done;
}

// What zlib says went wrong, as the user should read it.
std::string streamError(gzFile file, bool compressed)
{
    int code = Z_OK;
    // zlib's message starts with the file's path: the caller names it.
    const char* full = gzerror(file, &code);
    const char* colon = full != nullptr ? std::strrchr(full, ':') : nullptr;
    const char* message = colon != nullptr && colon[1] == ' ' ? colon + 2 : full;
    if (code == Z_BUF_ERROR) return "the gzip stream is cut short (the file ends inside it)";
    if (code == Z_DATA_ERROR) return std::string("the gzip stream is damaged (") + (message ? message : "invalid data") + ")";
    if (code == Z_ERRNO) return std::string("cannot be read: ") + std::strerror(errno);
    if (code != Z_OK) return std::string(compressed ? "the gzip stream cannot be read (" : "cannot be read (") + (message ? message : "") + ")";
    return "";
}

// Deflate turns one compressed byte into at most 1032 bytes.
constexpr std::size_t kMaxDeflateRatio = 1032;

// A gzip file of one member whose data ISA-L's inflater reads (it takes
// about half zlib's time): open at its start when its trailer's length (modulo
// 2^32) is `offset` + `needed` and the file could inflate to that many bytes,
// else null (no gzip, several members, a forged header), and the zlib path
// reads the file and says what is wrong with it. Nothing is allocated before
// the file's size and trailer agree with the header, so a forged header
// costs no memory.
struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

File openSingleMember(const char* file, std::size_t offset, std::size_t needed)
{
    File in(std::fopen(file, "rb"));
    if (!in) return nullptr;
    unsigned char magic[2], trailer[4];
    const bool gzip = std::fread(magic, 1, 2, in.get()) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
    if (!gzip || std::fseek(in.get(), -4, SEEK_END) != 0 || std::fread(trailer, 1, 4, in.get()) != 4) return nullptr;
    const std::uint32_t length = std::uint32_t(trailer[0]) | std::uint32_t(trailer[1]) << 8 | std::uint32_t(trailer[2]) << 16 |
                                 std::uint32_t(trailer[3]) << 24;
    const long compressedSize = std::ftell(in.get());
    if (length != std::uint32_t(offset + needed) || compressedSize <= 0 || needed > std::size_t(compressedSize) * kMaxDeflateRatio ||
        std::fseek(in.get(), 0, SEEK_SET) != 0)
        return nullptr;
    return in;
}

// Inflates the open member: `offset` bytes skipped, then `needed` bytes into
// the windows `window(done)` gives (done: the bytes inflated so far; an empty
// window stops), `inflated(done)` told after each step. True when exactly
// `needed` bytes came, the stream's CRC and length agree and nothing follows
// the member (zlib would read a further one).
template <class Window, class Inflated>
bool inflateMember(std::FILE* in, std::size_t offset, std::size_t needed, Window&& window, Inflated&& inflated)
{
    inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_GZIP;
    std::vector<unsigned char> input(std::size_t(1) << 20), skip(std::min<std::size_t>(std::max<std::size_t>(offset, 1), 1 << 20));
    std::size_t skipped = 0, done = 0;
    unsigned char beyond; // the data are all out: only the stream's end may follow, no byte more
    while (state.block_state != ISAL_BLOCK_FINISH) {
        if (state.avail_in == 0) {
            const std::size_t got = std::fread(input.data(), 1, input.size(), in);
            if (got == 0) return false; // cut short
            state.next_in = input.data();
            state.avail_in = std::uint32_t(got);
        }
        if (skipped < offset) {
            state.next_out = skip.data();
            state.avail_out = std::uint32_t(std::min(skip.size(), offset - skipped));
        } else if (done < needed) {
            const auto [into, size] = window(done);
            if (size == 0) return false;
            state.next_out = into;
            state.avail_out = std::uint32_t(std::min({size, needed - done, std::size_t(1) << 30}));
        } else {
            state.next_out = &beyond;
            state.avail_out = 1;
        }
        unsigned char* const start = state.next_out;
        if (isal_inflate(&state) != ISAL_DECOMP_OK) return false;
        const auto made = std::size_t(state.next_out - start);
        if (skipped < offset) {
            skipped += made;
        } else if (start == &beyond) {
            if (made > 0) return false; // more data than the trailer says
        } else {
            done += made;
            inflated(done);
        }
    }
    unsigned char extra;
    return skipped == offset && done == needed && state.avail_in == 0 && std::fread(&extra, 1, 1, in) == 0;
}

// The data of a gzip file of one member, `offset` bytes skipped, then
// `needed` bytes into a buffer of malloc's that the caller frees; null when
// the file is no such member or its stream is damaged.
unsigned char* inflateSingleMember(const char* file, std::size_t offset, std::size_t needed)
{
    const File in = openSingleMember(file, offset, needed);
    if (!in) return nullptr;
    auto* data = static_cast<unsigned char*>(std::malloc(needed));
    const bool ok = data != nullptr && inflateMember(
                                           in.get(), offset, needed,
                                           [&](std::size_t done) { return std::pair(data + done, needed - done); },
                                           [](std::size_t) {});
    if (ok) return data;
    std::free(data);
    return nullptr;
}

template <typename T, typename Out>
void convert(const void* data, std::size_t first, std::size_t count, Out* out, double slope, double inter, bool scale)
{
    const T* in = static_cast<const T*>(data) + first;
    for (std::size_t i = 0; i < count; ++i)
        out[i] = scale ? Out(slope * double(in[i]) + inter) : Out(double(in[i]));
}

template <typename Out>
void values(const nifti_image& image, const void* data, std::size_t first, std::size_t count, Out* out, double slope, double inter,
            bool scale)
{
    switch (image.datatype) {
    case NIFTI_TYPE_UINT8: convert<std::uint8_t>(data, first, count, out, slope, inter, scale); break;
    case NIFTI_TYPE_INT8: convert<std::int8_t>(data, first, count, out, slope, inter, scale); break;
    case NIFTI_TYPE_INT16: convert<std::int16_t>(data, first, count, out, slope, inter, scale); break;
    case NIFTI_TYPE_UINT16: convert<std::uint16_t>(data, first, count, out, slope, inter, scale); break;
    case NIFTI_TYPE_INT32: convert<std::int32_t>(data, first, count, out, slope, inter, scale); break;
    case NIFTI_TYPE_UINT32: convert<std::uint32_t>(data, first, count, out, slope, inter, scale); break;
    case NIFTI_TYPE_INT64: convert<std::int64_t>(data, first, count, out, slope, inter, scale); break;
    case NIFTI_TYPE_UINT64: convert<std::uint64_t>(data, first, count, out, slope, inter, scale); break;
    case NIFTI_TYPE_FLOAT32: convert<float>(data, first, count, out, slope, inter, scale); break;
    case NIFTI_TYPE_FLOAT64: convert<double>(data, first, count, out, slope, inter, scale); break;
    default: std::fill(out, out + count, Out(0)); break;
    }
}

std::string affineText(const Affine& a)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(4) << "[";
    for (int r = 0; r < 3; ++r) {
        out << (r ? "; " : "");
        for (int c = 0; c < 4; ++c) out << (c ? " " : "") << a[std::size_t(r)][std::size_t(c)] + 0.0;
    }
    return out.str() + "]";
}

Affine fromMat44(const mat44& m)
{
    Affine a{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) a[std::size_t(r)][std::size_t(c)] = m.m[r][c];
    return a;
}

} // namespace

NiftiImage readNiftiHeader(const std::string& path)
{
    nifti_set_debug_level(0);
    NiftiImage image(nifti_image_read(path.c_str(), 0));
    if (image) return image;
    // A small gzip stream is inflated whole on the first read, so a damage
    // anywhere in it fails the header: say what zlib found, when it found it.
    std::string problem;
    if (GzFile in{gzopen(path.c_str(), "rb")}; in.file != nullptr) {
        unsigned char buffer[4096];
        long long got = readAll(in.file, buffer, sizeof buffer);
        if (!gzdirect(in.file)) {
            while (got > 0) got = readAll(in.file, buffer, sizeof buffer);
            problem = streamError(in.file, true);
        }
    }
    refuse(path, !problem.empty() ? problem : "cannot be read as a NIfTI-1 image (damaged, cut short within its header, or another format)");
}

void loadNiftiData(nifti_image& image, const std::string& path)
{
    if (image.data != nullptr) return;
    if (image.nbyper <= 0 || image.iname == nullptr) refuse(path, "holds " + dimensionsText(image) + ", a type without data");
    const std::size_t needed = image.nvox * std::size_t(image.nbyper);
    if (image.nvox != 0 && needed / image.nvox != std::size_t(image.nbyper)) refuse(path, "the header's dimensions are too large");
    if (needed > 0) {
        if (auto* data = inflateSingleMember(image.iname, std::size_t(std::max(0, image.iname_offset)), needed)) {
            if (image.swapsize > 1 && image.byteorder != nifti_short_order())
                nifti_swap_Nbytes(needed / std::size_t(image.swapsize), image.swapsize, data);
            image.data = data;
            return;
        }
    }
    GzFile in{gzopen(image.iname, "rb")};
    if (in.file == nullptr) refuse(path, std::string("cannot be opened: ") + std::strerror(errno));
    gzbuffer(in.file, 1 << 17);
    const bool compressed = [&] {
        unsigned char first = 0;
        const int got = gzread(in.file, &first, 1);
        const bool direct = gzdirect(in.file) != 0;
        gzrewind(in.file);
        return got >= 0 && !direct;
    }();

    // Up to the data: vox_offset bytes (or the .img's own offset).
    const std::size_t offset = std::size_t(std::max(0, image.iname_offset));
    std::vector<unsigned char> skip(std::min<std::size_t>(offset, std::size_t(1) << 20));
    std::size_t skipped = 0;
    while (skipped < offset) {
        const long long got = readAll(in.file, skip.data(), std::min(skip.size(), offset - skipped));
        if (got < 0) refuse(path, streamError(in.file, compressed));
        skipped += std::size_t(got);
        if (got == 0) break;
    }
    if (skipped < offset) {
        const std::string error = streamError(in.file, compressed);
        refuse(path, !error.empty() ? error
                                    : "the header's vox_offset (" + std::to_string(offset) + ") lies beyond the end of the " +
                                          (compressed ? "uncompressed data" : "file") + " (" + std::to_string(skipped) + " bytes)");
    }

    // The data, grown as they arrive: a header that promises more than the
    // file holds costs no more memory than the file.
    unsigned char* data = nullptr;
    std::size_t have = 0;
    const auto release = [&] { std::free(data); };
    while (have < needed) {
        const std::size_t size = std::min(needed, std::max<std::size_t>(have * 2, std::size_t(1) << 20));
        auto* grown = static_cast<unsigned char*>(std::realloc(data, size));
        if (grown == nullptr) {
            release();
            refuse(path, "its data (" + std::to_string(needed) + " bytes) do not fit in memory");
        }
        data = grown;
        const long long got = readAll(in.file, data + have, size - have);
        if (got < 0) {
            release();
            refuse(path, streamError(in.file, compressed));
        }
        have += std::size_t(got);
        if (have < size) break;
    }
    if (have < needed) {
        release();
        const std::string error = streamError(in.file, compressed);
        refuse(path, (!error.empty() ? error + ": " : "") + "the data are shorter than the header says (" + std::to_string(have) +
                         " of " + std::to_string(needed) + " bytes after vox_offset " + std::to_string(offset) + ", for " +
                         dimensionsText(image) + ")");
    }
    // A gzip stream is read to its end: its trailer's CRC and length vouch
    // for the bytes already read.
    if (compressed) {
        unsigned char rest[4096];
        long long got = 0;
        while ((got = readAll(in.file, rest, sizeof rest)) > 0) {
        }
        const std::string error = streamError(in.file, compressed);
        if (got < 0 || !error.empty()) {
            release();
            refuse(path, error.empty() ? "the gzip stream cannot be read to its end" : error);
        }
    }
    if (image.swapsize > 1 && image.byteorder != nifti_short_order())
        nifti_swap_Nbytes(needed / std::size_t(image.swapsize), image.swapsize, data);
    image.data = data;
}

bool streamNiftiData(const nifti_image& image, std::size_t block, const std::function<void(const unsigned char*, std::size_t)>& take)
{
    if (image.nbyper <= 0 || image.iname == nullptr || image.nvox == 0 || block == 0 || block % std::size_t(image.nbyper) != 0)
        return false;
    const std::size_t needed = image.nvox * std::size_t(image.nbyper);
    if (needed / image.nvox != std::size_t(image.nbyper)) return false;
    const std::size_t offset = std::size_t(std::max(0, image.iname_offset));
    const File in = openSingleMember(image.iname, offset, needed);
    if (!in) return false;
    // A ring of a few blocks that the inflater fills ahead of the reader:
    // `made` bytes inflated, `taken` of them used (both counted from the
    // data's start); the inflater writes only where the reader is done.
    const std::size_t ringSize = 4 * block;
    std::unique_ptr<unsigned char[]> ring(new unsigned char[ringSize]);
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t made = 0, taken = 0;
    bool finished = false, complete = false, stop = false;
    std::thread inflater([&] {
        const bool ok = inflateMember(
            in.get(), offset, needed,
            [&](std::size_t done) -> std::pair<unsigned char*, std::size_t> {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || ringSize - (done - taken) >= std::min(block, needed - done); });
                if (stop) return {nullptr, 0};
                const std::size_t at = done % ringSize;
                return {ring.get() + at, std::min(ringSize - at, ringSize - (done - taken))};
            },
            [&](std::size_t done) {
                {
                    const std::lock_guard lock(mutex);
                    made = done;
                }
                changed.notify_all();
            });
        {
            const std::lock_guard lock(mutex);
            finished = true, complete = ok;
        }
        changed.notify_all();
    });
    const bool swap = image.swapsize > 1 && image.byteorder != nifti_short_order();
    std::exception_ptr failed;
    try {
        for (std::size_t first = 0; first < needed; first += block) {
            const std::size_t size = std::min(block, needed - first);
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return made >= first + size || finished; });
                if (made < first + size) break; // the stream ended short of it
            }
            unsigned char* data = ring.get() + first % ringSize;
            if (swap) nifti_swap_Nbytes(size / std::size_t(image.swapsize), image.swapsize, data);
            take(data, size);
            {
                const std::lock_guard lock(mutex);
                taken = first + size;
            }
            changed.notify_all();
        }
    } catch (...) {
        failed = std::current_exception();
    }
    {
        const std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    inflater.join();
    if (failed) std::rethrow_exception(failed);
    return complete;
}

NiftiImage readNifti(const std::string& path)
{
    NiftiImage image = readNiftiHeader(path);
    loadNiftiData(*image, path);
    return image;
}

bool realNiftiType(int datatype)
{
    switch (datatype) {
    case NIFTI_TYPE_UINT8: case NIFTI_TYPE_INT8: case NIFTI_TYPE_INT16: case NIFTI_TYPE_UINT16:
    case NIFTI_TYPE_INT32: case NIFTI_TYPE_UINT32: case NIFTI_TYPE_INT64: case NIFTI_TYPE_UINT64:
    case NIFTI_TYPE_FLOAT32: case NIFTI_TYPE_FLOAT64:
        return true;
    default:
        return false;
    }
}

namespace {

// `count` values of the image's type at `data` from element `first` on, scaled.
void scaledValues(const nifti_image& image, const void* data, std::size_t first, std::size_t count, float* out)
{
    // A slope of 0 (or one that is not finite) means no scaling.
    const bool scaled = image.scl_slope != 0.0f && std::isfinite(image.scl_slope);
    const double slope = scaled ? image.scl_slope : 1.0, inter = scaled && std::isfinite(image.scl_inter) ? image.scl_inter : 0.0;
    values(image, data, first, count, out, slope, inter, true);
}

} // namespace

void scaledNiftiValues(const nifti_image& image, std::size_t first, std::size_t count, float* out)
{
    scaledValues(image, image.data, first, count, out);
}

void scaledNiftiBlock(const nifti_image& image, const void* data, std::size_t count, float* out)
{
    scaledValues(image, data, 0, count, out);
}

void storedNiftiValues(const nifti_image& image, std::size_t first, std::size_t count, double* out)
{
    values(image, image.data, first, count, out, 1.0, 0.0, false);
}

Affine niftiAffine(const nifti_image& image)
{
    return fromMat44(image.sform_code > 0 ? image.sto_xyz : image.qto_xyz);
}

Grid niftiGrid(const nifti_image& image)
{
    return {{image.nx, image.dim[0] >= 2 ? image.ny : 1, image.dim[0] >= 3 ? image.nz : 1}, niftiAffine(image)};
}

Grid runGrid(const std::string& fmrPath)
{
    const FMR run(fmrPath, false);
    Grid grid{{run.ResolutionX.value(), run.ResolutionY.value(), run.NrOfSlices.value()}, std::nullopt};
    const auto space = host::readSourceSpace(host::sourceSpacePath(fmrPath));
    if (!space) return grid;
    // The affine as nifti_clib derives it from the stored fields.
    if (space->sformCode > 0) {
        Affine a{};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c) a[std::size_t(r)][std::size_t(c)] = space->srow[std::size_t(r)][std::size_t(c)];
        grid.affine = a;
    } else if (space->qformCode > 0) {
        grid.affine = fromMat44(nifti_quatern_to_mat44(space->quatern[0], space->quatern[1], space->quatern[2], space->qoffset[0],
                                                       space->qoffset[1], space->qoffset[2], space->pixdim[1], space->pixdim[2],
                                                       space->pixdim[3], space->pixdim[0] < 0 ? -1.0f : 1.0f));
    } else {
        Affine a{};
        for (int k = 0; k < 3; ++k) a[std::size_t(k)][std::size_t(k)] = std::fabs(space->pixdim[std::size_t(k) + 1]);
        grid.affine = a;
    }
    return grid;
}

std::string gridDifference(const Grid& image, const Grid& run)
{
    const auto dims = [](const std::array<int, 3>& d) {
        return std::to_string(d[0]) + " x " + std::to_string(d[1]) + " x " + std::to_string(d[2]);
    };
    if (image.dims != run.dims) return "has " + dims(image.dims) + " voxels, the run " + dims(run.dims);
    if (!image.affine || !run.affine) return "";
    const Affine &a = *image.affine, &b = *run.affine;
    bool same = true;
    for (int r = 0; r < 3; ++r) same = same && std::fabs(a[std::size_t(r)][3] - b[std::size_t(r)][3]) <= kGridTranslationToleranceMm;
    for (std::size_t c = 0; c < 3; ++c) {
        const double la = std::hypot(a[0][c], a[1][c], a[2][c]), lb = std::hypot(b[0][c], b[1][c], b[2][c]);
        same = same && std::fabs(la - lb) <= kGridTranslationToleranceMm && la > 0 && lb > 0;
        for (std::size_t r = 0; same && r < 3; ++r) same = std::fabs(a[r][c] / la - b[r][c] / lb) <= kGridDirectionTolerance;
    }
    if (same) return "";
    return "lies elsewhere than the run (voxel to world, sform else qform, rows x y z: its " + affineText(a) + ", the run's " +
           affineText(b) + ")";
}

std::vector<double> imageOnRunGrid(const std::string& path, const Grid& run, const std::string& what)
{
    NiftiImage image = readNiftiHeader(path);
    const nifti_image& nim = *image;
    if (!realNiftiType(nim.datatype))
        refuse(path, std::string("holds ") + nifti_datatype_string(nim.datatype) + " values; " + what + " is of integers or real numbers");
    if (const std::string difference = gridDifference(niftiGrid(nim), run); !difference.empty())
        refuse(path, difference + ": it is not on the run's grid");
    const Grid grid = niftiGrid(nim);
    const std::size_t voxels = std::size_t(grid.dims[0]) * std::size_t(grid.dims[1]) * std::size_t(grid.dims[2]);
    if (voxels > 0 && nim.nvox / voxels != 1)
        refuse(path, "holds " + std::to_string(nim.nvox / voxels) + " volumes; " + what + " is one volume");
    loadNiftiData(*image, path);
    std::vector<double> stored(nim.nvox);
    storedNiftiValues(nim, 0, stored.size(), stored.data());
    return stored;
}

namespace {

// Whether every value of the image is finite once scaled, by its type alone:
// integers, of at most 1.9e19 in magnitude, scaled within a float's range.
bool finiteByType(const nifti_image& image)
{
    switch (image.datatype) {
    case NIFTI_TYPE_UINT8: case NIFTI_TYPE_INT8: case NIFTI_TYPE_INT16: case NIFTI_TYPE_UINT16:
    case NIFTI_TYPE_INT32: case NIFTI_TYPE_UINT32: case NIFTI_TYPE_INT64: case NIFTI_TYPE_UINT64: break;
    default: return false;
    }
    const bool scaled = image.scl_slope != 0.0f && std::isfinite(image.scl_slope);
    if (!scaled) return true;
    const double inter = std::isfinite(image.scl_inter) ? std::fabs(double(image.scl_inter)) : 0.0;
    return std::fabs(double(image.scl_slope)) * 1.9e19 + inter < 3.0e38;
}

} // namespace

NonFiniteScan scanNonFinite(const nifti_image& image, const std::string& path)
{
    const std::size_t plane = std::size_t(image.nx) * std::size_t(image.dim[0] >= 2 ? image.ny : 1) *
                              std::size_t(image.dim[0] >= 3 ? image.nz : 1);
    const std::size_t volumes = plane == 0 || finiteByType(image) ? 0 : image.nvox / plane;
    NonFiniteScan scan;
    scan.voxels.assign(plane, 0);
    std::vector<float> volume(plane);
    for (std::size_t v = 0; v < volumes; ++v) {
        scaledNiftiValues(image, v * plane, plane, volume.data());
        std::size_t here = 0;
        for (std::size_t i = 0; i < plane; ++i)
            if (!std::isfinite(volume[i])) {
                ++here;
                if (!scan.voxels[i]) scan.voxels[i] = 1, ++scan.count;
            }
        if (here == plane && plane > 0)
            refuse(path, "volume " + std::to_string(v) + " (counting from 0) holds no finite value (NaN or infinite in every voxel)");
        scan.values += here;
    }
    return scan;
}

VoxelRanges voxelRanges(const std::vector<unsigned char>& flags)
{
    VoxelRanges ranges;
    for (std::size_t i = 0; i < flags.size(); ++i) {
        if (!flags[i]) continue;
        if (!ranges.empty() && ranges.back()[0] + ranges.back()[1] == (long long)i)
            ++ranges.back()[1];
        else
            ranges.push_back({(long long)i, 1});
    }
    return ranges;
}

VoxelRanges nonFiniteVoxelsOfRun(const std::string& fmrPath)
{
    const auto space = host::readSourceSpace(host::sourceSpacePath(fmrPath));
    return space ? space->nonFiniteVoxels : VoxelRanges{};
}

std::size_t leaveOutNonFinite(std::vector<unsigned char>& mask, const std::string& fmrPath)
{
    std::size_t cleared = 0;
    for (const auto& [first, count] : nonFiniteVoxelsOfRun(fmrPath))
        for (long long i = std::max(0LL, first); i < first + count && i < (long long)mask.size(); ++i)
            if (mask[std::size_t(i)]) mask[std::size_t(i)] = 0, ++cleared;
    return cleared;
}

} // namespace tool
