// Plot windows of the host: built by the plot calls, drawn when shown.
#pragma once

#include <string>

#include "host.h"

namespace host {

int plotLine(State& state, int count, const float* x, const float* y, const std::string& name);
void addLineToPlot(State& state, int plot, int count, const float* x, const float* y, const std::string& name);
Plot* findPlot(State& state, int plot);
// Marks the window shown and writes its picture into the plot folder.
void showPlot(State& state, int plot, int x, int y);

} // namespace host
