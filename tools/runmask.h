// The voxels of a run that take part in the displacement maps: those brighter
// than an intensity threshold in the run's first volume.
#pragma once

#include <string>
#include <vector>

#include "volume.h"

namespace tool {

// A threshold between background and head: a tenth of the 98th percentile of
// the first volume's intensities (robust against a few very bright voxels).
float defaultMaskThreshold(const std::string& fmrPath);
// The same from the first volume itself.
float defaultMaskThreshold(const Volume<float>& first);

} // namespace tool
