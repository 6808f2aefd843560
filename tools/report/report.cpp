#include "report.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "svg.h"

namespace tool {

namespace {

using host::axisTicks;
using host::markupEscape;
using host::tickLabel;

// ---------------------------------------------------------------- text

std::string format(const char* pattern, double v)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, v);
    return buffer;
}

// Full precision for the machine-readable attributes (reads back exactly).
std::string exact(double v) { return format("%.17g", v); }

std::string volumeList(const std::vector<int>& volumes)
{
    std::string out;
    for (std::size_t k = 0; k < volumes.size(); ++k) out += (k ? ", " : "") + std::to_string(volumes[k]);
    return out;
}

// ---------------------------------------------------------------- plots

struct Series {
    std::string name, colour;
    std::vector<double> y;
};

struct PlotSpec {
    std::string id, title, yLabel;
    std::string xLabel = "volume (counted from 0)";
    std::vector<Series> series;
    std::optional<double> threshold;
    std::string thresholdName;
    std::vector<int> marks; // volumes drawn as vertical lines
    std::string marksName;
    bool fromZero = false; // the y axis starts at 0 (a non-negative measure)
};

constexpr int kPlotWidth = 960, kPlotHeight = 280;
constexpr int kLeft = 72, kRight = 16, kTop = 52, kBottom = 48;
const char* const kThresholdColour = "#c0392b";
const char* const kMarkColour = "#f1a9a0";

std::string svgPlot(const PlotSpec& p)
{
    std::size_t n = 0;
    double lo = INFINITY, hi = -INFINITY;
    for (const auto& s : p.series) {
        n = std::max(n, s.y.size());
        for (double v : s.y)
            if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    }
    if (p.threshold) lo = std::min(lo, *p.threshold), hi = std::max(hi, *p.threshold);
    if (!std::isfinite(lo)) lo = 0.0, hi = 1.0;
    if (p.fromZero) lo = std::min(lo, 0.0);
    if (!(hi > lo)) hi = lo + 1.0;
    const double pad = 0.06 * (hi - lo);
    hi += pad;
    if (!p.fromZero || lo < 0.0) lo -= pad;
    const double xMax = n > 1 ? static_cast<double>(n - 1) : 1.0;
    const double plotW = kPlotWidth - kLeft - kRight, plotH = kPlotHeight - kTop - kBottom;
    const auto X = [&](double x) { return kLeft + plotW * x / xMax; };
    const auto Y = [&](double y) { return kTop + plotH * (hi - y) / (hi - lo); };

    std::string svg = "<svg id=\"" + p.id + "\" class=\"plot\" viewBox=\"0 0 " + std::to_string(kPlotWidth) + " " +
                      std::to_string(kPlotHeight) + "\" role=\"img\" aria-label=\"" + markupEscape(p.title) + "\">\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + std::to_string(kPlotWidth) + "\" height=\"" + std::to_string(kPlotHeight) +
           "\" fill=\"#ffffff\"/>\n";
    svg += "<text x=\"" + std::to_string(kLeft) + "\" y=\"20\" class=\"ptitle\">" + markupEscape(p.title) + "</text>\n";

    // Legend along the top, right of the title.
    struct Item {
        std::string name, colour;
        int kind; // 0 line, 1 dashed line, 2 mark
    };
    std::vector<Item> items;
    for (const auto& s : p.series) items.push_back({s.name, s.colour, 0});
    if (p.threshold) items.push_back({p.thresholdName, kThresholdColour, 1});
    if (!p.marksName.empty()) items.push_back({p.marksName, kMarkColour, 2});
    double lx = kLeft;
    std::string legend;
    for (const Item& item : items) {
        if (item.kind == 2)
            legend += "<rect x=\"" + format("%.1f", lx + 9.0) + "\" y=\"29\" width=\"4\" height=\"14\" fill=\"" + item.colour + "\"/>";
        else
            legend += "<line x1=\"" + format("%.1f", lx) + "\" y1=\"36\" x2=\"" + format("%.1f", lx + 22.0) +
                      "\" y2=\"36\" stroke=\"" + item.colour + "\" stroke-width=\"2.5\"" +
                      (item.kind == 1 ? " stroke-dasharray=\"6 4\"" : "") + "/>";
        legend += "<text x=\"" + format("%.1f", lx + 28.0) + "\" y=\"40\" class=\"legend\">" + markupEscape(item.name) + "</text>\n";
        lx += 28.0 + 7.6 * static_cast<double>(item.name.size()) + 22.0;
    }
    svg += "<g class=\"legend\">" + legend + "</g>\n";

    // Grid and y ticks.
    for (double t : axisTicks(lo, hi, 5)) {
        const std::string y = format("%.1f", Y(t));
        svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + y + "\" x2=\"" + std::to_string(kPlotWidth - kRight) +
               "\" y2=\"" + y + "\" class=\"grid\"/>";
        svg += "<text x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + y + "\" dy=\"4\" text-anchor=\"end\" class=\"tick\">" +
               tickLabel(t) + "</text>\n";
    }
    for (double t : axisTicks(0.0, xMax, 10)) {
        if (t != std::floor(t)) continue;
        const std::string x = format("%.1f", X(t));
        svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(kTop + static_cast<int>(plotH)) + "\" x2=\"" + x + "\" y2=\"" +
               std::to_string(kTop + static_cast<int>(plotH) + 5) + "\" class=\"axis\"/>";
        svg += "<text x=\"" + x + "\" y=\"" + std::to_string(kTop + static_cast<int>(plotH) + 19) +
               "\" text-anchor=\"middle\" class=\"tick\">" + tickLabel(t) + "</text>\n";
    }

    // Spike volumes behind the data.
    const double markWidth = std::max(1.5, plotW / (xMax + 1.0) * 0.8);
    for (int v : p.marks) {
        if (v < 0 || static_cast<std::size_t>(v) >= std::max<std::size_t>(n, 1)) continue;
        svg += "<rect class=\"mark\" data-volume=\"" + std::to_string(v) + "\" x=\"" + format("%.2f", X(v) - markWidth / 2) +
               "\" y=\"" + std::to_string(kTop) + "\" width=\"" + format("%.2f", markWidth) + "\" height=\"" +
               format("%.1f", plotH) + "\" fill=\"" + kMarkColour + "\"/>\n";
    }
    if (p.threshold) {
        const std::string y = format("%.2f", Y(*p.threshold));
        svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + y + "\" x2=\"" + std::to_string(kPlotWidth - kRight) +
               "\" y2=\"" + y + "\" stroke=\"" + kThresholdColour + "\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n";
    }
    for (const auto& s : p.series) {
        std::string points;
        for (std::size_t t = 0; t < s.y.size(); ++t) {
            if (!points.empty()) points += ' ';
            points += format("%.2f", X(static_cast<double>(t))) + "," + format("%.2f", Y(s.y[t]));
        }
        if (s.y.size() == 1) // a single volume: a dot
            svg += "<circle cx=\"" + format("%.2f", X(0)) + "\" cy=\"" + format("%.2f", Y(s.y[0])) + "\" r=\"3\" fill=\"" +
                   s.colour + "\"/>\n";
        svg += "<polyline fill=\"none\" stroke=\"" + s.colour + "\" stroke-width=\"1.6\" stroke-linejoin=\"round\" points=\"" +
               points + "\"/>\n";
    }
    // Frame and axis labels.
    svg += "<rect x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(kTop) + "\" width=\"" + format("%.0f", plotW) +
           "\" height=\"" + format("%.0f", plotH) + "\" fill=\"none\" class=\"axis\"/>\n";
    svg += "<text x=\"" + format("%.1f", kLeft + plotW / 2) + "\" y=\"" + std::to_string(kPlotHeight - 8) +
           "\" text-anchor=\"middle\" class=\"label\">" + markupEscape(p.xLabel) + "</text>\n";
    svg += "<text transform=\"translate(18," + format("%.1f", kTop + plotH / 2) +
           ") rotate(-90)\" text-anchor=\"middle\" class=\"label\">" + markupEscape(p.yLabel) + "</text>\n";
    return svg + "</svg>\n";
}

