#include "fixtures.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>

#include "host.h"
#include "motionfiles.h"
#include "run.h"
#include "testing.h"

using namespace qc; // the quality-control library (code/qc)

using namespace qc; // the quality-control library (code/qc)

namespace support {

SDM motionSdm(const MotionRows& rows, const std::string& fileName)
{
    static const char* const names[6] = {"Translation X [mm]", "Translation Y [mm]", "Translation Z [mm]",
                                         "Rotation X [deg]",   "Rotation Y [deg]",   "Rotation Z [deg]"};
    SDM sdm;
    sdm.FileName = fileName;
    sdm.NrOfDataPoints = static_cast<int>(rows.size());
    for (std::size_t p = 0; p < 6; ++p) {
        std::vector<float> values;
        for (const auto& row : rows) values.push_back(static_cast<float>(row[p]));
        sdm.AddPredictor(values, names[p], 255 - 40 * int(p), 40 * int(p), 100);
    }
    return sdm;
}

fs::path saveMotionSdm(const fs::path& path, const MotionRows& rows)
{
    motionSdm(rows, path.string()).Save();
    return path;
}

MotionRows stillRows(int n, int at, int p, double v)
{
    MotionRows rows(static_cast<std::size_t>(n), std::array<double, 6>{});
    if (at >= 0 && at < n) rows[std::size_t(at)][std::size_t(p)] = v;
    return rows;
}

const std::vector<std::array<double, 6>>& realTrace()
{
    static const PackageRows rows = readMotionFile(sharedData("mcflirt_movpar.txt").string(), MotionFormat::FSL);
    return rows;
}

MotionRows realTraceRows()
{
    constexpr double degrees = 180.0 / std::numbers::pi;
    MotionRows rows;
    for (const auto& r : realTrace()) rows.push_back({r[3], r[4], r[5], r[0] * degrees, r[1] * degrees, r[2] * degrees});
    return rows;
}

std::vector<double> realTracePeerFD()
{
    std::ifstream in(sharedData("fsl_motion_outliers_fd.txt"));
    std::vector<double> values;
    for (double v; in >> v;) values.push_back(v);
    return values;
}

fs::path writeRun(const fs::path& dir, const std::string& name, const RunOnDisk& run)
{
    std::ostringstream text;
    text << "\nFileVersion:          7\nNrOfVolumes:          " << run.volumes << "\nNrOfSlices:           " << run.nz
         << "\nPrefix:               \"" << name << "\"\n"
         << (run.int16 ? "" : "DataType:             2\n") << "ResolutionX:          " << run.nx
         << "\nResolutionY:          " << run.ny << "\nInplaneResolutionX:   " << run.voxel
         << "\nInplaneResolutionY:   " << run.voxel << "\nSliceThickness:       " << run.voxel
         << "\nSliceGap:             " << run.sliceGap << "\n";
    writeFile(dir / (name + ".fmr"), text.str());
    std::string bytes;
    for (int z = 0; z < run.nz; ++z)
        for (int t = 0; t < run.volumes; ++t)
            for (int y = 0; y < run.ny; ++y)
                for (int x = 0; x < run.nx; ++x) {
                    const float v = run.value(x, y, z, t);
                    if (run.int16) {
                        const auto i = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
                        bytes += char(i & 0xFF);
                        bytes += char(i >> 8);
                    } else {
                        char b[4];
                        std::memcpy(b, &v, 4); // little-endian machines only, as the file format
                        bytes.append(b, 4);
                    }
                }
    writeFile(dir / (name + ".stc"), bytes);
    return dir / (name + ".fmr");
}

fs::path openRunOnDisk(const fs::path& dir, const RunOnDisk& run)
{
    const fs::path fmr = writeRun(dir, "run", run);
    host::openRun(host::state(), fmr.string());
    return fmr;
}

namespace {

Parameters withSwitches(Parameters p, const std::vector<std::string>& on, const fs::path& sdmfile)
{
    for (const auto& name : on) p[name] = "1";
    p["sdmfile"] = sdmfile.string();
    return p;
}

} // namespace

Parameters confoundParameters(const fs::path& sdmfile, const std::vector<std::string>& on)
{
    return withSwitches({{"spike_threshold", "0.5"}, {"create_detrended", "0"}, {"create_derivative", "0"},
                         {"create_spikes", "0"}, {"create_squared", "0"}, {"create_delayed1", "0"},
                         {"create_delayed1sq", "0"}, {"create_delayed2", "0"}, {"create_delayed2sq", "0"},
                         {"plot_regular", "0"}, {"plot_detrended", "0"}},
                        on, sdmfile);
}

Parameters displacementParameters(const fs::path& sdmfile, const std::vector<std::string>& on)
{
    return withSwitches({{"fmr_threshold", "100"}, {"map_max_abs", "0"}, {"map_mean_abs", "0"}, {"map_max_rel", "0"},
                         {"map_mean_rel", "0"}, {"map_max_abs_x", "0"}, {"map_max_abs_y", "0"},
                         {"map_max_abs_z", "0"}, {"plot_regular", "0"}, {"plot_detrended", "0"}},
                        on, sdmfile);
}

void setParameters(const Parameters& parameters)
{
    for (const auto& [name, value] : parameters) host::state().parameters[name] = value;
}

} // namespace support
