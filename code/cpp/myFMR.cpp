#include "myFMR.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <variant>

#include "atomicfile.h"
#include "ioerror.h"
#include "stringmanipulation.h"

namespace {

// One header key: the member it fills, the line feeds written after it, and
// whether it lives inside the position-information block.
using AnyLine = std::variant<Line<int>*, Line<float>*, Line<bool>*, Line<std::string>*>;
struct Field {
    const char* key;
    AnyLine line;
    int newlines;
    bool inBlock;
};

const char* const BlockTitle = "PositionInformationFromImageHeaders";

// Elements are moved between file and memory in blocks of at most this many
// bytes: large enough that a slice image is one read, small enough that a
// whole slice of a long run does not need a second copy in memory.
constexpr std::size_t BlockBytes = std::size_t(8) << 20;

float decodeFloat(const unsigned char* p)
{
    const std::uint32_t bits = std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
                               (std::uint32_t(p[3]) << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float decodeInt16(const unsigned char* p)
{
    return float(std::int16_t(std::uint16_t(p[0] | (p[1] << 8))));
}

void encodeFloat(float value, unsigned char* p)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    p[0] = std::uint8_t(bits);
    p[1] = std::uint8_t(bits >> 8);
    p[2] = std::uint8_t(bits >> 16);
    p[3] = std::uint8_t(bits >> 24);
}

// 16-bit storage keeps the low 16 bits of the value truncated toward zero.
// Beyond the 32-bit range the low bits of the exact integer are kept (what the
// truncation would give with a wider integer); NaN and infinities store 0.
void encodeInt16(float value, unsigned char* p)
{
    std::uint16_t bits = 0;
    if (value >= -2147483648.0f && value < 2147483648.0f) {
        bits = std::uint16_t(std::uint32_t(std::int32_t(value)));
    } else if (std::isfinite(value)) {
        double low = std::fmod(std::trunc(double(value)), 65536.0);
        if (low < 0) low += 65536.0;
        bits = std::uint16_t(low);
    }
    p[0] = std::uint8_t(bits);
    p[1] = std::uint8_t(bits >> 8);
}

// The slice data in file order: slice, volume, row, voxel.
void writeSTC(const FMR& fmr, PendingFile& out)
{
    const std::int64_t nx = fmr.ResolutionX.value(), ny = fmr.ResolutionY.value(), nz = fmr.NrOfSlices.value();
    const std::int64_t image = nx * ny;
    const std::size_t elementSize = fmr.floatData() ? 4 : 2;
    if (image <= 0 || nz <= 0 || fmr.Volumes.empty()) return;
    // Encoded into a block buffer and written a block at a time.
    const std::int64_t blockElements = std::int64_t(BlockBytes / elementSize);
    std::vector<unsigned char> buffer(std::size_t(blockElements) * elementSize);
    unsigned char* p = buffer.data();
    std::int64_t inBuffer = 0;
    for (std::int64_t z = 0; z < nz; ++z)
        for (const Volume<float>& volume : fmr.Volumes) {
            const float* source = volume.data() + z * image;
            for (std::int64_t done = 0; done < image;) {
                const std::int64_t n = std::min(image - done, blockElements - inBuffer);
                if (elementSize == 4)
                    for (std::int64_t k = 0; k < n; ++k, p += 4) encodeFloat(source[done + k], p);
                else
                    for (std::int64_t k = 0; k < n; ++k, p += 2) encodeInt16(source[done + k], p);
                done += n;
                inBuffer += n;
                if (inBuffer == blockElements) {
                    out.write(buffer.data(), std::size_t(p - buffer.data()));
                    p = buffer.data();
                    inBuffer = 0;
                }
            }
        }
    if (inBuffer > 0) out.write(buffer.data(), std::size_t(p - buffer.data()));
}

} // namespace

FMR::FMR(const std::string& path, bool loadSTC) : FileName(path)
{
    FileVersion.updateValue(-1);
    std::ifstream in(path);
    if (!in) throw OpenFileError("Failed opening for reading: " + path);
    readDocument(in);
    if (loadSTC) LoadSTC();
}

FMR::~FMR() = default;

namespace {

// The key lines of a document in their written order.
std::vector<Field> fieldsOf(FMR& f)
{
    return {
        {"FileVersion:", &f.FileVersion, 1, false},
        {"NrOfVolumes:", &f.NrOfVolumes, 1, false},
        {"NrOfSlices:", &f.NrOfSlices, 1, false},
        {"NrOfSkippedVolumes:", &f.NrOfSkippedVolumes, 1, false},
        {"Prefix:", &f.Prefix, 1, false},
        {"DataStorageFormat:", &f.DataStorageFormat, 1, false},
        {"DataType:", &f.DataType, 1, false},
        {"TR:", &f.TR, 1, false},
        {"InterSliceTime:", &f.InterSliceTime, 1, false},
        {"TimeResolutionVerified:", &f.TimeResolutionVerified, 1, false},
        {"TE:", &f.TE, 1, false},
        {"SliceAcquisitionOrder:", &f.SliceAcquisitionOrder, 1, false},
        {"SliceAcquisitionOrderVerified:", &f.SliceAcquisitionOrderVerified, 1, false},
        {"ResolutionX:", &f.ResolutionX, 1, false},
        {"ResolutionY:", &f.ResolutionY, 1, false},
        {"LoadAMRFile:", &f.LoadAMRFile, 1, false},
        {"ShowAMRFile:", &f.ShowAMRFile, 1, false},
        {"ImageIndex:", &f.ImageIndex, 1, false},
        {"LayoutNColumns:", &f.LayoutNColumns, 1, false},
        {"LayoutNRows:", &f.LayoutNRows, 1, false},
        {"LayoutZoomLevel:", &f.LayoutZoomLevel, 1, false},
        {"SegmentSize:", &f.SegmentSize, 1, false},
        {"SegmentOffset:", &f.SegmentOffset, 1, false},
        {"NrOfLinkedProtocols:", &f.NrOfLinkedProtocols, 1, false},
        {"ProtocolFile:", &f.ProtocolFile, 1, false},
        {"InplaneResolutionX:", &f.InplaneResolutionX, 1, false},
        {"InplaneResolutionY:", &f.InplaneResolutionY, 1, false},
        {"SliceThickness:", &f.SliceThickness, 1, false},
        {"SliceGap:", &f.SliceGap, 1, false},
        {"VoxelResolutionVerified:", &f.VoxelResolutionVerified, 2, false},
        {"PosInfosVerified:", &f.PosInfosVerified, 1, true},
        {"CoordinateSystem:", &f.CoordinateSystem, 1, true},
        {"Slice1CenterX:", &f.Slice1CenterX, 1, true},
        {"Slice1CenterY:", &f.Slice1CenterY, 1, true},
        {"Slice1CenterZ:", &f.Slice1CenterZ, 1, true},
        {"SliceNCenterX:", &f.SliceNCenterX, 1, true},
        {"SliceNCenterY:", &f.SliceNCenterY, 1, true},
        {"SliceNCenterZ:", &f.SliceNCenterZ, 1, true},
        {"RowDirX:", &f.RowDirX, 1, true},
        {"RowDirY:", &f.RowDirY, 1, true},
        {"RowDirZ:", &f.RowDirZ, 1, true},
        {"ColDirX:", &f.ColDirX, 1, true},
        {"ColDirY:", &f.ColDirY, 1, true},
        {"ColDirZ:", &f.ColDirZ, 1, true},
        {"NRows:", &f.NRows, 1, true},
        {"NCols:", &f.NCols, 1, true},
        {"FoVRows:", &f.FoVRows, 1, true},
        {"FoVCols:", &f.FoVCols, 1, true},
        {"SliceThickness:", &f.PosInfoSliceThickness, 1, true},
        {"GapThickness:", &f.GapThickness, 3, true},
        {"NrOfPastSpatialTransformations:", &f.NrOfPastSpatialTransformations, 3, false},
        {"LeftRightConvention:", &f.LeftRightConvention, 3, false},
        {"FirstDataSourceFile:", &f.FirstDataSourceFile, 2, false},
        {"MultibandSequence:", &f.MultibandSequence, 2, false},
        {"SliceTimingTableSize:", &f.SliceTimingTableSize, 1, false},
    };
}

} // namespace

void FMR::readDocument(std::istream& in)
{
    const std::vector<Field> fields = fieldsOf(*this);
    bool inBlock = false;
    std::string token;
    while (in >> token) {
        if (!inBlock && token == BlockTitle) {
            inBlock = true;
            continue;
        }
        const Field* match = nullptr;
        for (const Field& field : fields)
            if (field.inBlock == inBlock && token == field.key) {
                match = &field;
                break;
            }
        if (match == nullptr) continue;
        std::visit([&](auto* line) { line->readLine(in, token); }, match->line);
        if (match->line == AnyLine(&GapThickness)) inBlock = false;
        if (match->line == AnyLine(&SliceTimingTableSize) && in) {
            // The entries follow the size line; the list grows only with what
            // the file really holds, whatever size it claims. A later table
            // replaces an earlier one.
            SliceTimingTable.clear();
            for (int i = 0; i < SliceTimingTableSize.value(); ++i) {
                float entry;
                if (!(in >> entry)) break;
                SliceTimingTable.push_back(entry);
            }
        }
    }
}

void FMR::PrintTo(std::ostream& os)
{
    os << '\n';
    for (const Field& field : fieldsOf(*this)) {
        if (field.line == AnyLine(&PosInfosVerified) && PosInfosVerified.isSet())
            os << '\n' << BlockTitle << "\n\n";
        std::visit([&](auto* line) { printDocumentLine(*line, os, field.newlines); }, field.line);
    }
    if (SliceTimingTableSize.isSet() && SliceTimingTableSize.value() > 0)
        for (float entry : SliceTimingTable) os << entry << '\n';
}

std::string FMR::STCFileName() const
{
    return getPath(FileName) + Prefix.value() + ".stc";
}

bool FMR::floatData() const
{
    return DataType.isSet() && DataType.value() == 2;
}

void FMR::LoadSTC()
{
    loadVolumes(0, NrOfVolumes.value(), false);
}

void FMR::LoadSTC(int firstVolume, int count)
{
    loadVolumes(firstVolume, count, true);
}

void FMR::LoadSTCVolume(int volume)
{
    loadVolumes(volume, 1, true);
}

void FMR::UnloadSTC()
{
    std::vector<Volume<float>>().swap(Volumes);
    partialSTC_ = false;
    partialSource_.clear();
}

// A corrupt or hostile header must not make us allocate without bound:
// every extent non-negative, one volume within the containers' signed 32-bit
// element count, and `volumes` volumes within MaxLoadedVoxels and MaxLoadedVolumes.
void FMR::checkExtents(std::int64_t volumes) const
{
    const std::int64_t nx = ResolutionX.value(), ny = ResolutionY.value(), nz = NrOfSlices.value();
    const std::int64_t nv = NrOfVolumes.value();
    if (nx < 0 || ny < 0 || nz < 0 || nv < 0)
        throw IOError("Invalid run dimensions in " + FileName + ": ResolutionX " + std::to_string(nx) +
                      ", ResolutionY " + std::to_string(ny) + ", NrOfSlices " + std::to_string(nz) +
                      ", NrOfVolumes " + std::to_string(nv) + " (none may be negative)");
    const std::int64_t perVolume = nx * ny * nz; // each factor < 2^31: no 64-bit overflow
    if (perVolume > std::numeric_limits<std::int32_t>::max())
        throw IOError("Invalid run dimensions in " + FileName + ": " + std::to_string(nx) + " x " +
                      std::to_string(ny) + " x " + std::to_string(nz) + " voxels per volume exceed " +
                      std::to_string(std::numeric_limits<std::int32_t>::max()));
    if (perVolume * volumes > MaxLoadedVoxels)
        throw IOError("Invalid run dimensions in " + FileName + ": " + std::to_string(volumes) + " volumes of " +
                      std::to_string(perVolume) + " voxels exceed the limit of " + std::to_string(MaxLoadedVoxels) +
                      " voxels of slice data");
    if (volumes > MaxLoadedVolumes)
        throw IOError("Invalid run dimensions in " + FileName + ": " + std::to_string(volumes) +
                      " volumes exceed the limit of " + std::to_string(MaxLoadedVolumes) + " volumes of slice data");
}

void FMR::loadVolumes(int firstVolume, int count, bool partial)
{
    const std::string stcPath = STCFileName();
    const std::int64_t nx = ResolutionX.value(), ny = ResolutionY.value(), nz = NrOfSlices.value();
    const std::int64_t nv = NrOfVolumes.value();
    checkExtents(count);
    if (firstVolume < 0 || count < 0 || std::int64_t(firstVolume) + count > nv)
        throw std::out_of_range("Volumes " + std::to_string(firstVolume) + " to " +
                                std::to_string(std::int64_t(firstVolume) + count - 1) + " requested from a run of " +
                                std::to_string(nv) + " volumes (" + FileName + ")");
    std::ifstream in(stcPath, std::ios::binary);
    if (!in) throw OpenFileError("Failed opening STC for reading: " + stcPath);
    in.seekg(0, std::ios::end);
    const std::streamoff streamEnd = in.tellg();
    const std::int64_t fileSize = streamEnd < 0 ? 0 : std::int64_t(streamEnd);

    const std::size_t elementSize = floatData() ? 4 : 2;
    const std::int64_t image = nx * ny; // one slice of one volume
    // Loaded volumes of the run's size are filled again in place (a pass over
    // the run in blocks then allocates once); they are cleared first only
    // when the file is too short to fill them.
    const bool complete = ((nz - 1) * nv + firstVolume + count) * image * std::int64_t(elementSize) <= fileSize;
    const glm::tvec3<int> dims{int(nx), int(ny), int(nz)};
    std::vector<Volume<float>> reused;
    reused.swap(Volumes);
    UnloadSTC();
    if (reused.size() > std::size_t(count)) reused.resize(std::size_t(count));
    Volumes.reserve(std::size_t(count));
    for (auto& volume : reused)
        if (volume.dimensions() == dims) {
            if (!complete) volume.setAll(0.0f);
            Volumes.push_back(std::move(volume));
        }
    while (Volumes.size() < std::size_t(count)) Volumes.emplace_back(int(nx), int(ny), int(nz), 0.0f);
    partialSTC_ = partial;
    if (partial) partialSource_ = stcPath;

    if (image == 0 || count == 0) return;
    const std::int64_t range = count * image; // elements wanted from each slice block
    const std::int64_t blockElements = std::min<std::int64_t>(range, std::int64_t(BlockBytes / elementSize));
    std::vector<unsigned char> buffer(std::size_t(blockElements) * elementSize);

    // File order: slice, volume, row, voxel. The wanted volumes of one slice are
    // contiguous in the file, so each slice costs one seek and a few block reads.
    for (std::int64_t z = 0; z < nz; ++z) {
        const std::int64_t start = (z * nv + firstVolume) * image; // first wanted element of this slice
        for (std::int64_t done = 0; done < range; done += blockElements) {
            const std::int64_t offset = (start + done) * std::int64_t(elementSize);
            if (offset >= fileSize) return; // the rest of the file is missing: those voxels stay 0
            const std::int64_t wanted = std::min(blockElements, range - done) * std::int64_t(elementSize);
            const std::int64_t available = std::min(wanted, fileSize - offset);
            in.clear();
            in.seekg(offset);
            in.read(reinterpret_cast<char*>(buffer.data()), std::streamsize(available));
            const std::int64_t got = in.gcount();
            const unsigned char* p = buffer.data();
            // Element done + k of the range is voxel (done + k) % image of volume (done + k) / image.
            std::int64_t left = got / std::int64_t(elementSize);
            std::int64_t volume = done / image, inImage = done % image;
            while (left > 0) {
                float* target = Volumes[std::size_t(volume)].data() + z * image + inImage;
                const std::int64_t n = std::min(image - inImage, left);
                if (elementSize == 4)
                    for (std::int64_t k = 0; k < n; ++k, p += 4) target[k] = decodeFloat(p);
                else
                    for (std::int64_t k = 0; k < n; ++k, p += 2) target[k] = decodeInt16(p);
                left -= n;
                inImage += n;
                if (inImage == image) ++volume, inImage = 0;
            }
            if (got < wanted) return;
        }
    }
}

void FMR::ForEachStoredSlice(int firstSlice, int endSlice, const std::function<void(int, const std::int16_t*)>& visit) const
{
    if (floatData()) throw std::logic_error("ForEachStoredSlice: the slice data of " + FileName + " are 32-bit floats");
    const std::int64_t nv = NrOfVolumes.value();
    checkExtents(nv);
    const std::int64_t nz = NrOfSlices.value(), image = std::int64_t(ResolutionX.value()) * ResolutionY.value();
    firstSlice = int(std::max<std::int64_t>(0, firstSlice));
    endSlice = int(std::min<std::int64_t>(nz, endSlice));
    if (firstSlice >= endSlice) return;
    const std::string stcPath = STCFileName();
    std::ifstream in(stcPath, std::ios::binary);
    if (!in) throw OpenFileError("Failed opening STC for reading: " + stcPath);
    in.seekg(0, std::ios::end);
    const std::int64_t fileSize = std::max<std::int64_t>(0, std::int64_t(in.tellg()));
    // One slice of every volume: within MaxLoadedVoxels, as the whole run is.
    std::vector<std::int16_t> slice(std::size_t(image * nv));
    const std::int64_t bytes = std::int64_t(slice.size()) * 2;
    for (int z = firstSlice; z < endSlice; ++z) {
        const std::int64_t offset = std::int64_t(z) * bytes;
        const std::int64_t available = std::clamp<std::int64_t>(fileSize - offset, 0, bytes);
        std::int64_t got = 0;
        if (available > 0) {
            in.clear();
            in.seekg(offset);
            in.read(reinterpret_cast<char*>(slice.data()), std::streamsize(available));
            got = in.gcount();
        }
        // Stored little-endian.
        if constexpr (std::endian::native == std::endian::big)
            for (std::int64_t k = 0; k < got / 2; ++k)
                slice[std::size_t(k)] = std::int16_t(std::uint16_t(std::uint16_t(slice[std::size_t(k)]) >> 8 |
                                                                   std::uint16_t(slice[std::size_t(k)]) << 8));
        std::fill(slice.begin() + std::ptrdiff_t(got / 2), slice.end(), std::int16_t(0));
        visit(z, slice.data());
    }
}

void FMR::Save()
{
    const std::string stcPath = STCFileName();
    if (partialSTC_ && stcPath == partialSource_)
        throw IOError("Only " + std::to_string(Volumes.size()) + " of the " + std::to_string(NrOfVolumes.value()) +
                      " volumes of " + stcPath + " are loaded; saving them there would lose the others");
    if (!Volumes.empty()) {
        NrOfVolumes.updateValue(int(Volumes.size()));
        // Every volume must have the run's extents, or the file order breaks.
        const int nx = ResolutionX.value(), ny = ResolutionY.value(), nz = NrOfSlices.value();
        for (const Volume<float>& volume : Volumes)
            if (volume.nx() != nx || volume.ny() != ny || volume.nz() != nz)
                throw WriteFileError("Failed opening STC for writing: " + stcPath + " (a volume of " +
                                     std::to_string(volume.nx()) + " x " + std::to_string(volume.ny()) + " x " +
                                     std::to_string(volume.nz()) + " voxels in a run of " + std::to_string(nx) +
                                     " x " + std::to_string(ny) + " x " + std::to_string(nz) + ")");
    }

    std::ostringstream text;
    PrintTo(text);
    const std::string documentText = text.str();
    // Both files are first written completely beside their targets and only
    // then renamed into place, so a failure at any point leaves the old
    // document and slice data as they were. Errors name the target.
    PendingFile document(FileName, "Cannot Create file: " + FileName);
    document.write(documentText.data(), documentText.size());
    document.finish();
    if (Volumes.empty()) {
        document.commit();
        return;
    }
    PendingFile slices(stcPath, "Failed opening STC for writing: " + stcPath);
    writeSTC(*this, slices);
    slices.finish();
    // Both are complete: the slice data first, so that a document is never
    // renamed into place before the data it describes.
    slices.commit();
    document.commit();
}

void FMR::SaveAs(const std::string& path)
{
    if (Volumes.empty()) LoadSTC();
    FileName = path;
    Prefix.updateValue(removeExtension(getFileName(path)));
    Save();
}

void FMR::ForEachVolumeBlock(const std::function<void(const std::vector<Volume<float>>&, int)>& visit)
{
    const int volumes = NrOfVolumes.value();
    const std::int64_t voxels = std::int64_t(ResolutionX.value()) * ResolutionY.value() * NrOfSlices.value();
    const int block = int(std::clamp<std::int64_t>((std::int64_t(64) << 20) / std::max<std::int64_t>(1, voxels * 4), 1, 256));
    for (int first = 0; first < volumes; first += block) {
        LoadSTC(first, std::min(block, volumes - first));
        visit(Volumes, first);
    }
    UnloadSTC();
}