// ---------------------------------------------------------------- maps

// A perceptually uniform colour scale (after matplotlib's viridis), dark for
// small displacement, yellow for the largest.
void colour(double u, unsigned char rgb[3])
{
    static const unsigned char stops[9][3] = {{68, 1, 84},    {71, 44, 122},  {59, 81, 139},  {44, 113, 142}, {33, 144, 141},
                                              {39, 173, 129}, {92, 200, 99},  {170, 220, 50}, {253, 231, 37}};
    u = std::clamp(std::isfinite(u) ? u : 0.0, 0.0, 1.0) * 8.0;
    const int k = std::min(7, static_cast<int>(u));
    const double f = u - k;
    for (int c = 0; c < 3; ++c)
        rgb[c] = static_cast<unsigned char>(std::lround(stops[k][c] + f * (stops[k + 1][c] - stops[k][c])));
}

std::string hexColour(double u)
{
    unsigned char rgb[3];
    colour(u, rgb);
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
    return buffer;
}

struct View {
    std::string name, axes; // "axial", "x → right, y ↓"
    // The anatomical directions at the picture's edges, when the run has an affine.
    std::string left, right, top, bottom;
    int width = 0, height = 0;
    double pixelW = 1, pixelH = 1; // mm per pixel
    std::vector<unsigned char> rgb;
};

// One mid slice of a map: voxels outside the mask dark grey, the others by
// value from 0 to top.
View slice(const RunReport& r, const Volume<float>& map, int plane, double top)
{
    const int nx = r.dims[0], ny = r.dims[1], nz = r.dims[2];
    View v;
    // plane 0: axial (x across, y down), 1: coronal (x across, z up), 2: sagittal (y across, z up)
    int cols = nx, rows = ny;
    if (plane == 0) {
        v.name = "axial, slice z = " + std::to_string(nz / 2);
        v.axes = "x across, y down";
        v.pixelW = r.voxel[0], v.pixelH = r.voxel[1];
    } else if (plane == 1) {
        rows = nz;
        v.name = "coronal, slice y = " + std::to_string(ny / 2);
        v.axes = "x across, z up";
        v.pixelW = r.voxel[0], v.pixelH = r.voxel[2];
    } else {
        cols = ny, rows = nz;
        v.name = "sagittal, slice x = " + std::to_string(nx / 2);
        v.axes = "y across, z up";
        v.pixelW = r.voxel[1], v.pixelH = r.voxel[2];
    }
    if (r.axes) {
        // Picture columns run along +i (axial, coronal) or +j (sagittal); rows
        // run down along +j (axial) or down from +k (coronal, sagittal).
        const auto towards = [&](int axis, double sign) {
            const auto& a = (*r.axes)[std::size_t(axis)];
            return anatomicalDirection({sign * a[0], sign * a[1], sign * a[2]});
        };
        const int across = plane == 2 ? 1 : 0, down = plane == 0 ? 1 : 2;
        const double downSign = plane == 0 ? 1.0 : -1.0;
        v.right = towards(across, 1), v.left = towards(across, -1);
        v.bottom = towards(down, downSign), v.top = towards(down, -downSign);
        // The plane is named by the direction across it.
        const std::string normal = towards(plane == 0 ? 2 : plane == 1 ? 1 : 0, 1);
        const std::string name = normal == "S" || normal == "I" ? "axial" : normal == "A" || normal == "P" ? "coronal" : "sagittal";
        v.name = name + v.name.substr(v.name.find(','));
    }
    v.width = cols, v.height = rows;
    v.rgb.resize(static_cast<std::size_t>(cols) * rows * 3);
    for (int row = 0; row < rows; ++row)
        for (int col = 0; col < cols; ++col) {
            int x, y, z;
            if (plane == 0) x = col, y = row, z = nz / 2;
            else if (plane == 1) x = col, y = ny / 2, z = nz - 1 - row;
            else x = nx / 2, y = col, z = nz - 1 - row;
            const int index = map.index(x, y, z);
            unsigned char* px = &v.rgb[(static_cast<std::size_t>(row) * cols + col) * 3];
            if (r.mask.empty() || r.mask[static_cast<std::size_t>(index)] == 0) {
                px[0] = px[1] = px[2] = 48;
            } else {
                colour(top > 0 ? map[index] / top : 0.0, px);
            }
        }
    return v;
}

