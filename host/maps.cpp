#include "maps.h"

#include <cstring>

#include "mapfile.h"
#include "mapwriter.h"

namespace host {

void createMap(State& state)
{
    const FMR_Header& run = state.run.header;
    Map map;
    map.header.DimX = run.DimX;
    map.header.DimY = run.DimY;
    map.header.DimZ = run.DimZ;
    map.header.MapType = 1;
    if (run.DimX > 0 && run.DimY > 0 && run.DimZ > 0) {
        const std::size_t slice = static_cast<std::size_t>(run.DimX) * static_cast<std::size_t>(run.DimY);
        if (state.mapWriter) map.voxels = state.mapWriter->spareBuffer();
        map.voxels.assign(slice * static_cast<std::size_t>(run.DimZ), 0.0f);
        for (int z = 0; z < run.DimZ; ++z) map.slices.push_back(map.voxels.data() + slice * static_cast<std::size_t>(z));
    }
    state.maps.push_back(std::move(map));
}

float** currentMap(State& state, MAP_Header* header)
{
    if (state.maps.empty()) return nullptr;
    Map& map = state.maps.back();
    std::memcpy(header, &map.header, sizeof(MAP_Header));
    return map.slices.empty() ? nullptr : map.slices.data();
}

void setMapParameters(State& state, const MAP_Header* header)
{
    if (state.maps.empty()) return;
    Map& map = state.maps.back();
    // The dimensions stay the host's own.
    const int dimX = map.header.DimX, dimY = map.header.DimY, dimZ = map.header.DimZ;
    std::memcpy(&map.header, header, sizeof(MAP_Header));
    map.header.DimX = dimX;
    map.header.DimY = dimY;
    map.header.DimZ = dimZ;
}

void saveMap(State& state, const std::string& fileName)
{
    if (state.maps.empty()) return;
    Map& map = state.maps.back();
    SavedMap saved;
    saved.name = fileName;
    saved.header = map.header;
    bool pending = false;
    if (state.writeMapFiles && !map.voxels.empty()) {
        saved.file = mapFileName(fileName);
        if (state.mapWriters > 0) {
            checkMapTarget(saved.file);
            MapJob job{saved.file, mapFileHead(map.header, state.run.header, mapDescription(fileName),
                                                 state.run.space ? &*state.run.space : nullptr), {},
                       state.savedMaps.size()};
            if (state.keepMapData)
                job.voxels = map.voxels;
            else
                job.voxels.swap(map.voxels);
            if (!state.mapWriter) state.mapWriter = std::make_shared<MapWriter>(state.mapWriters);
            state.mapWriter->submit(std::move(job));
            pending = true;
        } else {
            writeMapFile(saved.file, map.header, map.voxels.data(), state.run.header, mapDescription(fileName),
                         state.run.space ? &*state.run.space : nullptr);
        }
    }
    if (state.keepMapData) {
        saved.voxels.assign(map.voxels.begin(), map.voxels.end());
    } else {
        // A saved map is not handed out again: its buffers can go.
        MapVoxels().swap(map.voxels);
        std::vector<float*>().swap(map.slices);
    }
    state.savedMaps.push_back(std::move(saved));
    if (!pending && state.onFileWritten && !state.savedMaps.back().file.empty())
        state.onFileWritten(state.savedMaps.back().file);
}

int finishMapWrites(State& state)
{
    if (!state.mapWriter) return 0;
    const std::shared_ptr<MapWriter> writer = std::move(state.mapWriter);
    int failed = 0;
    for (const MapWritten& written : writer->finish()) {
        SavedMap* saved = written.savedIndex < state.savedMaps.size() ? &state.savedMaps[written.savedIndex] : nullptr;
        if (saved != nullptr && saved->file != written.file) saved = nullptr;
        if (!written.error.empty()) {
            ++failed;
            if (saved != nullptr) saved->file.clear();
            showMessage(state, "Error: " + written.error);
        } else if (state.onFileWritten) {
            state.onFileWritten(written.file);
        }
    }
    return failed;
}

} // namespace host
