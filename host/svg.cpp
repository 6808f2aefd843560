#include "svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace host {

std::string markupEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const unsigned char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += (c < 0x20 && c != '\n' && c != '\t') ? ' ' : static_cast<char>(c);
        }
    }
    return out;
}

std::vector<double> axisTicks(double lo, double hi, int wanted)
{
    if (!(hi > lo)) return {lo};
    const double raw = (hi - lo) / std::max(1, wanted);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = 10.0 * power;
    for (double f : {1.0, 2.0, 5.0})
        if (raw <= f * power) {
            step = f * power;
            break;
        }
    std::vector<double> result;
    for (double t = std::ceil(lo / step - 1e-9) * step; t <= hi + step * 1e-9; t += step)
        result.push_back(std::fabs(t) < step * 1e-9 ? 0.0 : t);
    return result;
}

std::string tickLabel(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

} // namespace host