std::string hexGrey(int grey)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", grey, grey, grey);
    return buffer;
}

std::string colourBar(const std::string& id, double top)
{
    const int width = 560, height = 46, left = 14, barW = 400;
    std::string svg = "<svg class=\"colourbar\" viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) +
                      "\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) +
                      "\" role=\"img\" aria-label=\"colour bar from 0 to " + format("%.3g", top) + " mm\">\n";
    svg += "<defs><linearGradient id=\"" + id + "\" x1=\"0\" x2=\"1\" y1=\"0\" y2=\"0\">";
    for (int k = 0; k <= 16; ++k)
        svg += "<stop offset=\"" + format("%.4f", k / 16.0) + "\" stop-color=\"" + hexColour(k / 16.0) + "\"/>";
    svg += "</linearGradient></defs>\n";
    svg += "<rect x=\"" + std::to_string(left) + "\" y=\"4\" width=\"" + std::to_string(barW) +
           "\" height=\"18\" fill=\"url(#" + id + ")\" stroke=\"#555\"/>\n";
    for (double t : axisTicks(0.0, top, 5)) {
        const std::string x = format("%.1f", left + barW * t / top);
        svg += "<line x1=\"" + x + "\" y1=\"22\" x2=\"" + x + "\" y2=\"28\" class=\"axis\"/>";
        svg += "<text x=\"" + x + "\" y=\"40\" text-anchor=\"middle\" class=\"tick\">" + tickLabel(t) + "</text>\n";
    }
    svg += "<text x=\"" + std::to_string(left + barW + 12) + "\" y=\"18\" class=\"label\">displacement (mm)</text>\n";
    return svg + "</svg>\n";
}

std::string mapFigure(const RunReport& r, const std::string& id, const std::string& title, const std::string& what,
                      const Volume<float>& map)
{
    double top = 0.0;
    for (int i = 0; i < map.size(); ++i)
        if (std::isfinite(map[i])) top = std::max(top, static_cast<double>(map[i]));
    const double scaleTop = top > 0.0 ? top : 1.0;
    std::string html = "<figure class=\"map\" id=\"" + id + "\" data-max=\"" + exact(top) + "\">\n<figcaption><b>" +
                       markupEscape(title) + "</b> (largest value " + format("%.3f", top) + " mm). " + markupEscape(what) +
                       "</figcaption>\n<div class=\"views\">\n";
    // The three views share one scale (mm per screen pixel) so that sizes compare.
    const double extent = std::max({r.dims[0] * double(r.voxel[0]), r.dims[1] * double(r.voxel[1]),
                                    r.dims[2] * double(r.voxel[2]), 1e-6});
    const double scale = 280.0 / extent;
    for (int plane = 0; plane < 3; ++plane) {
        const View v = slice(r, map, plane, scaleTop);
        const long w = std::max(1L, std::lround(v.width * v.pixelW * scale));
        const long h = std::max(1L, std::lround(v.height * v.pixelH * scale));
        const std::string image = "<img alt=\"" + markupEscape(title + ", " + v.name) + "\" width=\"" + std::to_string(w) +
                                  "\" height=\"" + std::to_string(h) + "\" src=\"data:image/png;base64," +
                                  base64(pngRGB(v.width, v.height, v.rgb)) + "\">";
        const auto edge = [](const char* side, const std::string& letter) {
            return "<span class=\"dir " + std::string(side) + "\">" + letter + "</span>";
        };
        html += "<div class=\"view\">" +
                (v.left.empty() ? image
                                : "<div class=\"oriented\" data-edges=\"" + v.left + v.right + v.top + v.bottom + "\">" + edge("top", v.top) +
                                      edge("left", v.left) + image + edge("right", v.right) + edge("bottom", v.bottom) + "</div>") +
                "<div class=\"vlabel\">" + markupEscape(v.name) + "<br>" + markupEscape(v.axes) + "</div></div>\n";
    }
    html += "</div>\n" + colourBar(id + "-scale", scaleTop) + "</figure>\n";
    return html;
}

// ---------------------------------------------------------------- carpet

// A trace drawn over the carpet's columns: the value of volume t at the middle
// of column t.
struct Trace {
    std::string name, unit, colour;
    std::vector<double> y;
    std::size_t from = 0; // first volume drawn
    std::optional<double> threshold;
};

constexpr int kCarpetHeight = 480, kTracePanel = 80;
const char* const kOutlierColour = "#d62728";

