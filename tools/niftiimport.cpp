#include "niftiimport.h"

#include <nifti1_io.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <ostream>

#include "atomicfile.h"
#include "cli.h"
#include "rundocument.h"
#include "mySDM.h"

namespace tool {

namespace {

namespace fs = std::filesystem;

struct ImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using Image = std::unique_ptr<nifti_image, ImageDeleter>;

// The voxel-to-world matrix nifti_clib derived from the header: the sform
// when it is set, else the qform (which falls back on the voxel sizes alone).
const mat44& affine(const nifti_image& image) { return image.sform_code > 0 ? image.sto_xyz : image.qto_xyz; }

std::array<std::array<double, 3>, 3> directions(const nifti_image& image)
{
    const mat44& m = affine(image);
    std::array<std::array<double, 3>, 3> d{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) d[std::size_t(r)][std::size_t(c)] = m.m[r][c];
    return d;
}

// Where each voxel axis points, in the usual letters ("LAS": i to the left,
// j to the front, k up), taking the nearest world axis.
std::string orientationLetters(const nifti_image& image)
{
    const MotionAxisMap map = motionAxisMap(MotionFormat::SPM, directions(image));
    static const char* const toward[3][2] = {{"R", "L"}, {"A", "P"}, {"S", "I"}};
    std::string letters;
    for (int a = 0; a < 3; ++a) letters += toward[map.from[std::size_t(a)]][map.sign[std::size_t(a)] < 0 ? 1 : 0];
    return letters;
}

double lengthUnitToMm(int units)
{
    switch (units) {
    case NIFTI_UNITS_METER: return 1000.0;
    case NIFTI_UNITS_MICRON: return 0.001;
    default: return 1.0; // millimetres, or no unit given
    }
}

// The element types import converts: real numbers of any width.
bool realType(int datatype)
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

// Stored values to intensities: the header's scaling (when its slope is not
// 0), in double precision, then single precision as the slice data hold them.
template <typename T>
void scaleInto(const void* data, std::size_t first, std::size_t count, double slope, double inter, float* out)
{
    const T* in = static_cast<const T*>(data) + first;
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(slope * static_cast<double>(in[i]) + inter);
}

void scaledImage(const nifti_image& image, std::size_t first, std::size_t count, double slope, double inter, float* out)
{
    switch (image.datatype) {
    case NIFTI_TYPE_UINT8: scaleInto<std::uint8_t>(image.data, first, count, slope, inter, out); break;
    case NIFTI_TYPE_INT8: scaleInto<std::int8_t>(image.data, first, count, slope, inter, out); break;
    case NIFTI_TYPE_INT16: scaleInto<std::int16_t>(image.data, first, count, slope, inter, out); break;
    case NIFTI_TYPE_UINT16: scaleInto<std::uint16_t>(image.data, first, count, slope, inter, out); break;
    case NIFTI_TYPE_INT32: scaleInto<std::int32_t>(image.data, first, count, slope, inter, out); break;
    case NIFTI_TYPE_UINT32: scaleInto<std::uint32_t>(image.data, first, count, slope, inter, out); break;
    case NIFTI_TYPE_INT64: scaleInto<std::int64_t>(image.data, first, count, slope, inter, out); break;
    case NIFTI_TYPE_UINT64: scaleInto<std::uint64_t>(image.data, first, count, slope, inter, out); break;
    case NIFTI_TYPE_FLOAT32: scaleInto<float>(image.data, first, count, slope, inter, out); break;
    case NIFTI_TYPE_FLOAT64: scaleInto<double>(image.data, first, count, slope, inter, out); break;
    default: break;
    }
}

struct Geometry {
    int nx = 0, ny = 0, nz = 0, nt = 0;
    float voxel[3] = {0, 0, 0};
    int trMs = 0;
};

// The FMR document. The position block gives the slice centres and the row
// and column directions in scanner (DICOM: x to the left, y to the back)
// millimetres, from the NIfTI's affine, so the slices can be placed again.
void writeDocument(std::ostream& out, const Geometry& g, const std::string& name, const nifti_image& image,
                   const std::string& source)
{
    const mat44& m = affine(image);
    const auto world = [&](double i, double j, double k, int row) {
        const double v = m.m[row][0] * i + m.m[row][1] * j + m.m[row][2] * k + m.m[row][3];
        return float(row < 2 ? -v : v) + 0.0f; // RAS to LPS (and no "-0")
    };
    const auto direction = [&](int column, int row) {
        const double len = std::sqrt(m.m[0][column] * m.m[0][column] + m.m[1][column] * m.m[1][column] +
                                     m.m[2][column] * m.m[2][column]);
        const double v = len > 0 ? m.m[row][column] / len : (row == column ? 1.0 : 0.0);
        return float(row < 2 ? -v : v) + 0.0f;
    };
    const double ci = 0.5 * (g.nx - 1), cj = 0.5 * (g.ny - 1);
    RunDocument d;
    d.nx = g.nx, d.ny = g.ny, d.nz = g.nz, d.volumes = g.nt;
    d.floats = true;
    d.trMs = g.trMs;
    for (int a = 0; a < 3; ++a) {
        d.voxel[a] = g.voxel[a];
        d.slice1Center[a] = world(ci, cj, 0, a);
        d.sliceNCenter[a] = world(ci, cj, g.nz - 1, a);
        d.rowDir[a] = direction(0, a);
        d.colDir[a] = direction(1, a);
    }
    d.prefix = name;
    d.firstDataSource = source;
    writeRunDocument(out, d);
}

// The slice data in file order (slice, volume, row, voxel), little-endian
// floats. Values that are not finite become 0, as nifti_clib already makes
// stored NaNs: the displacement task's threshold and percentiles need numbers
// (what is left here are values that overflow a float, by type or scaling).
std::size_t writeSlices(std::ostream& out, const Geometry& g, const nifti_image& image, double slope, double inter)
{
    const std::size_t plane = std::size_t(g.nx) * std::size_t(g.ny);
    std::vector<float> values(plane);
    std::vector<unsigned char> bytes(plane * 4);
    std::size_t nonFinite = 0;
    for (int z = 0; z < g.nz; ++z)
        for (int v = 0; v < g.nt; ++v) {
            const std::size_t first = (std::size_t(v) * std::size_t(g.nz) + std::size_t(z)) * plane;
            scaledImage(image, first, plane, slope, inter, values.data());
            for (std::size_t i = 0; i < plane; ++i) {
                float value = values[i];
                if (!std::isfinite(value)) {
                    value = 0.0f;
                    ++nonFinite;
                }
                std::uint32_t bits;
                std::memcpy(&bits, &value, 4);
                unsigned char* p = &bytes[4 * i];
                p[0] = std::uint8_t(bits), p[1] = std::uint8_t(bits >> 8), p[2] = std::uint8_t(bits >> 16),
                p[3] = std::uint8_t(bits >> 24);
            }
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
    return nonFinite;
}

void saveMotion(const std::string& path, const MotionParameters& rows)
{
    static const char* const names[6] = {"Translation X [mm]", "Translation Y [mm]", "Translation Z [mm]",
                                         "Rotation X [deg]",   "Rotation Y [deg]",   "Rotation Z [deg]"};
    static const int colours[6][3] = {{255, 0, 0}, {0, 200, 0}, {0, 0, 255}, {255, 200, 0}, {200, 0, 200}, {0, 200, 200}};
    SDM sdm;
    sdm.NrOfDataPoints = int(rows.size());
    sdm.FirstConfoundPredictor = 1;
    for (std::size_t k = 0; k < 6; ++k) {
        std::vector<float> values(rows.size());
        for (std::size_t v = 0; v < rows.size(); ++v) values[v] = float(rows[v][k]);
        sdm.AddPredictor(values, names[k], colours[k][0], colours[k][1], colours[k][2]);
    }
    sdm.SaveAs(path);
}

void repetitionTime(const nifti_image& image, double dt, const ImportRequest& request, ImportResult& result, int& trMs)
{
    double ms = 0.0;
    if (request.trMs) {
        ms = *request.trMs;
    } else {
        if (!(dt > 0.0) || !std::isfinite(dt))
            throw cli::RunError(request.bold + ": the header gives no repetition time (pixdim[4] is " + std::to_string(dt) +
                                "); give it with --tr MS");
        switch (image.time_units) {
        case NIFTI_UNITS_SEC: ms = dt * 1000.0; break;
        case NIFTI_UNITS_MSEC: ms = dt; break;
        case NIFTI_UNITS_USEC: ms = dt / 1000.0; break;
        default:
            // No unit: no functional run repeats faster than every 100 ms,
            // so a smaller number is seconds.
            ms = dt < 100.0 ? dt * 1000.0 : dt;
            result.notes.push_back("the header names no time unit: a repetition time of " + std::to_string(dt) +
                                   " taken as " + std::to_string(std::lround(ms)) + " ms (give --tr MS to set it)");
        }
    }
    if (!(ms >= 1.0) || ms > 1.0e6) throw cli::RunError("the repetition time " + std::to_string(ms) + " ms is out of range (1 ms to 1000 s)");
    trMs = int(std::lround(ms));
}

} // namespace

std::string niftiStem(const std::string& path)
{
    std::string name = fs::path(path).filename().string();
    for (const char* ext : {".nii.gz", ".nii", ".hdr.gz", ".hdr", ".img.gz", ".img"}) {
        const std::string e = ext;
        if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) {
            name.resize(name.size() - e.size());
            break;
        }
    }
    return name;
}

ImportResult importRun(const ImportRequest& request)
{
    ImportResult result;
    std::error_code ec;
    // The names of the outputs first: nothing is read or created for a name
    // that cannot be used.
    const std::string name = request.name.empty() ? niftiStem(request.bold) : request.name;
    if (name.empty() || name.find_first_of("/\\\"\n\r") != std::string::npos || name[0] == '.')
        throw cli::UsageError("--name must be a file name without folder separators or quotes, got '" + name + "'");
    const fs::path out = request.outDir.empty() ? fs::path(".") : fs::path(request.outDir);
    result.fmr = (out / (name + ".fmr")).string();
    result.stc = (out / (name + ".stc")).string();
    result.sdm = (out / (name + "_3DMC.sdm")).string();
    for (const std::string* path : {&result.fmr, &result.stc, &result.sdm}) {
        cli::checkPathLength("--out and --name", *path);
        if (fs::is_directory(*path, ec)) throw cli::RunError(*path + " is a folder");
        if (fs::exists(*path, ec) && !request.force)
            throw cli::RunError(*path + " exists; give --force to replace it");
    }
    if (!fs::is_regular_file(request.bold, ec)) throw cli::RunError("no such file: " + request.bold);
    if (!fs::is_regular_file(request.motion, ec)) throw cli::RunError("no such file: " + request.motion);

    nifti_set_debug_level(0);
    Image image(nifti_image_read(request.bold.c_str(), 0));
    if (!image) throw cli::RunError(request.bold + " cannot be read as a NIfTI-1 image (damaged, or another format)");
    const nifti_image& nim = *image;

    // nifti_clib replaces a pixdim of 0 by 1, which would pass for a voxel
    // size of 1 mm or a TR of 1 s: the header as stored says what is missing.
    int swapped = 0;
    nifti_1_header* raw = nifti_read_header(request.bold.c_str(), &swapped, 1);
    if (raw == nullptr) throw cli::RunError(request.bold + " cannot be read as a NIfTI-1 image (damaged, or another format)");
    float stored[5];
    std::memcpy(stored, raw->pixdim, sizeof stored);
    std::free(raw);

    // A run is a 3D volume or a 4D series of them; dimensions past dim[0] count as 1.
    const int ndim = nim.dim[0];
    Geometry g;
    g.nx = nim.nx, g.ny = nim.ny, g.nz = ndim >= 3 ? nim.nz : 1, g.nt = ndim >= 4 ? nim.nt : 1;
    if (ndim < 2 || ndim > 7 || g.nx < 1 || g.ny < 1 || g.nz < 1 || g.nt < 1)
        throw cli::RunError(request.bold + " is no 3D or 4D image (dim[0] = " + std::to_string(ndim) + ")");
    if ((ndim >= 5 && nim.nu > 1) || (ndim >= 6 && nim.nv > 1) || (ndim >= 7 && nim.nw > 1))
        throw cli::RunError(request.bold + " has " + std::to_string(ndim) + " dimensions; a run has at most 4");
    if (!realType(nim.datatype))
        throw cli::RunError(request.bold + " holds " + nifti_datatype_string(nim.datatype) +
                            " values; import takes real-valued images (integers or floats)");
    if (std::int64_t(g.nx) * g.ny * g.nz > std::numeric_limits<std::int32_t>::max())
        throw cli::RunError(request.bold + ": one volume of " + std::to_string(g.nx) + " x " + std::to_string(g.ny) +
                            " x " + std::to_string(g.nz) + " voxels is more than a run's volume can hold");

    const double unit = lengthUnitToMm(nim.xyz_units);
    static const char* const axisName[3] = {"x", "y", "z"};
    for (int a = 0; a < 3; ++a) {
        const float size = a < ndim ? stored[a + 1] : 1.0f;
        g.voxel[a] = float(std::fabs(double(size)) * unit);
        if (!(g.voxel[a] > 0.0f) || !std::isfinite(g.voxel[a]))
            throw cli::RunError(request.bold + ": the voxel size along " + axisName[a] + " is " + std::to_string(size) +
                                "; a run needs positive voxel sizes");
    }
    repetitionTime(nim, ndim >= 4 ? stored[4] : 0.0, request, result, g.trMs);

    // The motion, on the image's voxel axes, one row per volume.
    MotionParameters rows;
    try {
        rows = readMotionFile(request.motion, request.format);
    } catch (const std::runtime_error& e) {
        throw cli::RunError(e.what());
    }
    if (rows.size() != std::size_t(g.nt))
        throw cli::RunError("the motion file " + request.motion + " has " + std::to_string(rows.size()) + " row" +
                            (rows.size() == 1 ? "" : "s") + " but the run " + request.bold + " has " + std::to_string(g.nt) +
                            " volume" + (g.nt == 1 ? "" : "s") + ": one row of motion parameters per volume is needed");
    const MotionAxisMap axes = motionAxisMap(request.format, directions(nim));
    rows = mapMotionAxes(rows, axes);

    if (nifti_image_load(image.get()) != 0 || nim.data == nullptr)
        throw cli::RunError(request.bold + ": the image data cannot be read (the file is shorter than its header says, "
                                           "or damaged)");
    fs::create_directories(out, ec);
    if (!fs::is_directory(out, ec)) throw cli::RunError("--out: cannot create the folder " + out.string());
    const double slope = (nim.scl_slope != 0.0f && std::isfinite(nim.scl_slope)) ? nim.scl_slope : 1.0;
    const double inter = (nim.scl_slope != 0.0f && std::isfinite(nim.scl_slope) && std::isfinite(nim.scl_inter)) ? nim.scl_inter : 0.0;

    // All three files are written under hidden names first and moved into
    // place only when every one of them is complete.
    const std::string tag = ".import-" + std::to_string(getpid());
    struct Staged {
        std::string temporary, target;
    };
    std::vector<Staged> staged = {{(out / ("." + name + ".stc" + tag)).string(), result.stc},
                                  {(out / ("." + name + "_3DMC.sdm" + tag)).string(), result.sdm},
                                  {(out / ("." + name + ".fmr" + tag)).string(), result.fmr}};
    const auto removeStaged = [&] {
        for (const auto& s : staged) fs::remove(s.temporary, ec);
    };
    std::size_t nonFinite = 0;
    try {
        saveTextAtomically(staged[0].temporary, [&](std::ostream& os) { nonFinite = writeSlices(os, g, nim, slope, inter); },
                           SaveErrorKind::RuntimeError, "cannot write " + result.stc);
        try {
            saveMotion(staged[1].temporary, rows);
        } catch (const std::exception&) {
            throw std::runtime_error("cannot write " + result.sdm);
        }
        saveTextAtomically(staged[2].temporary,
                           [&](std::ostream& os) { writeDocument(os, g, name, nim, fs::absolute(request.bold, ec).string()); },
                           SaveErrorKind::RuntimeError, "cannot write " + result.fmr);
        for (const auto& s : staged) {
            fs::rename(s.temporary, s.target, ec);
            if (ec) throw std::runtime_error("cannot move " + s.target + " into place: " + ec.message());
        }
    } catch (const std::exception& e) {
        removeStaged();
        throw cli::RunError(e.what());
    }

    result.dims[0] = g.nx, result.dims[1] = g.ny, result.dims[2] = g.nz;
    result.volumes = g.nt;
    for (int a = 0; a < 3; ++a) result.voxel[a] = g.voxel[a];
    result.trMs = g.trMs;
    result.dataType = nifti_datatype_string(nim.datatype);
    result.orientation = orientationLetters(nim);
    result.axes = describeMotionAxisMap(request.format, axes);
    if (nonFinite > 0)
        result.notes.push_back(std::to_string(nonFinite) + " voxel value" + (nonFinite == 1 ? " was" : "s were") +
                               " not finite (NaN or infinite) and " + (nonFinite == 1 ? "was" : "were") + " written as 0");
    return result;
}

} // namespace tool
