#include "rundocument.h"

#include <algorithm>

namespace tool {

namespace {

// One header line: key and colon padded to the value column, then the value
// and the line feeds.
template <typename T>
void keyLine(std::ostream& out, const std::string& key, const T& value, int newlines = 1)
{
    const std::size_t width = std::max<std::size_t>(23, key.size() + 2);
    out << key << std::string(width - key.size(), ' ') << value << std::string(std::size_t(newlines), '\n');
}

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

} // namespace

void writeRunDocument(std::ostream& out, const RunDocument& d)
{
    out << '\n';
    keyLine(out, "FileVersion:", 7);
    keyLine(out, "NrOfVolumes:", d.volumes);
    keyLine(out, "NrOfSlices:", d.nz);
    keyLine(out, "NrOfSkippedVolumes:", 0);
    keyLine(out, "Prefix:", quoted(d.prefix));
    keyLine(out, "DataStorageFormat:", 1);
    keyLine(out, "DataType:", d.floats ? 2 : 1);
    keyLine(out, "TR:", d.trMs);
    keyLine(out, "InterSliceTime:", d.nz > 0 ? d.trMs / d.nz : 0);
    keyLine(out, "TimeResolutionVerified:", 1);
    keyLine(out, "TE:", d.teMs);
    keyLine(out, "SliceAcquisitionOrder:", d.sliceOrder);
    keyLine(out, "SliceAcquisitionOrderVerified:", d.sliceOrderVerified ? 1 : 0);
    keyLine(out, "ResolutionX:", d.nx);
    keyLine(out, "ResolutionY:", d.ny);
    keyLine(out, "LoadAMRFile:", quoted(""));
    keyLine(out, "ShowAMRFile:", 1);
    keyLine(out, "ImageIndex:", 0);
    keyLine(out, "LayoutNColumns:", 10);
    keyLine(out, "LayoutNRows:", (d.nz + 9) / 10);
    keyLine(out, "LayoutZoomLevel:", 1);
    keyLine(out, "SegmentSize:", 10);
    keyLine(out, "SegmentOffset:", 0);
    keyLine(out, "NrOfLinkedProtocols:", 0);
    keyLine(out, "InplaneResolutionX:", d.voxel[0]);
    keyLine(out, "InplaneResolutionY:", d.voxel[1]);
    keyLine(out, "SliceThickness:", d.voxel[2]);
    keyLine(out, "SliceGap:", 0);
    keyLine(out, "VoxelResolutionVerified:", 1, 2);
    out << "\nPositionInformationFromImageHeaders\n\n";
    keyLine(out, "PosInfosVerified:", 1);
    keyLine(out, "CoordinateSystem:", 1);
    const char* axes = "XYZ";
    for (int a = 0; a < 3; ++a) keyLine(out, std::string("Slice1Center") + axes[a] + ":", d.slice1Center[a]);
    for (int a = 0; a < 3; ++a) keyLine(out, std::string("SliceNCenter") + axes[a] + ":", d.sliceNCenter[a]);
    for (int a = 0; a < 3; ++a) keyLine(out, std::string("RowDir") + axes[a] + ":", d.rowDir[a]);
    for (int a = 0; a < 3; ++a) keyLine(out, std::string("ColDir") + axes[a] + ":", d.colDir[a]);
    keyLine(out, "NRows:", d.ny);
    keyLine(out, "NCols:", d.nx);
    keyLine(out, "FoVRows:", float(d.ny * d.voxel[1]));
    keyLine(out, "FoVCols:", float(d.nx * d.voxel[0]));
    keyLine(out, "SliceThickness:", d.voxel[2]);
    keyLine(out, "GapThickness:", 0, 3);
    keyLine(out, "NrOfPastSpatialTransformations:", 0, 3);
    keyLine(out, "LeftRightConvention:", 1, 3);
    keyLine(out, "FirstDataSourceFile:", d.firstDataSource, 2);
    keyLine(out, "MultibandSequence:", 0, 2);
    keyLine(out, "SliceTimingTableSize:", d.sliceTimes.size());
    for (float t : d.sliceTimes) out << t << '\n';
}

} // namespace tool