std::string traceColumn(const Trace& tr, int volumes, double top, double colW)
{
    double hi = tr.threshold.value_or(0.0);
    for (std::size_t t = tr.from; t < tr.y.size() && t < std::size_t(volumes); ++t)
        if (std::isfinite(tr.y[t])) hi = std::max(hi, tr.y[t]);
    hi = hi > 0.0 ? hi * 1.3 : 1.0; // headroom for the panel's name
    const auto X = [&](double t) { return kLeft + colW * (t + 0.5); };
    const auto Y = [&](double v) { return top + kTracePanel * (1.0 - v / hi); };
    std::string svg;
    const std::vector<double> ticks = axisTicks(0.0, hi, 2);
    for (double t : ticks) {
        const std::string y = format("%.1f", Y(t));
        svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + y + "\" x2=\"" + std::to_string(kPlotWidth - kRight) +
               "\" y2=\"" + y + "\" stroke=\"#e6e6e6\"/><text x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + y +
               "\" dy=\"4\" text-anchor=\"end\" font-size=\"12\" fill=\"#333\">" + tickLabel(t) + "</text>\n";
    }
    if (tr.threshold) {
        const std::string y = format("%.2f", Y(*tr.threshold));
        svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + y + "\" x2=\"" + std::to_string(kPlotWidth - kRight) +
               "\" y2=\"" + y + "\" stroke=\"" + kThresholdColour + "\" stroke-width=\"1.2\" stroke-dasharray=\"6 4\"/>\n";
    }
    std::string points;
    for (std::size_t t = tr.from; t < tr.y.size() && t < std::size_t(volumes); ++t)
        if (std::isfinite(tr.y[t])) points += (points.empty() ? "" : " ") + format("%.2f", X(double(t))) + "," + format("%.2f", Y(tr.y[t]));
    svg += "<polyline class=\"trace\" data-name=\"" + markupEscape(tr.name) + "\" fill=\"none\" stroke=\"" + tr.colour +
           "\" stroke-width=\"1.4\" stroke-linejoin=\"round\" points=\"" + points + "\"/>\n";
    svg += "<rect x=\"" + std::to_string(kLeft) + "\" y=\"" + format("%.1f", top) + "\" width=\"" +
           std::to_string(kPlotWidth - kLeft - kRight) + "\" height=\"" + std::to_string(kTracePanel) +
           "\" fill=\"none\" stroke=\"#555\"/>\n";
    svg += "<text x=\"" + std::to_string(kLeft + 6) + "\" y=\"" + format("%.1f", top + 14) + "\" font-size=\"12\" fill=\"" +
           tr.colour + "\">" + markupEscape(tr.name + (tr.unit.empty() ? "" : " (" + tr.unit + ")")) + "</text>\n";
    return svg;
}

// A colour per region label, repeating after eight.
void regionColour(int label, unsigned char rgb[3])
{
    static const unsigned char palette[8][3] = {{31, 119, 180}, {255, 127, 14}, {44, 160, 44},  {214, 39, 40},
                                                {148, 103, 189}, {140, 86, 75}, {227, 119, 194}, {188, 189, 34}};
    const unsigned char* p = palette[((label % 8) + 8) % 8];
    std::copy(p, p + 3, rgb);
}

// The carpet as an 8-bit grey picture, one pixel per row and volume: z = −2
// black, z = 2 white.
std::string carpetPng(const Carpet& c)
{
    std::vector<unsigned char> rgb(std::size_t(c.rows()) * std::size_t(c.volumes) * 3);
    for (int r = 0; r < c.rows(); ++r)
        for (int t = 0; t < c.volumes; ++t) {
            const double z = c.at(r, t);
            const double u = std::isfinite(z) ? (std::clamp(z, -2.0, 2.0) + 2.0) / 4.0 : 0.5;
            unsigned char* px = &rgb[(std::size_t(r) * std::size_t(c.volumes) + std::size_t(t)) * 3];
            px[0] = px[1] = px[2] = static_cast<unsigned char>(std::lround(255.0 * u));
        }
    return pngRGB(c.volumes, c.rows(), rgb);
}

std::string row(const std::string& label, const std::string& id, double value, const std::string& text)
{
    return "<tr><th>" + markupEscape(label) + "</th><td id=\"" + id + "\" data-value=\"" + exact(value) + "\">" + markupEscape(text) +
           "</td></tr>\n";
}

