#include "plotfile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

#include "svg.h"

namespace host {

std::string plotFileName(const std::string& title)
{
    std::string name;
    for (unsigned char c : title) {
        const bool unsafe = c < 0x20 || c == 0x7f || c == ' ' || std::string("/\\:*?\"<>|'`$&;").find(static_cast<char>(c)) != std::string::npos;
        name += unsafe ? '_' : static_cast<char>(c);
    }
    while (!name.empty() && name.front() == '.') name.erase(name.begin());
    if (name.size() > 100) name.resize(100);
    if (name.empty()) name = "plot";
    return name + ".svg";
}

namespace {

std::string number(double v)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", v);
    return buffer;
}

// A line colour that shows on the white background: very light colours (the
// plug-in draws some lines in near-white, made for a dark plot) are darkened.
std::string colour(const PlotLine& line)
{
    double r = std::clamp(line.red, 0, 255), g = std::clamp(line.green, 0, 255), b = std::clamp(line.blue, 0, 255);
    const double luminance = (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255.0;
    if (luminance > 0.75) {
        r *= 0.55;
        g *= 0.55;
        b *= 0.55;
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", static_cast<int>(r), static_cast<int>(g), static_cast<int>(b));
    return buffer;
}

} // namespace

std::string plotSvg(const Plot& plot)
{
    const double width = std::max(plot.width, 200), height = std::max(plot.height, 120);
    const bool legend = plot.legendShown && !plot.lines.empty();
    // The legend takes the room its longest name needs (about 6.2 px a
    // character at 11 px), at most 45 % of the picture; longer names are cut.
    std::size_t longest = 0;
    for (const auto& line : plot.lines) longest = std::max(longest, line.name.size());
    const double legendWidth = legend ? std::clamp(static_cast<double>(longest) * 6.2 + 52.0, 120.0, 0.45 * width) : 0.0;
    const std::size_t legendChars = static_cast<std::size_t>((legendWidth - 52.0) / 6.2);
    const double left = 60, right = width - (legend ? legendWidth : 20), top = 34, bottom = height - 40;

    // Axis ranges: x from 1 to the longest line's count, y as the plug-in set it.
    std::size_t points = 1;
    double dataLo = INFINITY, dataHi = -INFINITY;
    for (const auto& line : plot.lines) {
        points = std::max(points, line.y.size());
        for (float v : line.y)
            if (std::isfinite(v)) {
                dataLo = std::min(dataLo, static_cast<double>(v));
                dataHi = std::max(dataHi, static_cast<double>(v));
            }
    }
    double yLo = plot.hasYRange ? plot.yLow : dataLo, yHi = plot.hasYRange ? plot.yHigh : dataHi;
    if (!std::isfinite(yLo) || !std::isfinite(yHi)) yLo = -1, yHi = 1;
    if (yHi < yLo) std::swap(yLo, yHi);
    if (yHi == yLo) yLo -= 1, yHi += 1;
    const double xLo = 1, xHi = std::max<double>(2, static_cast<double>(points));
    const auto px = [&](double x) { return left + (x - xLo) / (xHi - xLo) * (right - left); };
    const auto py = [&](double y) { return bottom - (y - yLo) / (yHi - yLo) * (bottom - top); };

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
        << "<title>" << markupEscape(plot.title) << "</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << "<defs><clipPath id=\"area\"><rect x=\"" << number(left) << "\" y=\"" << number(top) << "\" width=\""
        << number(right - left) << "\" height=\"" << number(bottom - top) << "\"/></clipPath></defs>\n"
        << "<text class=\"title\" x=\"" << number(width / 2) << "\" y=\"20\" text-anchor=\"middle\" font-size=\"13\" font-weight=\"bold\">"
        << markupEscape(plot.title) << "</text>\n";

    // Grid, ticks and labels.
    svg << "<g class=\"axes\" stroke=\"#d0d0d0\" stroke-width=\"1\">\n";
    for (double t : axisTicks(yLo, yHi, 6))
        svg << "<line x1=\"" << number(left) << "\" y1=\"" << number(py(t)) << "\" x2=\"" << number(right) << "\" y2=\""
            << number(py(t)) << "\"/>\n";
    for (double t : axisTicks(xLo, xHi, 10))
        svg << "<line x1=\"" << number(px(t)) << "\" y1=\"" << number(top) << "\" x2=\"" << number(px(t)) << "\" y2=\""
            << number(bottom) << "\"/>\n";
    svg << "</g>\n<g class=\"labels\" fill=\"#333333\">\n";
    for (double t : axisTicks(yLo, yHi, 6))
        svg << "<text class=\"ytick\" x=\"" << number(left - 6) << "\" y=\"" << number(py(t) + 4)
            << "\" text-anchor=\"end\">" << tickLabel(t) << "</text>\n";
    for (double t : axisTicks(xLo, xHi, 10))
        svg << "<text class=\"xtick\" x=\"" << number(px(t)) << "\" y=\"" << number(bottom + 15)
            << "\" text-anchor=\"middle\">" << tickLabel(t) << "</text>\n";
    svg << "<text x=\"" << number((left + right) / 2) << "\" y=\"" << number(height - 8)
        << "\" text-anchor=\"middle\">volume</text>\n</g>\n";
    svg << "<rect x=\"" << number(left) << "\" y=\"" << number(top) << "\" width=\"" << number(right - left)
        << "\" height=\"" << number(bottom - top) << "\" fill=\"none\" stroke=\"#555555\"/>\n";
    if (yLo < 0 && yHi > 0)
        svg << "<line x1=\"" << number(left) << "\" y1=\"" << number(py(0)) << "\" x2=\"" << number(right) << "\" y2=\""
            << number(py(0)) << "\" stroke=\"#888888\"/>\n";

    // The lines, clipped to the plot area; a value that is no finite number breaks its line.
    svg << "<g clip-path=\"url(#area)\" fill=\"none\" stroke-linejoin=\"round\">\n";
    for (const auto& line : plot.lines) {
        std::vector<std::string> segments(1);
        const std::size_t n = std::min(line.x.size(), line.y.size());
        for (std::size_t k = 0; k < n; ++k) {
            if (!std::isfinite(line.x[k]) || !std::isfinite(line.y[k])) {
                if (!segments.back().empty()) segments.emplace_back();
                continue;
            }
            std::string& points = segments.back();
            if (!points.empty()) points += ' ';
            points += number(px(line.x[k]));
            points += ',';
            points += number(py(line.y[k]));
        }
        for (const auto& points : segments)
            if (!points.empty())
                svg << "<polyline class=\"line\" stroke=\"" << colour(line) << "\" stroke-width=\"" << std::max(1, line.size)
                    << "\" points=\"" << points << "\"><title>" << markupEscape(line.name) << "</title></polyline>\n";
    }
    svg << "</g>\n";

    if (legend) {
        svg << "<g class=\"legend\">\n";
        double y = top + 8;
        for (const auto& line : plot.lines) {
            svg << "<line x1=\"" << number(right + 12) << "\" y1=\"" << number(y) << "\" x2=\"" << number(right + 34)
                << "\" y2=\"" << number(y) << "\" stroke=\"" << colour(line) << "\" stroke-width=\"" << std::max(2, line.size)
                << "\"/><text x=\"" << number(right + 40) << "\" y=\"" << number(y + 4) << "\">"
                << markupEscape(line.name.size() > legendChars ? line.name.substr(0, legendChars > 1 ? legendChars - 1 : 0) + "~" : line.name)
                << "</text>\n";
            y += 16;
        }
        svg << "</g>\n";
    }
    svg << "</svg>\n";
    return svg.str();
}

} // namespace host
