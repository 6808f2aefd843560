// Plot windows as self-contained SVG pictures.
#pragma once

#include <set>
#include <string>

#include "host.h"

namespace host {

// A file name made from a plot title: characters unsafe in file names
// replaced by '_', no leading dot, at most 100 bytes, ".svg" appended.
std::string plotFileName(const std::string& title);

// The SVG text of a plot window: its size, title, one polyline per line in its
// colour and width, x axis 1..N, the y range set by the plug-in (else the
// data's) with ticks and labels, and the legend when it was asked for.
std::string plotSvg(const Plot& plot);

} // namespace host
