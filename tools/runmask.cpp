#include "runmask.h"

#include <algorithm>

#include "myFMR.h"

namespace tool {

float defaultMaskThreshold(const std::string& fmrPath)
{
    FMR fmr(fmrPath, false);
    fmr.LoadSTCVolume(0);
    return defaultMaskThreshold(fmr.Volumes.at(0));
}

float defaultMaskThreshold(const Volume<float>& first)
{
    std::vector<float> values(first.data(), first.data() + first.size());
    if (values.empty()) return 0.0f;
    const std::size_t at = static_cast<std::size_t>(0.98 * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return 0.1f * values[at];
}

} // namespace tool
