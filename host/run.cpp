#include "run.h"

#include <cstring>
#include <exception>
#include <stdexcept>

#include "ioerror.h"
#include "myFMR.h"
#include "sourcespace.h"

namespace host {

void openRun(State& state, const std::string& path)
{
    // The record keeps the path with its terminating zero in 304 bytes; a
    // longer one would be cut and name another file.
    constexpr std::size_t longest = sizeof(FMR_Header::FileName) - 1;
    if (path.size() > longest)
        throw IOError("The run's path is " + std::to_string(path.size()) +
                                 " bytes long; the host's run record holds at most " + std::to_string(longest) +
                                 ": " + path);
    const FMR fmr(path, false);
    const int volumes = fmr.NrOfVolumes.value(), dimX = fmr.ResolutionX.value(), dimY = fmr.ResolutionY.value(),
              dimZ = fmr.NrOfSlices.value();
    if (volumes < 0 || dimX < 0 || dimY < 0 || dimZ < 0)
        throw IOError("Invalid run dimensions in " + path + ": NrOfVolumes " + std::to_string(volumes) +
                      ", ResolutionX " + std::to_string(dimX) + ", ResolutionY " + std::to_string(dimY) +
                      ", NrOfSlices " + std::to_string(dimZ) + " (none may be negative)");

    Run run;
    run.present = true;
    run.fmrPath = path;
    std::memcpy(run.header.FileName, path.c_str(), path.size() + 1);
    run.header.NrOfVolumes = volumes;
    run.header.DimX = dimX;
    run.header.DimY = dimY;
    run.header.DimZ = dimZ;
    run.header.VoxelSizeX = fmr.InplaneResolutionX.value();
    run.header.VoxelSizeY = fmr.InplaneResolutionY.value();
    // Slices are spaced by their thickness plus the gap between them.
    run.header.VoxelSizeZ = fmr.SliceThickness.value() + fmr.SliceGap.value();
    // A record of the NIfTI the run came from counts only when it is of this grid.
    run.space = readSourceSpace(sourceSpacePath(path));
    if (run.space && run.space->dims != std::array<int, 3>{dimX, dimY, dimZ}) run.space.reset();

    state.documentId = 1;
    state.documentType = 1;
    state.run = std::move(run);
}

void openEmptyRun(State& state)
{
    state.documentId = 1;
    state.documentType = 1;
    state.run = Run();
    state.run.present = true;
}

float** runVolumes(Run& run)
{
    if (!run.present || run.fmrPath.empty()) return nullptr;
    if (!run.loaded) {
        try {
            FMR fmr(run.fmrPath, false);
            fmr.LoadSTC();
            // The plug-in trusts the record for the size of every volume: data
            // that no longer fit it (the document changed since it was opened)
            // are not handed out.
            const FMR_Header& h = run.header;
            if (fmr.Volumes.size() != std::size_t(h.NrOfVolumes) || fmr.ResolutionX.value() != h.DimX ||
                fmr.ResolutionY.value() != h.DimY || fmr.NrOfSlices.value() != h.DimZ)
                throw IOError("The run " + run.fmrPath + " changed since it was opened");
            std::vector<std::vector<float>> volumes;
            volumes.reserve(fmr.Volumes.size());
            for (Volume<float>& volume : fmr.Volumes) {
                volumes.emplace_back(volume.data(), volume.data() + volume.size());
                volume = Volume<float>(); // keep only one copy at a time
            }
            run.volumes = std::move(volumes);
            run.volumePointers.clear();
            for (auto& volume : run.volumes) run.volumePointers.push_back(volume.data());
            run.loaded = true;
            run.loadError.clear();
        } catch (const std::exception& e) {
            run.loadError = e.what();
            return nullptr;
        }
    }
    if (run.volumePointers.empty()) return nullptr;
    return run.volumePointers.data();
}

} // namespace host
