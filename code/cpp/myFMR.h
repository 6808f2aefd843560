// A functional run: the FMR document (text key lines describing the run) and
// its STC slice data (a headerless binary file of every voxel of every volume).
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "line.h"
#include "volume.h"

class FMR {
public:
    std::string FileName; // the document's path; Save writes here

    // Header lines, in the order they are written.
    Line<int> FileVersion;
    Line<int> NrOfVolumes;          // volumes (time points) in the slice data
    Line<int> NrOfSlices;           // z extent
    Line<int> NrOfSkippedVolumes;
    Line<std::string> Prefix;       // base name of the STC file (no folder, no ".stc")
    Line<int> DataStorageFormat;
    Line<int> DataType;             // 2: 32-bit float slice data; otherwise 16-bit signed
    Line<int> TR;
    Line<int> InterSliceTime;
    Line<bool> TimeResolutionVerified;
    Line<int> TE;
    Line<int> SliceAcquisitionOrder;
    Line<bool> SliceAcquisitionOrderVerified;
    Line<int> ResolutionX;          // x extent
    Line<int> ResolutionY;          // y extent
    Line<std::string> LoadAMRFile;
    Line<bool> ShowAMRFile;
    Line<int> ImageIndex;
    Line<int> LayoutNColumns;
    Line<int> LayoutNRows;
    Line<int> LayoutZoomLevel;
    Line<int> SegmentSize;
    Line<int> SegmentOffset;
    Line<int> NrOfLinkedProtocols;
    Line<std::string> ProtocolFile;
    Line<float> InplaneResolutionX;
    Line<float> InplaneResolutionY;
    Line<float> SliceThickness;
    Line<float> SliceGap;
    Line<bool> VoxelResolutionVerified;
    // position information from the image headers
    Line<bool> PosInfosVerified;
    Line<int> CoordinateSystem;
    Line<float> Slice1CenterX, Slice1CenterY, Slice1CenterZ;
    Line<float> SliceNCenterX, SliceNCenterY, SliceNCenterZ;
    Line<float> RowDirX, RowDirY, RowDirZ;
    Line<float> ColDirX, ColDirY, ColDirZ;
    Line<int> NRows;
    Line<int> NCols;
    Line<float> FoVRows;
    Line<float> FoVCols;
    Line<float> PosInfoSliceThickness; // "SliceThickness:" inside the position block
    Line<float> GapThickness;
    // after the position block
    Line<int> NrOfPastSpatialTransformations;
    Line<std::string> LeftRightConvention;
    Line<std::string> FirstDataSourceFile;
    Line<int> MultibandSequence;
    Line<int> SliceTimingTableSize;

    std::vector<float> SliceTimingTable; // the entries after "SliceTimingTableSize:"

    // Slice data: one volume of (ResolutionX, ResolutionY, NrOfSlices) per time point.
    std::vector<Volume<float>> Volumes;

    // Reads the document at path; with loadSTC also its slice data.
    // Throws OpenFileError when the document or the STC file cannot be opened.
    FMR(const std::string& path, bool loadSTC);
    FMR(const FMR&) = delete;
    FMR& operator=(const FMR&) = delete;
    ~FMR();

    // The slice data file: the document's folder, Prefix and ".stc".
    std::string STCFileName() const;

    // (Re)loads every volume of the slice data. Voxels past the end of a short
    // STC file read as 0. Throws OpenFileError, or IOError for a header whose
    // dimensions are negative or describe more data than can be held.
    void LoadSTC();
    // Loads only volumes firstVolume .. firstVolume+count-1 (Volumes then holds
    // count entries, Volumes[0] being firstVolume), reading only their bytes.
    void LoadSTC(int firstVolume, int count);
    // Loads volume alone (Volumes then holds one entry).
    void LoadSTCVolume(int volume);
    // Releases the slice data; the header lines stay.
    void UnloadSTC();
    // Calls visit(Volumes, first) for the run's volumes in blocks loaded one
    // after the other (about 64 MiB of slice data each, first being the
    // block's first volume), then releases them: a pass over a long run in
    // bounded memory.
    void ForEachVolumeBlock(const std::function<void(const std::vector<Volume<float>>&, int)>& visit);
    // Calls visit(z, data) for slices firstSlice .. endSlice-1 of a run of
    // 16-bit slice data (DataType other than 2), read from the STC file as it
    // is stored, without converting a value: data[t * ResolutionX * ResolutionY + i]
    // is voxel i of slice z in volume t. A pass over the voxels' time series
    // in the run's own type, one slice (all its volumes) in memory at a time.
    // Values past the end of a short file are 0, as LoadSTC reads them.
    // Throws OpenFileError, IOError for dimensions LoadSTC refuses, and
    // std::logic_error for a run of 32-bit floats.
    void ForEachStoredSlice(int firstSlice, int endSlice, const std::function<void(int, const std::int16_t*)>& visit) const;
    // True when the slice data are 32-bit floats (DataType 2), false for 16-bit integers.
    bool floatData() const;
    // True when the loaded volumes are only part of the run (a partial load).
    bool HasPartialSTC() const { return partialSTC_; }

    // Writes the document layout.
    void PrintTo(std::ostream& os);
    // Writes the document and, when volumes are loaded, the slice data; each file
    // is written beside its target and renamed into place only when both were
    // written completely, so a failure leaves the old files as they were.
    // Refuses to overwrite the run's own STC file from a partial load.
    void Save();
    // Loads the slice data if none are loaded, renames the run (Prefix becomes
    // the new base name) and saves it at path.
    void SaveAs(const std::string& path);

    // The most slice data (in voxels of all loaded volumes together) LoadSTC
    // will allocate: 2^33 voxels, 32 GiB of floats. A header promising more is
    // taken for a corrupt one rather than an attempt to exhaust memory.
    static constexpr std::int64_t MaxLoadedVoxels = std::int64_t(1) << 33;
    // The most volumes LoadSTC will hold at once, whatever their size: a
    // volume costs memory even when it has no voxels.
    static constexpr std::int64_t MaxLoadedVolumes = std::int64_t(1) << 20;

private:
    bool partialSTC_ = false;
    std::string partialSource_; // STC file a partial load came from

    void checkExtents(std::int64_t volumes) const;
    void readDocument(std::istream& in);
    void loadVolumes(int firstVolume, int count, bool partial);
};
