#include "run.h"

#include <cstring>

namespace host {

void openRun(State& state, const std::string& path)
{
    state.documentId = 1;
    state.documentType = 1;
    state.run = Run();
    state.run.present = true;
    state.run.fmrPath = path;
    std::strncpy(state.run.header.FileName, path.c_str(), sizeof state.run.header.FileName - 1);
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
    if (!run.loaded || run.volumePointers.empty()) return nullptr;
    return run.volumePointers.data();
}

} // namespace host