const char* const kStyle = R"(
body { font-family: "DejaVu Sans", Arial, sans-serif; color: #222; max-width: 1000px; margin: 16px auto; padding: 0 12px; }
h1 { font-size: 24px; margin-bottom: 4px; }
h2 { font-size: 19px; border-bottom: 1px solid #ccc; padding-bottom: 3px; margin-top: 28px; }
p.meta { color: #555; font-size: 13px; line-height: 1.5; margin-top: 2px; }
.warning { background: #fdecea; border: 1px solid #e6a19a; padding: 6px 10px; margin: 8px 0; }
table { border-collapse: collapse; font-size: 14px; }
th, td { border: 1px solid #ddd; padding: 4px 10px; text-align: left; }
td { font-variant-numeric: tabular-nums; }
table.summary th { background: #f5f5f5; font-weight: normal; }
svg.plot { width: 100%; height: auto; display: block; margin: 8px 0 14px 0; }
svg text { font-family: "DejaVu Sans", Arial, sans-serif; }
.ptitle { font-size: 15px; font-weight: bold; fill: #222; }
.legend { font-size: 13px; fill: #222; }
.tick { font-size: 12px; fill: #333; }
.label { font-size: 13px; fill: #222; }
.grid { stroke: #e6e6e6; stroke-width: 1; }
.axis { stroke: #555; stroke-width: 1; }
figure.map { margin: 12px 0 22px 0; }
figure.map figcaption { font-size: 14px; margin-bottom: 6px; }
.views { display: flex; gap: 14px; align-items: flex-end; flex-wrap: wrap; }
.view img { image-rendering: pixelated; display: block; background: #303030; }
.vlabel { font-size: 12px; color: #444; margin-top: 3px; }
.oriented { display: grid; grid-template-areas: ". top ." "left image right" ". bottom ."; align-items: center; justify-items: center; gap: 2px; }
.oriented img { grid-area: image; } .dir { font-size: 13px; font-weight: bold; color: #333; }
.dir.top { grid-area: top; } .dir.left { grid-area: left; } .dir.right { grid-area: right; } .dir.bottom { grid-area: bottom; }
#spike-list { font-size: 14px; }
footer { color: #777; font-size: 12px; margin-top: 30px; }
)";

} // namespace

// ---------------------------------------------------------------- PNG

std::string pngRGB(int width, int height, const std::vector<unsigned char>& rgb)
{
    if (width <= 0 || height <= 0 || rgb.size() != static_cast<std::size_t>(width) * height * 3)
        throw std::invalid_argument("a PNG needs width x height x 3 bytes");
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    std::string png;
    if (png_image_write_get_memory_size(image, size, 0, rgb.data(), 0, nullptr)) {
        png.resize(size);
        if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgb.data(), 0, nullptr)) size = 0;
    }
    if (size == 0) throw std::runtime_error(std::string("cannot encode a picture of the report: ") + image.message);
    png.resize(size);
    return png;
}

std::string base64(const std::string& bytes)
{
    static const char* const digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t b0 = static_cast<unsigned char>(bytes[i]);
        const std::uint32_t b1 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        const std::uint32_t b2 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
        const std::uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? digits[v & 63] : '=';
    }
    return out;
}

// ---------------------------------------------------------------- carpet figure

std::vector<int> carpetOutliers(const RunReport& r)
{
    const auto by = [&](const char* rule) {
        return r.outliersBy.empty() ? std::string(rule) != "dvars"
                                    : std::find(r.outliersBy.begin(), r.outliersBy.end(), rule) != r.outliersBy.end();
    };
    std::vector<int> volumes;
    if (by("rmsd")) volumes.insert(volumes.end(), r.rmsdSummary.above.begin(), r.rmsdSummary.above.end());
    if (by("fd")) volumes.insert(volumes.end(), r.fdSummary.above.begin(), r.fdSummary.above.end());
    if (by("dvars"))
        for (std::size_t t = 1; t < r.dvars.size(); ++t)
            if (r.dvars[t] > r.dvarsThreshold) volumes.push_back(int(t));
    std::sort(volumes.begin(), volumes.end());
    volumes.erase(std::unique(volumes.begin(), volumes.end()), volumes.end());
    return volumes;
}

std::string carpetFigure(const Carpet& c, const std::vector<double>& fd, double fdThreshold, const std::vector<double>& dvars,
                         const std::vector<int>& outliers, const std::string& maskText)
{
    if (c.rows() < 1 || c.volumes < 1) return "";
    const int V = c.volumes;
    const double plotW = kPlotWidth - kLeft - kRight, colW = plotW / V;
    const double fdTop = 52, dvarsTop = fdTop + kTracePanel + 12, stripTop = dvarsTop + kTracePanel + 6;
    const int topHeight = int(stripTop) + 10, bottomHeight = 104;
    std::vector<int> marked;
    for (int v : outliers)
        if (v >= 0 && v < V) marked.push_back(v);
    // The traces, the carpet and the axis are three pictures one above the
    // other, each as wide as the page's column; the carpet's margins are the
    // plots' margins as shares of that width, so that column t of the carpet
    // lies exactly under volume t of the traces at any zoom.
    const auto share = [](double pixels) { return format("%.4f%%", 100.0 * pixels / kPlotWidth); };
    const auto svgOpen = [](int height, const std::string& label) {
        return "<svg viewBox=\"0 0 " + std::to_string(kPlotWidth) + " " + std::to_string(height) +
               "\" style=\"width: 100%; height: auto; display: block\" font-family=\"DejaVu Sans, Arial, sans-serif\" "
               "role=\"img\" aria-label=\"" + label + "\">\n<rect x=\"0\" y=\"0\" width=\"" + std::to_string(kPlotWidth) +
               "\" height=\"" + std::to_string(height) + "\" fill=\"#ffffff\"/>\n";
    };
    const double markW = std::max(colW, 1.5);
    const auto markX = [&](int v) { return format("%.2f", kLeft + colW * (v + 0.5) - markW / 2); };

    std::string volumesText;
    for (std::size_t k = 0; k < marked.size(); ++k) volumesText += (k ? " " : "") + std::to_string(marked[k]);
    std::string html = "<!-- carpet -->\n<figure class=\"carpet\" id=\"carpet\" data-rows=\"" + std::to_string(c.rows()) +
                       "\" data-volumes=\"" + std::to_string(V) + "\" data-outliers=\"" + volumesText +
                       "\" style=\"margin: 12px 0 22px 0; background: #ffffff\">\n";

    std::string svg = svgOpen(topHeight, "framewise displacement and standardized DVARS over the volumes");
    svg += "<text x=\"" + std::to_string(kLeft) + "\" y=\"20\" font-size=\"15\" font-weight=\"bold\" fill=\"#222\">Carpet plot</text>\n";
    svg += "<rect x=\"" + std::to_string(kLeft + 9) + "\" y=\"29\" width=\"4\" height=\"14\" fill=\"" + kOutlierColour +
           "\"/><text x=\"" + std::to_string(kLeft + 28) + "\" y=\"40\" font-size=\"13\" fill=\"#222\">outlier volume (" +
           std::to_string(marked.size()) + ")</text>\n";
    svg += "<line x1=\"" + std::to_string(kLeft + 220) + "\" y1=\"36\" x2=\"" + std::to_string(kLeft + 242) + "\" y2=\"36\" stroke=\"" +
           kThresholdColour + "\" stroke-width=\"2\" stroke-dasharray=\"6 4\"/><text x=\"" + std::to_string(kLeft + 248) +
           "\" y=\"40\" font-size=\"13\" fill=\"#222\">FD threshold " + format("%g", fdThreshold) + " mm</text>\n";
    // Outlier volumes behind the traces and as ticks just above and below
    // the carpet, which itself is left as it is.
    for (int v : marked)
        svg += "<rect class=\"outlier\" data-volume=\"" + std::to_string(v) + "\" x=\"" + markX(v) + "\" y=\"" + format("%.1f", fdTop) +
               "\" width=\"" + format("%.2f", markW) + "\" height=\"" + format("%.1f", stripTop - fdTop - 6) + "\" fill=\"" +
               kMarkColour + "\"/><rect x=\"" + markX(v) + "\" y=\"" + format("%.1f", stripTop) + "\" width=\"" +
               format("%.2f", markW) + "\" height=\"10\" fill=\"" + kOutlierColour + "\"/>\n";
    svg += traceColumn({"framewise displacement", "mm", "#1f77b4", fd, 0, fdThreshold}, V, fdTop, colW);
    svg += traceColumn({"standardized DVARS", "", "#7b3fa0", dvars, 1, std::nullopt}, V, dvarsTop, colW);
    html += svg + "</svg>\n";

    // The carpet: one picture column per volume, one row per voxel; the
    // regions of a segmentation as a strip of colours left of it.
    html += "<div style=\"position: relative\">\n<img id=\"carpet-image\" alt=\"carpet plot: " + std::to_string(c.rows()) +
            " voxels by " + std::to_string(V) + " volumes\" src=\"data:image/png;base64," + base64(carpetPng(c)) +
            "\" style=\"display: block; margin: 0 " + share(kRight) + " 0 " + share(kLeft) + "; width: " + share(plotW) +
            "; height: " + std::to_string(kCarpetHeight) + "px; image-rendering: pixelated; outline: 1px solid #555\">\n";
    std::string regions;
    if (!c.labels.empty()) {
        std::vector<unsigned char> strip;
        for (int r = 0; r < c.rows(); ++r) {
            unsigned char rgb[3];
            regionColour(c.labels[std::size_t(r)], rgb);
            strip.insert(strip.end(), rgb, rgb + 3);
        }
        html += "<img id=\"carpet-regions\" alt=\"the region of each row\" src=\"data:image/png;base64," +
                base64(pngRGB(1, c.rows(), strip)) + "\" style=\"position: absolute; top: 0; left: " + share(kLeft - 16) +
                "; width: " + share(10) + "; height: " + std::to_string(kCarpetHeight) + "px; image-rendering: pixelated\">\n";
        for (int r = 0; r < c.rows(); ++r) {
            const int label = c.labels[std::size_t(r)];
            if (r > 0 && c.labels[std::size_t(r - 1)] == label) continue;
            int end = r;
            while (end + 1 < c.rows() && c.labels[std::size_t(end + 1)] == label) ++end;
            unsigned char rgb[3];
            regionColour(label, rgb);
            char swatch[8];
            std::snprintf(swatch, sizeof swatch, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
            regions += std::string(regions.empty() ? "" : ", ") + "<span style=\"color: " + swatch + "\">&#9632;</span> label " +
                       std::to_string(label) + " (" + std::to_string(end - r + 1) + " rows)";
        }
    }
    html += "</div>\n";

    svg = svgOpen(bottomHeight, "the volumes' axis of the carpet plot");
    for (int v : marked)
        svg += "<rect x=\"" + markX(v) + "\" y=\"0\" width=\"" + format("%.2f", markW) + "\" height=\"10\" fill=\"" + kOutlierColour + "\"/>";
    for (double t : axisTicks(0.0, V > 1 ? V - 1.0 : 1.0, 10)) {
        if (t != std::floor(t) || t > V - 1) continue;
        const std::string x = format("%.1f", kLeft + colW * (t + 0.5));
        svg += "<line x1=\"" + x + "\" y1=\"12\" x2=\"" + x + "\" y2=\"17\" stroke=\"#555\"/><text x=\"" + x +
               "\" y=\"30\" text-anchor=\"middle\" font-size=\"12\" fill=\"#333\">" + tickLabel(t) + "</text>\n";
    }
    svg += "<text x=\"" + format("%.1f", kLeft + plotW / 2) + "\" y=\"48\" text-anchor=\"middle\" font-size=\"13\" "
           "fill=\"#222\">volume (counted from 0)</text>\n";
    // The grey scale of the rows: z from −2 (black) to 2 (white), in steps
    // (no gradient: its id would have to stay unique on a page of several carpets).
    const double barW = 240, barX = kLeft + plotW - barW, barY = 62;
    const int steps = 48;
    svg += "<g class=\"greyscale\" aria-label=\"grey scale of the carpet: z-score from -2 to 2\">";
    for (int k = 0; k < steps; ++k) {
        const int grey = int(std::lround(255.0 * (k + 0.5) / steps));
        svg += "<rect x=\"" + format("%.2f", barX + barW * k / steps) + "\" y=\"" + format("%.0f", barY) + "\" width=\"" +
               format("%.2f", barW / steps + 0.3) + "\" height=\"12\" fill=\"" + hexGrey(grey) + "\"/>";
    }
    svg += "<rect x=\"" + format("%.2f", barX) + "\" y=\"" + format("%.0f", barY) + "\" width=\"" + format("%.0f", barW) +
           "\" height=\"12\" fill=\"none\" stroke=\"#555\"/>";
    for (int z = -2; z <= 2; ++z) {
        const std::string x = format("%.1f", barX + barW * (z + 2) / 4.0);
        svg += "<line x1=\"" + x + "\" y1=\"" + format("%.0f", barY + 12) + "\" x2=\"" + x + "\" y2=\"" + format("%.0f", barY + 17) +
               "\" stroke=\"#555\"/><text x=\"" + x + "\" y=\"" + format("%.0f", barY + 30) +
               "\" text-anchor=\"middle\" font-size=\"12\" fill=\"#333\">" + (z < 0 ? "&#8722;" + std::to_string(-z) : std::to_string(z)) +
               "</text>";
    }
    svg += "<text x=\"" + format("%.1f", barX - 10) + "\" y=\"" + format("%.0f", barY + 11) +
           "\" text-anchor=\"end\" font-size=\"13\" fill=\"#222\">row value: z-score of the voxel's time series</text></g>\n";
    html += svg + "</svg>\n";
    html += "<figcaption style=\"font-size: 13px; color: #555\">Each row is one voxel's time series, linearly detrended "
            "and z-scored, on a grey scale from &minus;2 (black) to 2 (white): " +
            std::to_string(c.rows()) + " of " + std::to_string(c.candidates) + " voxels (" + markupEscape(maskText) +
            (regions.empty() ? std::string("), taken evenly from the voxels ordered by mean intensity, the brightest at the top")
                             : "), taken evenly from the voxels ordered by label and then mean intensity, the brightest "
                               "first within a region; regions: " + regions) +
            ". A volume where the whole image changes shows as a vertical band (Power 2017).</figcaption>\n</figure>\n<!-- /carpet -->\n";
    return html;
}

std::string carpetFigureOf(const std::string& html)
{
    const std::string open = "<!-- carpet -->", close = "<!-- /carpet -->";
    const std::size_t from = html.find(open);
    if (from == std::string::npos) return "";
    const std::size_t to = html.find(close, from);
    if (to == std::string::npos) return "";
    return html.substr(from, to + close.size() - from) + "\n";
}

// ---------------------------------------------------------------- the page

std::string anatomicalDirection(const std::array<double, 3>& world)
{
    std::size_t k = 0;
    for (std::size_t j = 1; j < 3; ++j)
        if (std::fabs(world[j]) > std::fabs(world[k])) k = j;
    return std::string(1, world[k] >= 0 ? "RAS"[k] : "LPI"[k]);
}

namespace {

// The page up to its first section: title, the run and its motion, warnings, the import.
std::string headerHtml(const RunReport& r)
{
    const std::size_t n = r.motion.size();
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + markupEscape(r.title) +
                       "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
    html += "<h1>" + markupEscape(r.title) + "</h1>\n";
    html += "<p class=\"meta\">Run: " + markupEscape(r.fmrPath) + " (" + std::to_string(r.runVolumes) + " volumes of " +
            std::to_string(r.dims[0]) + " &times; " + std::to_string(r.dims[1]) + " &times; " + std::to_string(r.dims[2]) +
            " voxels, " + format("%g", r.voxel[0]) + " &times; " + format("%g", r.voxel[1]) + " &times; " +
            format("%g", r.voxel[2]) + " mm, TR " + std::to_string(r.tr) + " ms)<br>Motion: " + markupEscape(r.motionPath) +
            " (" + std::to_string(n) + " volumes). Volumes are counted from 0.</p>\n";
    for (const auto& w : r.warnings) html += "<p class=\"warning\">" + markupEscape(w) + "</p>\n";
    if (!r.motionConvention.empty())
        html += "<p class=\"meta\" id=\"motion-source\">Imported motion. Convention: " + markupEscape(r.motionConvention) +
                ".<br>Reference: " + markupEscape(r.motionReference) + ".<br>Centre of rotation: " + markupEscape(r.motionCentre) +
                ".<br>The SDM holds each volume's transform about the volume centre on the voxel axes; framewise "
                "displacement is computed from " + markupEscape(r.fdSource) + ".</p>\n";
    return html;
}

// The figures of the run in a table.
std::string summarySection(const RunReport& r)
{
    const std::size_t n = r.motion.size();
    const std::vector<int>& spikes = r.rmsdSummary.above;
    std::string html;
    html += "<section id=\"summary\">\n<h2>Summary</h2>\n<table class=\"summary\">\n";
    html += row("Volumes", "volumes", static_cast<double>(n), std::to_string(n));
    html += row("Mean framewise displacement", "fd-mean", r.fdSummary.mean, format("%.3f mm", r.fdSummary.mean));
    html += row("Maximum framewise displacement", "fd-max", r.fdSummary.max, format("%.3f mm", r.fdSummary.max));
    html += row("Volumes with framewise displacement above " + format("%g", r.fdThreshold) + " mm", "fd-above",
                static_cast<double>(r.fdSummary.above.size()),
                std::to_string(r.fdSummary.above.size()) + " (" + format("%.1f %%", r.fdSummary.percentAbove) + ")");
    html += row("Mean relative RMS displacement", "rmsd-mean", r.rmsdSummary.mean, format("%.3f mm", r.rmsdSummary.mean));
    html += row("Maximum relative RMS displacement", "rmsd-max", r.rmsdSummary.max, format("%.3f mm", r.rmsdSummary.max));
    html += row("Spike volumes (relative RMS displacement above " + format("%g", r.spikeThreshold) + " mm)", "spike-count",
                static_cast<double>(spikes.size()), std::to_string(spikes.size()));
    html += row("Share of spike volumes", "spike-percent", r.rmsdSummary.percentAbove,
                format("%.1f %%", r.rmsdSummary.percentAbove));
    html += "</table>\n<p class=\"meta\">Framewise displacement after Power et al. (2012): the sum of the absolute "
            "volume-to-volume changes of the six parameters, rotations as arc length on a sphere of " +
            format("%g", r.fdRadius) +
            " mm. Relative RMS displacement: the root-mean-square volume-to-volume displacement over a ball of 65 mm "
            "radius, of the linearly detrended parameters, as the confound task judges spikes by. Both are 0 in the "
            "first volume.</p>\n</section>\n";
    return html;
}

// The spike volumes, listed and tabulated.
std::string spikeSection(const RunReport& r)
{
    const std::size_t n = r.motion.size();
    const std::vector<int>& spikes = r.rmsdSummary.above;
    std::string html;
    html += "<section id=\"spikes\">\n<h2>Spike volumes</h2>\n<p id=\"spike-list\" data-volumes=\"";
    for (std::size_t k = 0; k < spikes.size(); ++k) html += (k ? " " : "") + std::to_string(spikes[k]);
    html += "\">" + (spikes.empty() ? std::string("No volume has a relative RMS displacement above ") +
                                          format("%g", r.spikeThreshold) + " mm."
                                    : std::to_string(spikes.size()) + " of " + std::to_string(n) + " volumes (" +
                                          format("%.1f %%", r.rmsdSummary.percentAbove) + "): " + volumeList(spikes)) +
            "</p>\n";
    if (!spikes.empty()) {
        html += "<table class=\"spikes\"><tr><th>volume</th><th>relative RMS displacement (mm)</th><th>framewise "
                "displacement (mm)</th></tr>\n";
        for (int v : spikes)
            html += "<tr><td>" + std::to_string(v) + "</td><td>" + format("%.3f", r.rmsd[static_cast<std::size_t>(v)]) +
                    "</td><td>" + format("%.3f", r.fd[static_cast<std::size_t>(v)]) + "</td></tr>\n";
        html += "</table>\n";
    }
    html += "</section>\n";
    return html;
}

// The motion parameters: millimetres and degrees on their own axes.
std::string parameterSection(const RunReport& r)
{
    std::string html;
    const char* const colours[3] = {"#d62728", "#2ca02c", "#1f77b4"};
    const char* const axes[3] = {"x", "y", "z"};
    PlotSpec translations{"plot-translations", "Translations", "translation (mm)"};
    PlotSpec rotations{"plot-rotations", "Rotations", "rotation (degrees)"};
    for (int k = 0; k < 3; ++k) {
        Series t{std::string("along ") + axes[k], colours[k], {}}, a{std::string("about ") + axes[k], colours[k], {}};
        for (const auto& row : r.motion) t.y.push_back(row[static_cast<std::size_t>(k)]), a.y.push_back(row[3 + static_cast<std::size_t>(k)]);
        translations.series.push_back(std::move(t));
        rotations.series.push_back(std::move(a));
    }
    html += "<section id=\"parameters\">\n<h2>Motion parameters</h2>\n" + svgPlot(translations) + svgPlot(rotations) +
            "</section>\n";
    return html;
}

// Both displacement measures from 0, with their threshold and the spike volumes.
std::string displacementSection(const RunReport& r)
{
    const std::vector<int>& spikes = r.rmsdSummary.above;
    std::string html;
    const auto displacementPlot = [&](const char* id, const char* title, const char* name, const char* colour,
                                      const std::vector<double>& values, double threshold, const std::string& thresholdName) {
        PlotSpec p{id, title, "displacement (mm)"};
        p.series.push_back({name, colour, values});
        p.threshold = threshold;
        p.thresholdName = thresholdName + " " + format("%g", threshold) + " mm";
        p.marks = spikes;
        p.marksName = "spike volume";
        p.fromZero = true;
        return svgPlot(p);
    };
    const std::string fd = displacementPlot("plot-fd", "Framewise displacement", "framewise displacement", "#1f77b4", r.fd,
                                            r.fdThreshold, "threshold");
    const std::string rms = displacementPlot("plot-rmsd", "Relative RMS displacement (detrended parameters, 65 mm ball)",
                                             "relative RMS displacement", "#7b3fa0", r.rmsd, r.spikeThreshold,
                                             "spike threshold");
    html += "<section id=\"displacement\">\n<h2>Framewise and relative RMS displacement</h2>\n" + fd + rms +
            "</section>\n";
    return html;
}

// The maps over their mask, and the carpet over the mask of DVARS.
std::string mapSection(const RunReport& r)
{
    std::string html;
    html += "<section id=\"maps\">\n<h2>Voxel displacement maps</h2>\n<p class=\"meta\">" + std::to_string(r.maskVoxels) +
            " voxels brighter than " + format("%g", r.maskThreshold) +
            " in the first volume (others dark grey); mid slices in voxel order" +
            std::string(r.axes ? ", each edge labelled with the anatomical direction it faces (from the run's affine)"
                               : " (the run has no affine: directions unknown)") + ".</p>\n";
    html += mapFigure(r, "map-max-absolute", "Maximum absolute displacement",
                      "How far each voxel got from its reference position in any volume.", r.maxAbsolute);
    html += mapFigure(r, "map-mean-relative", "Mean relative displacement",
                      "How far each voxel moved from one volume to the next, on average over the run.", r.meanRelative);
    html += "</section>\n";
    // The carpet, over the mask of DVARS.
    if (r.carpet.rows() > 0)
        html += "<section id=\"carpet-section\">\n<h2>Carpet plot</h2>\n" +
                carpetFigure(r.carpet, r.fd, r.fdThreshold, r.dvars, carpetOutliers(r), r.carpetMask) + "</section>\n";
    return html;
}

} // namespace

std::string reportHtml(const RunReport& r)
{
    return headerHtml(r) + summarySection(r) + spikeSection(r) + parameterSection(r) + displacementSection(r) + mapSection(r) +
           "<footer>Written by tremora report.</footer>\n</body>\n</html>\n";
}

} // namespace tool
