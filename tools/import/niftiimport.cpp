#include "niftiimport.h"

#include <nifti1_io.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <fstream>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "atomicfile.h"
#include "cli.h"
#include "motionconventions.h"
#include "options.h"
#include "rundocument.h"
#include "sourcespace.h"
#include "mySDM.h"
#include "niftiread.h"
#include "stringmanipulation.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

namespace fs = std::filesystem;

// The voxel-to-world matrix nifti_clib derived from the header: the sform
// when it is set, else the qform (which falls back on the voxel sizes alone).
const mat44& affine(const nifti_image& image) { return image.sform_code > 0 ? image.sto_xyz : image.qto_xyz; }

// Where each voxel axis points, in the usual letters ("LAS": i to the left,
// j to the front, k up), taking the nearest world axis.
std::string orientationLetters(const nifti_image& image)
{
    const mat44& m = affine(image);
    Mat3d d{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) d[r][c] = m.m[r][c];
    const AxisMatch match = nearestAxes(d);
    static const char* const toward[3][2] = {{"R", "L"}, {"A", "P"}, {"S", "I"}};
    std::string letters;
    for (int a = 0; a < 3; ++a) letters += toward[match.from[a]][match.sign[a] < 0 ? 1 : 0];
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

struct Geometry {
    int nx = 0, ny = 0, nz = 0, nt = 0;
    float voxel[3] = {0, 0, 0};
    int trMs = 0;
};

// The FMR document. The position block gives the slice centres and the row
// and column directions in scanner (DICOM: x to the left, y to the back)
// millimetres, from the NIfTI's affine, so the slices can be placed again.
void writeDocument(std::ostream& out, const Geometry& g, const std::string& name, const nifti_image& image, bool sixteenBit,
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
    d.floats = !sixteenBit;
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

// Whether the run's values are 16-bit integers as stored: each is then the
// same number as a 16-bit slice value as it is as a float.
bool sixteenBitValues(const nifti_image& image)
{
    const bool scaled = image.scl_slope != 0.0f && std::isfinite(image.scl_slope);
    if (scaled && !(image.scl_slope == 1.0f && (!std::isfinite(image.scl_inter) || image.scl_inter == 0.0f))) return false;
    return image.datatype == NIFTI_TYPE_INT16 || image.datatype == NIFTI_TYPE_INT8 || image.datatype == NIFTI_TYPE_UINT8;
}

// The slice data in file order (slice, volume, row, voxel), little-endian
// floats, or 16-bit integers when `sixteenBit`. A voxel that is not finite in
// some volume (NaN, infinite, or beyond a float after scaling) is 0 in every
// volume: its series says nothing, and at 0 it lies outside every intensity
// mask (the displacement task's too).
void writeSlices(std::ostream& out, const Geometry& g, const nifti_image& image, const std::vector<unsigned char>& nonFinite,
                 bool sixteenBit)
{
    const std::size_t plane = std::size_t(g.nx) * std::size_t(g.ny);
    const std::size_t size = sixteenBit ? 2 : 4;
    std::vector<float> values(plane);
    std::vector<unsigned char> bytes(plane * size);
    for (int z = 0; z < g.nz; ++z)
        for (int v = 0; v < g.nt; ++v) {
            const std::size_t first = (std::size_t(v) * std::size_t(g.nz) + std::size_t(z)) * plane;
            if (sixteenBit && image.datatype == NIFTI_TYPE_INT16) {
                // As stored, without a detour through floats (no voxel of an integer run is non-finite).
                const auto* stored = static_cast<const std::int16_t*>(image.data) + first;
                for (std::size_t i = 0; i < plane; ++i) {
                    const auto bits = std::uint16_t(stored[i]);
                    bytes[2 * i] = std::uint8_t(bits), bytes[2 * i + 1] = std::uint8_t(bits >> 8);
                }
                out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
                continue;
            }
            scaledNiftiValues(image, first, plane, values.data());
            for (std::size_t i = 0; i < plane; ++i) {
                const float value = nonFinite[std::size_t(z) * plane + i] ? 0.0f : values[i];
                std::uint32_t bits;
                if (sixteenBit) {
                    bits = std::uint16_t(std::int16_t(value));
                } else {
                    std::memcpy(&bits, &value, 4);
                }
                unsigned char* p = &bytes[size * i];
                p[0] = std::uint8_t(bits), p[1] = std::uint8_t(bits >> 8);
                if (!sixteenBit) p[2] = std::uint8_t(bits >> 16), p[3] = std::uint8_t(bits >> 24);
            }
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
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
            throw ImportError(request.bold + ": the header gives no repetition time (pixdim[4] is " + std::to_string(dt) +
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
    if (!(ms >= 1.0) || ms > 1.0e6) throw ImportError("the repetition time " + std::to_string(ms) + " ms is out of range (1 ms to 1000 s)");
    trMs = int(std::lround(ms));
}

std::string triple(const Vec3d& v, int decimals)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(decimals) << "(" << v[0] + 0.0 << ", " << v[1] + 0.0 << ", " << v[2] + 0.0 << ")";
    return out.str();
}

MotionGrid motionGrid(const nifti_image& image, const Geometry& g)
{
    MotionGrid grid;
    grid.dims = {g.nx, g.ny, g.nz};
    for (int a = 0; a < 3; ++a) grid.voxel[a] = g.voxel[a];
    const mat44& m = affine(image);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) grid.affine[r][c] = m.m[r][c];
    grid.affineCoded = image.sform_code > 0 || image.qform_code > 0;
    return grid;
}

// An input as the outputs name it.
std::string nameOf(const ImportRequest& request, const std::string& path)
{
    if (request.nameOf) return request.nameOf(path);
    std::error_code ec;
    return fs::absolute(path, ec).string();
}

// The reference volume of FSL's and fMRIPrep's motion, as intensities.
struct Reference {
    std::vector<float> volume;
    std::string what; // "volume 10 of the run (the middle one, mcflirt's default)"
};

// The reference made from the run's volumes as they pass, in order (a volume
// of the run or their mean), or read from its own image at the end.
class ReferenceOfRun {
public:
    ReferenceOfRun(const ImportRequest& request, const Geometry& g)
        : request_(&request), g_(&g), voxels_(std::size_t(g.nx) * std::size_t(g.ny) * std::size_t(g.nz)),
          volume_(request.referenceVolume.value_or(g.nt / 2))
    {
        const bool used = request.format == MotionFormat::FSL || request.format == MotionFormat::FMRIPrep;
        mean_ = used && request.referenceImage.empty() && request.referenceMean;
        one_ = used && request.referenceImage.empty() && !request.referenceMean && volume_ >= 0 && volume_ < g.nt;
        if (mean_) sum_.assign(voxels_, 0.0);
        if (one_) values_.resize(voxels_);
    }
    bool wants(int volume) const { return mean_ || (one_ && volume == volume_); }
    // Volume `volume`'s intensities (voxels of the grid).
    void add(int volume, const float* values)
    {
        if (mean_)
            for (std::size_t i = 0; i < voxels_; ++i) sum_[i] += values[i];
        else if (one_ && volume == volume_)
            std::copy(values, values + voxels_, values_.begin());
    }
    // Every wanted volume of a run read whole.
    void addVolumesOf(const nifti_image& run)
    {
        std::vector<float> values(voxels_);
        for (int v = 0; v < g_->nt; ++v)
            if (wants(v)) {
                scaledNiftiValues(run, std::size_t(v) * voxels_, voxels_, values.data());
                add(v, values.data());
            }
    }
    Reference finish(const nifti_image& run) const
    {
        Reference ref;
        ref.volume.resize(voxels_);
        if (!request_->referenceImage.empty()) {
            const std::string& path = request_->referenceImage;
            NiftiImage image;
            try {
                image = readNiftiHeader(path);
                const nifti_image& nim = *image;
                if (!realNiftiType(nim.datatype)) throw std::runtime_error(path + " holds " + nifti_datatype_string(nim.datatype) + " values");
                if (const std::string difference = gridDifference(niftiGrid(nim), {{g_->nx, g_->ny, g_->nz}, niftiAffine(run)}); !difference.empty())
                    throw std::runtime_error(path + " " + difference + ": the reference must lie on the run's grid");
                const int nt = nim.dim[0] >= 4 ? nim.nt : 1;
                if (nt != 1) throw std::runtime_error(path + " holds " + std::to_string(nt) + " volumes; a reference is one volume");
                loadNiftiData(*image, path);
            } catch (const std::runtime_error& e) {
                throw ImportError(std::string("--reference-image: ") + e.what());
            }
            scaledNiftiValues(*image, 0, voxels_, ref.volume.data());
            ref.what = nameOf(*request_, path) + " (--reference-image)";
        } else if (request_->referenceMean) {
            for (std::size_t i = 0; i < voxels_; ++i) ref.volume[i] = float(sum_[i] / g_->nt);
            ref.what = "the mean of the run's " + std::to_string(g_->nt) + " volumes (--reference mean)";
        } else {
            if (!one_)
                throw ImportError("--reference-volume " + std::to_string(volume_) + " is not a volume of the run (0 to " +
                                  std::to_string(g_->nt - 1) + ")");
            ref.volume = values_;
            ref.what = "volume " + std::to_string(volume_) + " of the run" +
                       (request_->referenceVolume ? " (--reference-volume)" : " (the middle one, mcflirt's default)");
        }
        for (float& value : ref.volume)
            if (!std::isfinite(value)) value = 0.0f;
        return ref;
    }

private:
    const ImportRequest* request_;
    const Geometry* g_;
    std::size_t voxels_;
    int volume_;
    bool mean_ = false, one_ = false;
    std::vector<double> sum_;
    std::vector<float> values_;
};

// The fMRIPrep release of the derivatives the table belongs to: the first
// dataset_description.json in the table's folder or above it, its GeneratedBy
// entry (or the older PipelineDescription).
struct Release {
    std::string version; // empty when none was found
    std::string source;  // where it was read
};

Release fmriprepRelease(const std::string& table, ImportResult& result)
{
    std::error_code ec;
    fs::path dir = fs::absolute(table, ec).parent_path();
    for (int depth = 0; depth < 8 && !dir.empty(); ++depth) {
        const fs::path description = dir / "dataset_description.json";
        if (fs::is_regular_file(description, ec)) {
            std::ifstream in(description);
            const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
            const auto isFMRIPrep = [](const nlohmann::json& entry) {
                if (!entry.is_object() || !entry.contains("Name") || !entry["Name"].is_string()) return false;
                std::string name = entry["Name"].get<std::string>();
                std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
                return name.find("fmriprep") != std::string::npos && entry.contains("Version") && entry["Version"].is_string();
            };
            if (json.is_discarded()) {
                result.warnings.push_back(description.string() + " is not valid JSON: the fMRIPrep release is unknown");
                return {};
            }
            if (json.contains("GeneratedBy") && json["GeneratedBy"].is_array())
                for (const auto& entry : json["GeneratedBy"])
                    if (isFMRIPrep(entry)) return {entry["Version"].get<std::string>(), description.string()};
            if (json.contains("PipelineDescription") && isFMRIPrep(json["PipelineDescription"]))
                return {json["PipelineDescription"]["Version"].get<std::string>(), description.string()};
            return {};
        }
        if (dir == dir.root_path()) break;
        dir = dir.parent_path();
    }
    return {};
}

// The conventions of the package, its reference and centre, and the rows.
MotionParameters convertMotion(const ImportRequest& request, const PackageRows& rows, const nifti_image& nim, const Geometry& g,
                               const ReferenceOfRun& referenceOfRun, ImportResult& result)
{
    const MotionGrid grid = motionGrid(nim, g);
    MotionConvention convention;
    convention.format = request.format;
    const bool fsl = request.format == MotionFormat::FSL;
    const bool fmriprep = request.format == MotionFormat::FMRIPrep;
    const Vec3d volumeCentre = {0.5 * (g.nx - 1), 0.5 * (g.ny - 1), 0.5 * (g.nz - 1)};
    const std::string source = nim.sform_code > 0 ? "sform" : nim.qform_code > 0 ? "qform" : "header without sform and qform";
    const std::string fslCoordinates =
        std::string("FSL coordinates (i*dx, j*dy, k*dz)") +
        (fslMirrorsX(grid) ? ", x mirrored as (nx-1-i)*dx since the affine's determinant is positive"
                           : grid.affineCoded ? ", x not mirrored (the affine's determinant is negative)"
                                              : ", x not mirrored (no sform or qform: taken as radiological)");
    if (fsl || fmriprep) {
        std::string release;
        if (fmriprep) {
            Release found;
            if (!request.fmriprepVersion.empty()) {
                found = {request.fmriprepVersion, "--fmriprep-version"};
            } else {
                found = fmriprepRelease(request.motion, result);
            }
            if (found.version.empty()) {
                result.warnings.push_back("no fMRIPrep release found (no dataset_description.json naming fMRIPrep in the "
                                          "table's folder or above it): the convention of release 25 and later is used; "
                                          "give --fmriprep-version to choose");
                convention.fmriprep = FMRIPrepConvention::MatrixAngles;
                release = "release unknown";
            } else {
                const auto c = fmriprepConventionOf(found.version);
                if (!c)
                    throw ImportError("the fMRIPrep release '" + found.version + "' (from " + found.source +
                                        ") is not a release number such as 23.2.1");
                convention.fmriprep = *c;
                release = "release " + found.version + " (from " + nameOf(request, found.source) + ")";
            }
            if (request.referenceImage.empty())
                result.notes.push_back("no --reference-image: the run's " +
                                       std::string(request.referenceMean ? "mean volume" : "reference volume") +
                                       " stands in for fMRIPrep's boldref");
        }
        const Reference reference = referenceOfRun.finish(nim);
        result.reference = reference.what;
        const bool matrix = fmriprep && convention.fmriprep == FMRIPrepConvention::MatrixAngles;
        const std::optional<Vec3d> centre = matrix ? centreOfMass(reference.volume, grid) : fslCentreOfGravity(reference.volume, grid);
        Vec3d index = volumeCentre;
        if (centre) {
            convention.centre = *centre;
            for (int a = 0; a < 3; ++a) index[a] = (*centre)[a] / grid.voxel[a];
            if (!matrix && fslMirrorsX(grid)) index[0] = (g.nx - 1) - index[0];
        } else {
            for (int a = 0; a < 3; ++a) convention.centre[a] = volumeCentre[a] * grid.voxel[a];
            result.warnings.push_back("the reference holds the same value in every voxel (or nothing): it has no centre of " +
                                      std::string(matrix ? "mass" : "gravity") + ", and the volume centre is used");
        }
        if (matrix) {
            result.convention = "fMRIPrep " + release + ", 25 and later: R' = Rx(rot_x) Ry(rot_y) Rz(rot_z) is the transpose of " +
                                "mcflirt's rotation R, b = trans + R' c - c, f' = R f + b in " + fslCoordinates;
            result.centre = "c = voxel sizes times the reference's centre of mass: " + triple(convention.centre, 3) +
                            " mm, voxel " + triple(index, 2);
        } else {
            result.convention = std::string(fmriprep ? "fMRIPrep " + release + ", up to 24: mcflirt's parameters, read as FSL's: "
                                                     : "FSL mcflirt: ") +
                                "f' = R (f - c) + c + t, R = Rx(-rx) Ry(-ry) Rz(-rz), t = (tx, ty, tz) in " + fslCoordinates;
            result.centre = "c = the reference's centre of gravity (intensity minus its minimum): " + triple(convention.centre, 3) +
                            " mm in FSL coordinates, voxel " + triple(index, 2);
        }
    } else if (request.format == MotionFormat::SPM) {
        const PackageFrame frame = packageFrame(MotionFormat::SPM, grid);
        if (frame.sheared)
            result.warnings.push_back("the " + source + "'s voxel axes are not perpendicular (shear): SPM's motion is carried "
                                      "with the rotation nearest to their directions and is approximate");
        result.convention = "SPM: w' = T(x, y, z) Rx(-pitch) Ry(roll) Rz(-yaw) w on world millimetres of the " + source;
        result.reference = "none needed (the transforms act on world coordinates)";
        result.centre = "the world origin; the volume centre, voxel " + triple(volumeCentre, 2) + ", lies at " + triple(frame.o, 3) +
                        " mm";
    } else {
        const PackageFrame frame = packageFrame(MotionFormat::AFNI, grid);
        static const char* const dicom[3] = {"L", "P", "S"};
        static const char* const voxelAxis[3] = {"i", "j", "k"};
        std::string axes;
        double oblique = 0.0;
        for (int c = 0; c < 3; ++c)
            for (int r = 0; r < 3; ++r)
                if (frame.L[r][c] != 0) {
                    axes += std::string(c ? ", " : "") + voxelAxis[c] + " = " + (frame.L[r][c] < 0 ? "-" : "") + dicom[r];
                    const double length = std::hypot(grid.affine[0][c], grid.affine[1][c], grid.affine[2][c]);
                    const double along = std::fabs(grid.affine[r][c]) / length;
                    oblique = std::max(oblique, std::acos(std::min(1.0, along)) * 180.0 / 3.14159265358979323846);
                }
        if (oblique > 0.5)
            result.notes.push_back("the voxel axes are oblique (up to " + fixed(oblique, 1) +
                                   " degrees): AFNI's motion refers to the grid without obliquity, each voxel axis along its "
                                   "nearest DICOM axis");
        result.convention = "AFNI 3dvolreg: R = Ry(yaw) Rx(pitch) Rz(roll), t = (dL, dP, dS) on DICOM axes x = L, y = P, z = S (" +
                            axes + ")";
        result.reference = "none needed (3dvolreg's base is the volume the parameters are zero for)";
        result.centre = "the volume centre, voxel " + triple(volumeCentre, 2);
    }
    return sdmRows(rows, convention, grid);
}

void writeSidecar(std::ostream& out, const ImportRequest& request, const ImportResult& result, const PackageRows& rows)
{
    nlohmann::ordered_json json;
    json["Description"] = "How tremora import read the motion of this 3DMC SDM. Each row is the package's transform of a "
                          "volume onto its reference in the frame of the displacement maps: the run's voxel axes scaled to "
                          "mm, origin at the volume centre; a row (T, A) moves p to Rz Ry Rx(A) p - T.";
    json["Sources"] = {nameOf(request, request.motion), nameOf(request, request.bold)};
    json["MotionFormat"] = motionFormatName(request.format);
    json["Convention"] = result.convention;
    json["Reference"] = result.reference;
    json["CentreOfRotation"] = result.centre;
    json["Warnings"] = result.warnings;
    // The package's own numbers: framewise displacement is computed from them.
    static const char* const columns[4][6] = {{"rx", "ry", "rz", "tx", "ty", "tz"},
                                              {"x", "y", "z", "pitch", "roll", "yaw"},
                                              {"roll", "pitch", "yaw", "dS", "dL", "dP"},
                                              {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"}};
    nlohmann::ordered_json own;
    own["Columns"] = std::vector<std::string>(columns[int(request.format)], columns[int(request.format)] + 6);
    own["Rows"] = rows;
    json["PackageParameters"] = own;
    out << json.dump(2) << "\n";
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

namespace {

// The stages of an import.

// The names of the outputs, checked first: nothing is read or created for a
// name that cannot be used. Returns the base name.
std::string outputNames(const ImportRequest& request, const fs::path& out, ImportResult& result)
{
    std::error_code ec;
    const std::string name = request.name.empty() ? niftiStem(request.bold) : request.name;
    if (!isPlainFileName(name))
        throw ImportError("--name must be a file name without folder separators or quotes, got '" + name + "'", true);
    result.fmr = (out / (name + ".fmr")).string();
    result.stc = (out / (name + ".stc")).string();
    result.sdm = (out / (name + "_3DMC.sdm")).string();
    result.sidecar = (out / (name + "_3DMC.json")).string();
    result.space = host::sourceSpacePath(result.fmr);
    for (const std::string* path : {&result.fmr, &result.stc, &result.sdm, &result.sidecar, &result.space}) {
        try {
            cli::checkPathLength("--out and --name", *path);
        } catch (const cli::UsageError& e) {
            throw ImportError(e.what(), true);
        }
        if (fs::is_directory(*path, ec)) throw ImportError(*path + " is a folder");
        if (fs::exists(*path, ec) && !request.force)
            throw ImportError(*path + " exists; give --force to replace it");
    }
    return name;
}

// The spatial header as stored (nifti_clib replaces a pixdim of 0 by 1, which
// would pass for a voxel size of 1 mm or a TR of 1 s: the header as stored
// says what is missing), for the maps of the run; its pixdim into stored.
host::SourceSpace storedSpace(const ImportRequest& request, float stored[5])
{
    int swapped = 0;
    nifti_1_header* raw = nifti_read_header(request.bold.c_str(), &swapped, 1);
    if (raw == nullptr) throw ImportError(request.bold + " cannot be read as a NIfTI-1 image (damaged, or another format)");
    std::memcpy(stored, raw->pixdim, 5 * sizeof(float));
    host::SourceSpace space;
    space.source = nameOf(request, request.bold);
    space.dims = {raw->dim[1], raw->dim[0] >= 2 ? raw->dim[2] : 1, raw->dim[0] >= 3 ? raw->dim[3] : 1};
    for (int k = 0; k < 4; ++k) space.pixdim[std::size_t(k)] = raw->pixdim[k];
    space.xyzUnits = raw->xyzt_units & 0x07;
    space.qformCode = raw->qform_code, space.sformCode = raw->sform_code;
    space.quatern = {raw->quatern_b, raw->quatern_c, raw->quatern_d};
    space.qoffset = {raw->qoffset_x, raw->qoffset_y, raw->qoffset_z};
    for (int c = 0; c < 4; ++c)
        space.srow[0][std::size_t(c)] = raw->srow_x[c], space.srow[1][std::size_t(c)] = raw->srow_y[c],
        space.srow[2][std::size_t(c)] = raw->srow_z[c];
    std::free(raw);

    return space;
}

// The run's grid, voxel size and repetition time, or why the image is no run.
Geometry runGeometry(const ImportRequest& request, const nifti_image& nim, const float stored[5], ImportResult& result)
{
    // A run is a 3D volume or a 4D series of them; dimensions past dim[0] count as 1.
    const int ndim = nim.dim[0];
    Geometry g;
    g.nx = nim.nx, g.ny = nim.ny, g.nz = ndim >= 3 ? nim.nz : 1, g.nt = ndim >= 4 ? nim.nt : 1;
    if (ndim < 2 || ndim > 7 || g.nx < 1 || g.ny < 1 || g.nz < 1 || g.nt < 1)
        throw ImportError(request.bold + " is no 3D or 4D image (dim[0] = " + std::to_string(ndim) + ")");
    if ((ndim >= 5 && nim.nu > 1) || (ndim >= 6 && nim.nv > 1) || (ndim >= 7 && nim.nw > 1))
        throw ImportError(request.bold + " has " + std::to_string(ndim) + " dimensions; a run has at most 4");
    if (!realNiftiType(nim.datatype))
        throw ImportError(request.bold + " holds " + nifti_datatype_string(nim.datatype) +
                            " values; import takes real-valued images (integers or floats)");
    if (std::int64_t(g.nx) * g.ny * g.nz > std::numeric_limits<std::int32_t>::max())
        throw ImportError(request.bold + ": one volume of " + std::to_string(g.nx) + " x " + std::to_string(g.ny) +
                            " x " + std::to_string(g.nz) + " voxels is more than a run's volume can hold");

    const double unit = lengthUnitToMm(nim.xyz_units);
    static const char* const axisName[3] = {"x", "y", "z"};
    for (int a = 0; a < 3; ++a) {
        const float size = a < ndim ? stored[a + 1] : 1.0f;
        g.voxel[a] = float(std::fabs(double(size)) * unit);
        if (!(g.voxel[a] > 0.0f) || !std::isfinite(g.voxel[a]))
            throw ImportError(request.bold + ": the voxel size along " + axisName[a] + " is " + std::to_string(size) +
                                "; a run needs positive voxel sizes");
    }
    repetitionTime(nim, ndim >= 4 ? stored[4] : 0.0, request, result, g.trMs);

    return g;
}

// The motion as the package wrote it, one row per volume.
PackageRows packageMotion(const ImportRequest& request, const Geometry& g)
{
    PackageRows packageRows;
    try {
        packageRows = readMotionFile(request.motion, request.format);
    } catch (const std::runtime_error& e) {
        throw ImportError(e.what());
    }
    if (packageRows.size() != std::size_t(g.nt))
        throw ImportError("the motion file " + request.motion + " has " + std::to_string(packageRows.size()) + " row" +
                            (packageRows.size() == 1 ? "" : "s") + " but the run " + request.bold + " has " + std::to_string(g.nt) +
                            " volume" + (g.nt == 1 ? "" : "s") + ": one row of motion parameters per volume is needed");

    return packageRows;
}

// All five files are written under hidden names first and moved into place
// only when every one of them is complete (the run document last).
// The name a file of the run is written under until all five are complete.
std::string stagedName(const fs::path& out, const std::string& name, const std::string& suffix)
{
    return (out / ("." + name + suffix + ".import-" + std::to_string(getpid()))).string();
}

void createOutputFolder(const fs::path& out)
{
    std::error_code ec;
    fs::create_directories(out, ec);
    if (!fs::is_directory(out, ec)) throw ImportError("--out: cannot create the folder " + out.string());
}

// The slice data of a 16-bit run written as the run is inflated, a volume at
// a time: each of its slices goes to its place in the file (slice, volume),
// and the reference takes the volumes it wants as they pass; the run is never
// held whole. False, with nothing left behind, when the run's file cannot be
// read so (another layout of file, or a damaged stream: it is then read whole
// and checked as any other). On true the slice data lie under their staged
// name.
bool streamSlices(const fs::path& out, const std::string& name, const Geometry& g, const nifti_image& nim,
                  ReferenceOfRun& reference, const ImportResult& result)
{
    static_assert(std::endian::native == std::endian::little, "the slice data are little-endian, as this machine's values");
    const std::size_t voxels = std::size_t(g.nx) * std::size_t(g.ny) * std::size_t(g.nz);
    const std::size_t plane = std::size_t(g.nx) * std::size_t(g.ny) * 2, volume = voxels * 2;
    createOutputFolder(out);
    PendingFile file(stagedName(out, name, ".stc"), "cannot write " + result.stc);
    // The file at its full size first: the slices are written into place.
    const auto size = off_t(volume) * off_t(g.nt);
    if (ftruncate(file.descriptor(), size) != 0) file.fail(errno);
    std::vector<float> values;
    int v = 0;
    const bool read = streamNiftiData(nim, volume, [&](const unsigned char* data, std::size_t) {
        for (int z = 0; z < g.nz; ++z) {
            const auto at = (off_t(z) * off_t(g.nt) + off_t(v)) * off_t(plane);
            for (std::size_t written = 0; written < plane;) {
                const ssize_t n = pwrite(file.descriptor(), data + std::size_t(z) * plane + written, plane - written, at + off_t(written));
                if (n < 0 && errno != EINTR) file.fail(errno);
                if (n > 0) written += std::size_t(n);
            }
        }
        if (reference.wants(v)) {
            values.resize(voxels);
            scaledNiftiBlock(nim, data, voxels, values.data());
            reference.add(v, values.data());
        }
        ++v;
    });
    if (!read) return false; // the pending file is removed
    file.finish(Flush::Scratch);
    file.commit();
    return true;
}

void writeOutputs(const ImportRequest& request, const fs::path& out, const std::string& name, const Geometry& g,
                  const nifti_image& nim, const NonFiniteScan& nonFinite, const MotionParameters& rows,
                  const PackageRows& packageRows, const host::SourceSpace& space, const ImportResult& result, bool slicesStaged)
{
    std::error_code ec;
    createOutputFolder(out);

    const bool sixteenBit = request.scratchSlices && sixteenBitValues(nim);
    struct Staged {
        std::string temporary, target;
    };
    std::vector<Staged> staged = {{stagedName(out, name, ".stc"), result.stc},
                                  {stagedName(out, name, "_3DMC.sdm"), result.sdm},
                                  {stagedName(out, name, "_3DMC.json"), result.sidecar},
                                  {stagedName(out, name, "_space.json"), result.space},
                                  {stagedName(out, name, ".fmr"), result.fmr}};
    const auto removeStaged = [&] {
        for (const auto& s : staged) fs::remove(s.temporary, ec);
    };
    try {
        if (!slicesStaged)
            saveTextAtomically(staged[0].temporary, [&](std::ostream& os) { writeSlices(os, g, nim, nonFinite.voxels, sixteenBit); },
                               "cannot write " + result.stc, request.scratchSlices ? Flush::Scratch : Flush::ToDisk);
        try {
            saveMotion(staged[1].temporary, rows);
        } catch (const std::exception&) {
            throw std::runtime_error("cannot write " + result.sdm);
        }
        saveTextAtomically(staged[2].temporary, [&](std::ostream& os) { writeSidecar(os, request, result, packageRows); },
                           "cannot write " + result.sidecar);
        try {
            host::writeSourceSpace(staged[3].temporary, space);
        } catch (const std::exception&) {
            throw std::runtime_error("cannot write " + result.space);
        }
        saveTextAtomically(staged[4].temporary,
                           [&](std::ostream& os) { writeDocument(os, g, name, nim, sixteenBit, fs::absolute(request.bold, ec).string()); },
                           "cannot write " + result.fmr);
        for (const auto& s : staged) {
            fs::rename(s.temporary, s.target, ec);
            if (ec) throw std::runtime_error("cannot move " + s.target + " into place: " + ec.message());
        }
    } catch (const std::exception& e) {
        removeStaged();
        throw ImportError(e.what());
    }

}

// What the result says of the run besides its files.
void describeRun(const ImportRequest& request, const Geometry& g, const nifti_image& nim, const NonFiniteScan& nonFinite,
                 ImportResult& result)
{
    result.dims[0] = g.nx, result.dims[1] = g.ny, result.dims[2] = g.nz;
    result.volumes = g.nt;
    for (int a = 0; a < 3; ++a) result.voxel[a] = g.voxel[a];
    result.trMs = g.trMs;
    result.dataType = nifti_datatype_string(nim.datatype);
    result.orientation = orientationLetters(nim);
    if (nonFinite.count > 0)
        result.warnings.push_back(std::to_string(nonFinite.count) + " voxel" + (nonFinite.count == 1 ? "" : "s") + " of " +
                                  request.bold + " held a value that is not finite (NaN or infinite; " +
                                  std::to_string(nonFinite.values) + " value" + (nonFinite.values == 1 ? "" : "s") +
                                  " in all): written as 0 in every volume, left out of DVARS and the carpet");
}

} // namespace

ImportResult importRun(const ImportRequest& request)
{
    ImportResult result;
    std::error_code ec;
    const fs::path out = request.outDir.empty() ? fs::path(".") : fs::path(request.outDir);
    const std::string name = outputNames(request, out, result);
    if (!fs::is_regular_file(request.bold, ec)) throw ImportError("no such file: " + request.bold);
    if (!fs::is_regular_file(request.motion, ec)) throw ImportError("no such file: " + request.motion);

    NiftiImage image;
    try {
        image = readNiftiHeader(request.bold);
    } catch (const std::runtime_error& e) {
        throw ImportError(e.what());
    }
    const nifti_image& nim = *image;

    float stored[5];
    host::SourceSpace space = storedSpace(request, stored);
    const Geometry g = runGeometry(request, nim, stored, result);
    const PackageRows packageRows = packageMotion(request, g);
    // A 16-bit run's slice data (scratch, in its own type) are written as
    // the run is inflated; any other run is read whole first. Either way the
    // data are checked whole, or nothing is written; a volume without a
    // finite value is refused.
    ReferenceOfRun reference(request, g);
    bool slicesStaged = false;
    if (request.scratchSlices && nim.datatype == NIFTI_TYPE_INT16 && sixteenBitValues(nim))
        slicesStaged = streamSlices(out, name, g, nim, reference, result);
    // The staged slice data go with the other files, or are removed if
    // anything fails before those are written.
    struct Unstage {
        std::string path;
        ~Unstage()
        {
            if (!path.empty()) std::remove(path.c_str());
        }
    } unstage{slicesStaged ? stagedName(out, name, ".stc") : ""};
    NonFiniteScan nonFinite;
    try {
        if (!slicesStaged) {
            loadNiftiData(*image, request.bold);
            reference = ReferenceOfRun(request, g);
            reference.addVolumesOf(nim);
        }
        nonFinite = scanNonFinite(nim, request.bold);
    } catch (const std::runtime_error& e) {
        throw ImportError(e.what());
    }
    space.nonFiniteVoxels = voxelRanges(nonFinite.voxels);
    MotionParameters rows;
    try {
        rows = convertMotion(request, packageRows, nim, g, reference, result);
    } catch (const ImportError&) {
        throw;
    } catch (const std::runtime_error& e) {
        throw ImportError(request.bold + ": " + e.what());
    }
    unstage.path.clear(); // from here on writeOutputs removes it on failure
    writeOutputs(request, out, name, g, nim, nonFinite, rows, packageRows, space, result, slicesStaged);
    describeRun(request, g, nim, nonFinite, result);
    return result;
}

} // namespace tool
