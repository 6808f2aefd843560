// Maps of the current run: buffers of the run's dimensions, handed to the
// plug-in slice by slice, and saved when the plug-in asks.
#pragma once

#include <string>

#include "host.h"

namespace host {

void createMap(State& state);
// Fills the header with the current map's dimensions and parameters; null when there is no map.
float** currentMap(State& state, MAP_Header* header);
void setMapParameters(State& state, const MAP_Header* header);
void saveMap(State& state, const std::string& fileName);

} // namespace host
